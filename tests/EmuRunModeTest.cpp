// End to end: touchfw-emu (the tool's command line on an emulated chip) for
// the property, register and command run modes of every family.
#include <gtest/gtest.h>

#include <string>

#include "tests/TestSupport.h"

namespace {

using testsupport::CommandResult;
using testsupport::TempDir;

struct Family {
    const char* name;
    const char* scratchAddr;  // a register free for the write/read round trip
};

const Family kFamilies[] = {
    {"5410", "0x2000"},     {"5415R", "0x2000"},    {"fjordK", "0x20000"},  {"fjordH3", "0x20000"},
    {"Corvina", "0x20000"}, {"fjordK8", "0x20000"}, {"fjordK4", "0x20000"},
};

class EmuRunModeTest : public ::testing::Test {
  protected:
    CommandResult run(const std::string& args, const std::string& env = "") {
        CommandResult r = testsupport::runCommand(
            "cd '" + dir_.path() + "' && TOUCHFW_EMU_STATE_DIR='" + dir_.path() + "' " + env + " " +
            TOUCHFW_EMU_BINARY + " " + args + " 2>&1");
        r.output = testsupport::withoutTwinHint(r.output);
        return r;
    }
    // Runs and checks that the chip saw no malformed frame.
    CommandResult runClean(const std::string& args, const std::string& env = "") {
        CommandResult r = run(args, env);
        EXPECT_EQ(r.output.find("protocol error"), std::string::npos) << args << "\n" << r.output;
        return r;
    }

    TempDir dir_;
};

TEST_F(EmuRunModeTest, PropertiesOfEveryFamily) {
    for (const Family& f : kFamilies) {
        const std::string chip = std::string("--chip ") + f.name;
        struct Case {
            const char* property;
            const char* message;
        };
        const Case cases[] = {
            {"pid", "\nGet PID successfully. PID = "},
            {"vid", "\nGet VID successfully. VID = 01 00 00 00.\n"},
            {"sensorid", "\nGet sensor ID successfully. Sensor ID = 3.\n"},
            {"cfgver", "\nGet cfg version successfully. Cfg version = 1.\n"},
        };
        for (const Case& c : cases) {
            const CommandResult r = runClean(chip + " -p " + c.property);
            EXPECT_EQ(r.status, 0) << f.name << " " << c.property << "\n" << r.output;
            EXPECT_NE(r.output.find(c.message), std::string::npos)
                << f.name << " " << c.property << "\n"
                << r.output;
        }
    }
}

TEST_F(EmuRunModeTest, WriteThenReadReturnsTheBytesWritten) {
    for (const Family& f : kFamilies) {
        const std::string chip = std::string("--chip ") + f.name;
        const std::string addr = f.scratchAddr;
        CommandResult r = runClean(chip + " -w " + addr + " --data 0x11,0x22,0x33 -l 5");
        EXPECT_EQ(r.status, 0) << f.name << "\n" << r.output;
        EXPECT_NE(r.output.find(": 0x11, 0x22, 0x33, 0x00, 0x00.\nwriteLen = 5.\n\n"
                                "\nWrite to reg successfully.\n"),
                  std::string::npos)
            << r.output;
        r = runClean(chip + " -r " + addr + " -l 5");
        EXPECT_EQ(r.status, 0) << f.name << "\n" << r.output;
        EXPECT_NE(r.output.find("\nRead to reg successfully.\nRead from reg "), std::string::npos);
        EXPECT_NE(r.output.find(": 0x11, 0x22, 0x33, 0x00, 0x00.\nreadLen = 5.\n"),
                  std::string::npos)
            << f.name << "\n"
            << r.output;
    }
}

TEST_F(EmuRunModeTest, LongReadsSpanSeveralReports) {
    CommandResult r = runClean("--chip fjordK8 -r 0x1001E -l 300");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("readLen = 300.\n"), std::string::npos);
    r = runClean("--chip 5410 -r 0x4535 -l 61");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("Read from reg 0x4535: 0x35, 0x34, 0x31, 0x30, "), std::string::npos)
        << r.output;
}

TEST_F(EmuRunModeTest, WriteCommandSendsARawReport) {
    // The restart report: every family accepts it unframed.
    for (const Family& f : kFamilies) {
        const CommandResult r = runClean(std::string("--chip ") + f.name +
                                         " --writecmd --data 0x0E,0x13,0x00,0x00,0x01,0x01");
        EXPECT_EQ(r.status, 0) << f.name << "\n" << r.output;
        EXPECT_NE(r.output.find("\nWrite commands: 0x0E, 0x13, 0x00, 0x00, 0x01, 0x01.\n"
                                "writeLen = 6.\n\n\nWrite commands successfully.\n"),
                  std::string::npos)
            << f.name << "\n"
            << r.output;
    }
}

TEST_F(EmuRunModeTest, AFailedOpenMovesOnToTheNextDeviceWithTheSameKeys) {
    // The emulated host offers a second device with the chip's keys after it.
    const CommandResult r = run("-p sensorid", "TOUCHFW_EMU_FAULT=fail-open:forever");
    EXPECT_NE(r.output.find("the later device with the same keys was opened"), std::string::npos)
        << r.output;
}

TEST_F(EmuRunModeTest, DeviceFailuresGiveMinusOne) {
    struct Case {
        const char* args;
        const char* env;
        const char* message;
    };
    const Case cases[] = {
        {"-p vid", "TOUCHFW_EMU_FAULT=fail-answer:vid:forever",
         "\nErrors occurred when getting VID. ret = -3.\n"},
        {"--chip 5410 -p pid", "TOUCHFW_EMU_FAULT=fail-answer:pid:forever",
         "\nErrors occurred when getting PID. ret = -3.\n"},
        {"--chip fjordH3 -p cfgver", "TOUCHFW_EMU_FAULT=withhold-ack:cfg-read-start:forever",
         "\nErrors occurred when getting cfg version. ret = -1.\n"},
        {"--chip fjordK -r 0x20000 -l 4", "TOUCHFW_EMU_FAULT=fail-answer:0x20000:forever",
         "\nErrors occurred when reading to reg. ret = -2.\n"},
        {"--chip 5415R -w 0x2000 --data 0x01", "TOUCHFW_EMU_FAULT=fail-write:1:forever",
         "\nErrors occurred when writting to reg. ret = -3.\n"},
    };
    for (const Case& c : cases) {
        const CommandResult r = run(c.args, c.env);
        EXPECT_EQ(r.status, 255) << c.args << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
        EXPECT_EQ(r.output.find("successfully"), std::string::npos) << c.args;
    }
}

TEST_F(EmuRunModeTest, NoOutputSilencesResultsButNotTheStatus) {
    const CommandResult ok = runClean("--chip fjordK4 -p vid --nooutput");
    EXPECT_EQ(ok.status, 0);
    EXPECT_EQ(ok.output, "");
    const CommandResult failed =
        run("--chip fjordK4 -p vid --nooutput", "TOUCHFW_EMU_FAULT=fail-answer:vid:forever");
    EXPECT_EQ(failed.status, 255);
    EXPECT_EQ(failed.output, "");
}

}  // namespace
