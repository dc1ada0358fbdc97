#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "app/Options.h"
#include "tests/TestSupport.h"

namespace {

using testsupport::TempDir;

struct Parsed {
    int status;
    std::string output;
};

class OptionsTest : public testsupport::ProcessFixture {
  protected:
    Parsed parse(std::vector<std::string> args) {
        args.insert(args.begin(), "prog");
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        testing::internal::CaptureStdout();
        const int status = parseArgs(static_cast<int>(argv.size()), argv.data());
        std::fflush(stdout);
        return Parsed{status, testing::internal::GetCapturedStdout()};
    }

    static std::string usage() {
        testing::internal::CaptureStdout();
        printUsage("prog");
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(OptionsTest, HexValueForms) {
    struct Case {
        const char* text;
        bool valid;
        uint32_t value;
    };
    const Case cases[] = {
        {"0X1a2B", true, 0x1A2B},
        {"0x", true, 0},
        {"0x123456789", true, 0x23456789},
        {"0xFFFFFFFF", true, 0xFFFFFFFF},
        {"1A2B", false, 0},
        {"0x12G4", false, 0},
        {"", false, 0},
        {"0", false, 0},
        {"x12", false, 0},
        {"0x 1", false, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isHexValue(c.text), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(hexValue(c.text), c.value) << c.text;
        }
    }
}

TEST_F(OptionsTest, DecimalValueForms) {
    struct Case {
        const char* text;
        bool valid;
        int32_t value;
    };
    const Case cases[] = {{"1", true, 1},   {"0007", true, 7},  {"9999", true, 9999},
                          {"0", false, 0},  {"0000", false, 0}, {"10000", false, 0},
                          {"-1", false, 0}, {"1a", false, 0},   {"", false, 0},
                          {"+5", false, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(isDecimalValue(c.text), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(decimalValue(c.text), c.value) << c.text;
        }
    }
}

TEST_F(OptionsTest, DataListForms) {
    const std::pair<const char*, bool> cases[] = {
        {"0x01,0x02", true}, {"0x80,0x00,0x80", true}, {"0XaB", true},        {"0x1,0x02", false},
        {"0x01,", false},    {"0x01, 0x02", false},    {"0x011", false},      {"01", false},
        {"", false},         {",0x01", false},         {"0x01,,0x02", false}, {"0xg1", false},
        {"1x01", false},     {"0x01;0x02", false},
    };
    for (const auto& [text, valid] : cases) {
        EXPECT_EQ(isDataList(text), valid) << text;
    }
}

TEST_F(OptionsTest, AcceptedOptionsAreStoredByKey) {
    TempDir dir;
    const std::string file = dir.file("fw.bin");
    testsupport::writeFile(file, "x");
    const Parsed p = parse({"--vid", "0X1a2B", "--chip", "corvina", "-p", "PID", "-f", file,
                            "--fwflag", "0x123456789", "-l", "0007", "--data", "0x01,0x02",
                            "--showtype", "Dec", "-i", "--scan"});
    ASSERT_EQ(p.status, 0) << p.output;
    EXPECT_EQ(p.output, "");
    EXPECT_EQ(optionValue("vid").number, 0x1A2B);
    EXPECT_EQ(optionValue("chip").text, "CORVINA");
    EXPECT_EQ(optionValue("property").text, "pid");
    EXPECT_EQ(optionValue("firmware").text, file);
    EXPECT_EQ(optionValue("fwflag").number, 0x23456789);
    EXPECT_EQ(optionValue("length").number, 7);
    EXPECT_EQ(optionValue("data").text, "0x01,0x02");
    EXPECT_EQ(optionValue("showtype").text, "Dec");
    EXPECT_TRUE(hasOption("ignorever"));
    EXPECT_TRUE(hasOption("scan"));
    EXPECT_FALSE(hasOption("verbose"));
}

TEST_F(OptionsTest, LastValueWins) {
    ASSERT_EQ(parse({"--vid", "0x1", "--vid", "0x2", "-r", "0x10", "--read", "0x20"}).status, 0);
    EXPECT_EQ(optionValue("vid").number, 2);
    EXPECT_EQ(optionValue("read").number, 0x20);
}

TEST_F(OptionsTest, ValueIsTheNextArgumentWhateverItLooksLike) {
    TempDir dir;
    ASSERT_EQ(parse({"--logfiledir", dir.path(), "--chip", "-c"}).status, 0);
    EXPECT_EQ(optionValue("chip").text, "-C");
    EXPECT_FALSE(hasOption("config"));
}

TEST_F(OptionsTest, FailuresPrintOneMessageThenUsage) {
    TempDir dir;
    const std::string fw = dir.file("fw.bin");
    testsupport::writeFile(fw, "x");
    const std::string missingFile = dir.file("missing.bin");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::string longDir = dir.path() + "/" + std::string(221 - dir.path().size() - 1, 'b');
    const std::vector<Case> cases = {
        {{"--vid", "1A2B"}, "\"1A2B\" is not a valid value for option \"--vid\".\n"},
        {{"--vid", "0x12G4"}, "\"0x12G4\" is not a valid value for option \"--vid\".\n"},
        {{"--vid", ""}, "\"\" is not a valid value for option \"--vid\".\n"},
        {{"--usage", "0"}, "\"0\" is not a valid value for option \"--usage\".\n"},
        {{"-l", "0"}, "\"0\" is not a valid value for option \"-l\".\n"},
        {{"--length", "10000"}, "\"10000\" is not a valid value for option \"--length\".\n"},
        {{"-t", "-1"}, "\"-1\" is not a valid value for option \"-t\".\n"},
        {{"--row", "1a"}, "\"1a\" is not a valid value for option \"--row\".\n"},
        {{"--data", "0x01,"}, "\"0x01,\" is not a valid value for option \"--data\".\n"},
        {{"-p", "version"}, "\"version\" is not a valid value for option \"-p\".\n"},
        {{"--firmware"}, "Option \"--firmware\" needs value.\n"},
        {{"--vid", "0x1", "-r"}, "Option \"-r\" needs value.\n"},
        {{"-f", missingFile}, "File \"" + missingFile + "\" does not exist.\n"},
        {{"-c", missingFile}, "File \"" + missingFile + "\" does not exist.\n"},
        {{"-f", fw, "-x"}, "Unknown option \"-x\".\n"},
        {{"fw.bin"}, "Unknown option \"fw.bin\".\n"},
        {{"-id"}, "Unknown option \"-id\".\n"},
        {{"--vid=0x1"}, "Unknown option \"--vid=0x1\".\n"},
        {{"--VERSION"}, "Unknown option \"--VERSION\".\n"},
        {{"--logfiledir", longDir},
         "The directory(" + longDir + ") length cannot exceed 220 characters.\n"},
        {{"--logfiledir", dir.file("nope")},
         "Folder \"" + dir.file("nope") + "\" does not exist.\n"},
        {{"--help"}, ""},
        {{"-?"}, ""},
        {{"-v", "-?", "--bogus"}, ""},
        {{}, ""},
    };
    const std::string usageText = usage();
    for (const Case& c : cases) {
        resetOptionTable();
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.status, -20) << c.message;
        EXPECT_EQ(p.output, c.message + usageText) << c.message;
    }
}

TEST_F(OptionsTest, ParsingStopsAtTheFirstError) {
    const Parsed p = parse({"--vid", "0x1", "--pid", "zz", "--usage", "0x5"});
    EXPECT_EQ(p.status, -20);
    EXPECT_TRUE(hasOption("vid"));
    EXPECT_FALSE(hasOption("usage"));
}

TEST_F(OptionsTest, PathChecks) {
    TempDir dir;
    // A folder passes the firmware existence test (it is a status query).
    EXPECT_EQ(parse({"-f", dir.path()}).status, 0);
    // A log folder of exactly 220 characters that exists is accepted.
    std::string folder = dir.path() + "/";
    folder += std::string(220 - folder.size(), 'd');
    ASSERT_EQ(folder.size(), 220u);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    EXPECT_EQ(parse({"--logfiledir", folder}).status, 0);
    // 221 characters are rejected by length even when the folder exists.
    const std::string longer = folder + "e";
    ASSERT_EQ(mkdir(longer.c_str(), 0700), 0);
    const Parsed p = parse({"--logfiledir", longer});
    EXPECT_EQ(p.status, -20);
    EXPECT_EQ(p.output.rfind("The directory(", 0), 0u) << p.output;
}

TEST_F(OptionsTest, UsageNamesTheProgramInEveryExample) {
    const std::string text = usage();
    size_t count = 0;
    for (size_t pos = text.find("prog"); pos != std::string::npos;
         pos = text.find("prog", pos + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 12u);  // the usage line and eleven examples
    EXPECT_EQ(text.rfind("Usage: prog [options]\nOptions:\n", 0), 0u);
    EXPECT_NE(text.find("      --row\t\t\t row(dec), default 1\n"), std::string::npos);
}

}  // namespace
