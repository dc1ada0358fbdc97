// End-to-end runs of the touchfw-image binary.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/App.h"
#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "fw/FwImage.h"
#include "tests/TestSupport.h"

namespace {

using testsupport::runCommand;

// touchfw-image is built next to touchfw.
std::string toolPath() {
    std::string path = TOUCHFW_BINARY;
    const size_t name = path.find_last_of('/') + 1;
    return path.replace(name, std::strlen("touchfw"), "touchfw-image");
}

struct Family {
    const char* name;
    int32_t chip;
    const char* pid;        // as given to the tool
    const char* loadedPid;  // as the image class reports it
    bool layoutB;
};

const Family kFamilies[] = {
    {"5410", CHIP_5410, "5410", "5410", false},
    {"5415R", CHIP_5415R, "5415R", "5416", false},
    {"fjordK", CHIP_FJORDK, "0121", "0121", true},
    {"fjordH3", CHIP_FJORDH3, "0F60", "0F60", true},
    {"Corvina", CHIP_CORVINA, "01EC", "01EC", true},
    {"fjordK8", CHIP_FJORDK8, "0123", "0123", true},
    {"fjordK4", CHIP_FJORDK4, "0132", "0132", true},
};

class ImageToolTest : public testsupport::ProcessFixture {
  protected:
    testsupport::CommandResult tool(const std::string& args) {
        return runCommand("'" + toolPath() + "' " + args + " 2>&1");
    }

    std::unique_ptr<FwImage> loadImage(int32_t chip, const std::string& path) {
        auto image = createFwImage(chip);
        EXPECT_EQ(image->load(path.c_str()), 0) << path;
        return image;
    }

    testsupport::TempDir dir_;
};

TEST_F(ImageToolTest, BuildThenReadBackEveryFamily) {
    const std::string payload = "sub-firmware payload from a file\n";
    testsupport::writeFile(dir_.file("payload.bin"), payload);
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        const std::string out = dir_.file(std::string("fw-") + f.name + ".bin");
        const auto built = tool(std::string("build --chip ") + f.name + " --pid " + f.pid +
                                " --vid 0a.1B.2c.3D --gen 2:0x100:5000 --sub 3:0x20000:" +
                                dir_.file("payload.bin") + " -o " + out);
        ASSERT_EQ(built.status, 0) << built.output;
        EXPECT_NE(built.output.find("Result:        loads"), std::string::npos) << built.output;

        auto image = loadImage(f.chip, out);
        ASSERT_TRUE(image->isLoaded);
        EXPECT_STREQ(image->pid, f.loadedPid);
        const uint8_t vid[4] = {0x0A, 0x1B, 0x2C, 0x3D};
        EXPECT_EQ(std::memcmp(image->vid, vid, 4), 0);
        ASSERT_EQ(image->getFwSubFwNum(), 2);
        EXPECT_EQ(image->getFwSubFwType(0), 2);
        EXPECT_EQ(image->getFwSubFwType(1), 3);
        EXPECT_EQ(image->getFwSubFwAddr(0), 0x100u);
        EXPECT_EQ(image->getFwSubFwAddr(1), 0x20000u);
        // Sub-firmware 0: identity block (magic, Pid as loaded, Vid), then 5000 bytes.
        ASSERT_EQ(image->getFwSubFwLen(0), 5016u);
        const uint8_t* first = image->getFwSubFwData(0);
        ASSERT_NE(first, nullptr);
        char idPid[9] = {};
        std::memcpy(idPid, first + 4, 8);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(first), 4), "TFWI");
        EXPECT_STREQ(idPid, f.loadedPid);
        EXPECT_EQ(std::memcmp(first + 12, vid, 4), 0);
        // Sub-firmware 1: exactly the file's bytes.
        ASSERT_EQ(image->getFwSubFwLen(1), payload.size());
        const uint8_t* second = image->getFwSubFwData(1);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(second), payload.size()), payload);

        const auto info = tool(std::string("info --chip ") + f.name + " " + out);
        EXPECT_EQ(info.status, 0) << info.output;
        EXPECT_NE(info.output.find("Vid:           0A 1B 2C 3D"), std::string::npos);
        EXPECT_NE(info.output.find("identity block: Pid \"" + std::string(f.loadedPid) +
                                   "\", Vid 0A 1B 2C 3D\n"),
                  std::string::npos)
            << info.output;
    }
}

TEST_F(ImageToolTest, IdentityOptions) {
    const std::string out = dir_.file("fw.bin");
    auto built =
        tool("build --chip fjordK --pid FJK1 --vid 01020304 --gen 3:0:100 --no-identity -o " + out);
    ASSERT_EQ(built.status, 0) << built.output;
    auto image = loadImage(CHIP_FJORDK, out);
    EXPECT_EQ(image->getFwSubFwLen(0), 100u);
    EXPECT_NE(std::memcmp(image->getFwSubFwData(0), "TFWI", 4), 0);

    // An identity that differs from the header, for a chip that reports
    // another version after the update; info points the difference out.
    built = tool(
        "build --chip fjordK --pid FJK1 --vid 01020304 --gen 3:0:100 --identity-vid "
        "09.09.09.09 --identity-pid OTHER -o " +
        out);
    ASSERT_EQ(built.status, 0) << built.output;
    EXPECT_NE(built.output.find("identity block: Pid \"OTHER\", Vid 09 09 09 09 (differs"),
              std::string::npos)
        << built.output;
    image = loadImage(CHIP_FJORDK, out);
    const uint8_t expected[16] = {'T', 'F', 'W', 'I', 'O', 'T', 'H', 'E', 'R', 0, 0, 0, 9, 9, 9, 9};
    EXPECT_EQ(std::memcmp(image->getFwSubFwData(0), expected, 16), 0);

    // A first sub-firmware that the default update flag skips gets a note.
    built = tool("build --chip fjordK --pid FJK1 --vid 01020304 --gen 4:0:100 -o " + out);
    EXPECT_EQ(built.status, 0);
    EXPECT_NE(built.output.find("note: sub-firmware 0 has type 0x04"), std::string::npos);
}

TEST_F(ImageToolTest, InfoExplainsWhyAnImageWouldNotLoad) {
    const std::string good = dir_.file("good.bin");
    ASSERT_EQ(tool("build --chip 5410 --pid 5410 --vid 1.2.3.4 --gen 2:0:300 -o " + good).status,
              0);
    const std::string bytes = testsupport::readFile(good);

    struct Case {
        const char* name;
        std::string content;
        std::vector<const char*> expected;
    };
    std::string flipped = bytes;
    flipped[300] = static_cast<char>(flipped[300] ^ 0x40);
    std::string overrun = bytes;  // sub-firmware 0 one byte longer than the data
    overrun[33 + 3] = static_cast<char>(overrun[33 + 3] + 1);
    overrun[5] = static_cast<char>(overrun[5] + 1);
    const Case cases[] = {
        {"checksum",
         flipped,
         {"Checksum:      stored", ": WRONG", "would NOT load (load returns -6)"}},
        {"truncated",
         bytes.substr(0, 400),
         {"Length field:  566 (file size - 6 = 394): WRONG", "(data outside the file)"}},
        {"data beyond the end",
         overrun,
         {"(data outside the file)", "sub-firmware data end at 573, file size 572."}},
        {"shorter than the Pid",
         bytes.substr(0, 12),
         {"Pid:           outside the file", "count byte at 27 is outside the file"}},
        {"empty", "", {"file shorter than the 6-byte header", "would NOT load"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::writeFile(dir_.file("bad.bin"), c.content);
        const auto info = tool("info --chip 5410 " + dir_.file("bad.bin"));
        EXPECT_EQ(info.status, 1);
        EXPECT_NE(info.output.find("Fits:          no family\n"), std::string::npos) << info.output;
        for (const char* text : c.expected) {
            EXPECT_NE(info.output.find(text), std::string::npos) << text << "\n" << info.output;
        }
        // Each failed check once: the header lines show the length and the
        // checksum, so the loader's lines about them are not repeated.
        for (const char* repeated : {"invalid len", "Check sum error", "header ends at"}) {
            EXPECT_EQ(info.output.find(repeated), std::string::npos) << repeated << "\n"
                                                                     << info.output;
        }
    }
}

// Every sample image read with every family, and without --chip: a family
// whose layout keeps the fields where the image's does reads it, any other
// names the image's family instead of reporting its fields; without --chip
// the family whose Pid the image carries is chosen.
TEST_F(ImageToolTest, InfoFindsTheFamilyOfAnImage) {
    const std::string examples = std::string(TOUCHFW_SOURCE_DIR) + "/examples/";
    auto samePositions = [](int32_t a, int32_t b) {
        const FwImageLayout& x = *fwImageLayout(a);
        const FwImageLayout& y = *fwImageLayout(b);
        return x.kind == y.kind && x.pidOffset == y.pidOffset && x.vidOffset == y.vidOffset &&
               x.countOffset == y.countOffset && x.tableOffset == y.tableOffset &&
               x.dataOffset == y.dataOffset;
    };
    for (const Family& image : kFamilies) {
        const std::string file = examples + "fw-" + image.name + ".bin";
        std::vector<std::string> fits;
        for (const Family& f : kFamilies) {
            if (samePositions(image.chip, f.chip))
                fits.push_back(f.name);
        }
        for (const Family& asked : kFamilies) {
            SCOPED_TRACE(std::string(image.name) + " image, --chip " + asked.name);
            const auto info = tool(std::string("info --chip ") + asked.name + " " + file);
            const bool fit = samePositions(image.chip, asked.chip);
            EXPECT_EQ(info.status, fit ? 0 : 1) << info.output;
            if (fit) {
                EXPECT_EQ(info.output.find("Fits:"), std::string::npos) << info.output;
            } else {
                EXPECT_NE(info.output.find(std::string("not a ") + asked.name +
                                           " image: try --chip " + image.name + "\n"),
                          std::string::npos)
                    << info.output;
                EXPECT_EQ(info.output.find("WRONG"), std::string::npos) << info.output;
            }
        }
        SCOPED_TRACE(std::string(image.name) + " image, no --chip");
        const auto text = tool("info " + file);
        EXPECT_EQ(text.status, 0) << text.output;
        EXPECT_NE(text.output.find(std::string("Chip:          ") + image.name + ","),
                  std::string::npos)
            << text.output;
        EXPECT_NE(text.output.find(std::string("\" is ") + image.name + "'s)"), std::string::npos)
            << text.output;
        const auto json = runCommand("'" + toolPath() + "' info --json " + file);
        const nlohmann::json report = nlohmann::json::parse(json.output);
        EXPECT_EQ(report["chip"], image.name);
        EXPECT_EQ(report["chipGiven"], false);
        EXPECT_EQ(report["fits"], fits);
        EXPECT_EQ(report["pidMatches"], std::vector<std::string>{image.name});
    }

    // Nothing fits: one reason per layout, and no family's fields.
    testsupport::writeFile(dir_.file("none.bin"), std::string(600, '\x5A'));
    const auto none = tool("info " + dir_.file("none.bin"));
    EXPECT_EQ(none.status, 1);
    for (const char* text : {"Fits:          no family\n", "    5410, 5415R (layout A): ",
                             "    fjordK, Corvina, fjordK8, fjordK4 (layout B): ",
                             "    fjordH3 (layout B): ", "would NOT load as any family"}) {
        EXPECT_NE(none.output.find(text), std::string::npos) << text << "\n" << none.output;
    }
    EXPECT_EQ(none.output.find("Chip:"), std::string::npos) << none.output;
    const auto noneJson = runCommand("'" + toolPath() + "' info --json " + dir_.file("none.bin"));
    const nlohmann::json noneReport = nlohmann::json::parse(noneJson.output);
    EXPECT_EQ(noneJson.status, 1);
    EXPECT_TRUE(noneReport["chip"].is_null());
    EXPECT_TRUE(noneReport["fits"].empty());
}

#if !defined(__SANITIZE_ADDRESS__)  // ulimit -v; ASan reserves terabytes
// info holds the image once (the program itself takes about 6.5 MB): a 16
// MiB image, which five families load, within 30 MB of address space.
TEST_F(ImageToolTest, InfoHoldsTheImageOnce) {
    const std::string file = dir_.file("big.bin");
    ASSERT_EQ(
        tool("build --chip fjordK --pid 0121 --vid 01020304 --gen 2:0:16777216 -o " + file).status,
        0);
    const auto info = runCommand("ulimit -v 30000 && '" + toolPath() + "' info " + file + " 2>&1");
    EXPECT_EQ(info.status, 0) << info.output;
    EXPECT_NE(info.output.find("Fits:          fjordK, fjordH3, Corvina, fjordK8, fjordK4"),
              std::string::npos)
        << info.output;
}
#endif

TEST_F(ImageToolTest, CommandLineAndInputErrors) {
    std::string many;
    for (int i = 0; i < 23; ++i)
        many += " --gen 2:0:1";
    struct Case {
        std::string args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"", 2, "a command is required"},
        {"frobnicate", 2, "unknown command 'frobnicate'"},
        {"build --pid P --vid 1.2.3.4 -o OUT", 2, "--chip is required"},
        {"build --chip fjordQ --pid P --vid 1.2.3.4 -o OUT", 2, "unknown chip 'fjordQ'"},
        {"build --chip fjordK --vid 1.2.3.4 -o OUT", 2, "--pid is required"},
        {"build --chip fjordK --pid NINECHARS --vid 1.2.3.4 -o OUT", 2, "1 to 8 printable"},
        {"build --chip fjordK --pid P --vid 1.2.3 -o OUT", 2, "is not 4 hex bytes"},
        {"build --chip fjordK --pid P --vid 1.2.3.4 --gen 256:0:1 -o OUT", 2,
         "type '256' is not a number from 0 to 255"},
        {"build --chip fjordK --pid P --vid 1.2.3.4 --gen 2:0x:1 -o OUT", 2, "address '0x'"},
        {"build --chip fjordK --pid P --vid 1.2.3.4 --gen 2:0 -o OUT", 2, "expects TYPE:ADDR:LEN"},
        {"build --chip fjordK --pid P --vid 1.2.3.4 --gen 2:0:1", 2, "-o OUT is required"},
        {"build --chip 5410 --pid P --vid 1.2.3.4 --gen 2:0x10080:1 -o OUT", 1,
         "address 0x10080 cannot be stored"},
        {"build --chip 5410 --pid P --vid 1.2.3.4 --gen 2:0x1000000:1 -o OUT", 1,
         "address 0x1000000 cannot be stored"},
        {"build --chip fjordK --pid P --vid 1.2.3.4 --sub 2:0:" + dir_.file("none.bin") + " -o OUT",
         1, "cannot open"},
        {"build --chip fjordH3 --pid P --vid 1.2.3.4" + many + " -o OUT", 1,
         "23 sub-firmwares do not fit: a FwImage_FjordH3 table holds at most 22"},
        {"build --chip fjordK --pid P --vid 1.2.3.4 --gen 2:0:1 -o " + dir_.file("no/such/dir"), 1,
         "cannot create"},
        {"info --chip fjordK", 2, "FILE is required"},
        {"info --chip fjordK " + dir_.file("none.bin"), 1, "cannot open"},
        {"cfg --chip fjordK -o OUT", 2, "--version is required"},
        {"cfg --chip fjordK --version 256 -o OUT", 2, "not a number from 0 to 255"},
        {"cfg --chip fjordK --version 1 --length 63 -o OUT", 2,
         "--length must be a number from 64"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        std::string args = c.args;
        const size_t out = args.find(" OUT");
        if (out != std::string::npos)
            args.replace(out + 1, 3, dir_.file("x"));
        const auto result = tool(args);
        EXPECT_EQ(result.status, c.status) << result.output;
        EXPECT_NE(result.output.find("touchfw-image: error: "), std::string::npos);
        EXPECT_NE(result.output.find(c.message), std::string::npos) << result.output;
        // A failed run leaves no output file behind.
        EXPECT_TRUE(testsupport::readFile(dir_.file("x")).empty());
    }
}

// Outputs are written beside the target and renamed over it: a link there
// (in a folder anyone may write) is replaced, not written through, and a
// write that fails (the file size limit here) leaves the old file and no other.
TEST_F(ImageToolTest, OutputsAreReplacedWholeAndNeverWrittenThrough) {
    ASSERT_EQ(chmod(dir_.path().c_str(), 01777), 0);
    testsupport::writeFile(dir_.file("precious"), "precious\n");
    ASSERT_EQ(symlink(dir_.file("precious").c_str(), dir_.file("fw.bin").c_str()), 0);
    const std::string build = "build --chip fjordK --pid 0121 --vid 1.2.3.4 --gen 2:0:300000 -o ";
    ASSERT_EQ(tool(build + dir_.file("fw.bin")).status, 0);
    EXPECT_EQ(testsupport::readFile(dir_.file("precious")), "precious\n");
    struct stat st {};
    ASSERT_EQ(lstat(dir_.file("fw.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    const std::string before = testsupport::readFile(dir_.file("fw.bin"));
    const testsupport::CommandResult full =
        runCommand("trap '' XFSZ; ulimit -f 64 && '" + toolPath() + "' " + build +
                   dir_.file("fw.bin") + " --gen 3:0x80000:400000 2>&1; ls '" + dir_.path() + "'");
    EXPECT_NE(full.output.find("File too large"), std::string::npos) << full.output;
    EXPECT_EQ(testsupport::readFile(dir_.file("fw.bin")), before);
    EXPECT_EQ(full.output.find(".tmp-"), std::string::npos) << full.output;
}

TEST_F(ImageToolTest, SampleConfigurationsPassTheirFamilysCheck) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        const std::string out = dir_.file(std::string(f.name) + ".cfg");
        const auto written =
            tool(std::string("cfg --chip ") + f.name + " --version 0x5C --length 100 -o " + out);
        ASSERT_EQ(written.status, 0) << written.output;
        auto cfg = createCfgImage(f.chip);
        ASSERT_EQ(cfg->load(out.c_str()), 0);
        EXPECT_EQ(cfg->getCfgVersion(), 0x5C);
        const uint8_t* d = cfg->getCfgData();
        EXPECT_NE(d[99], 0);   // 100 bytes written (the pattern has no zero in this range)
        EXPECT_EQ(d[100], 0);  // zero fill
        if (f.chip == CHIP_5410) {
            EXPECT_EQ((d[0] + d[1] + d[2] + d[3]) & 0xFF, 0);
        } else if (f.chip == CHIP_5415R) {
            EXPECT_EQ(d[0] + d[1] + d[2], d[3] + d[4]);
        } else {
            unsigned sum = 0;
            for (int i = 0; i < 62; ++i)
                sum += d[i];
            EXPECT_EQ(sum & 0xFFFF, d[62] + 256u * d[63]);
        }
        const auto info = tool(std::string("cfginfo --chip ") + f.name + " " + out);
        EXPECT_EQ(info.status, 0) << info.output;
        EXPECT_NE(info.output.find("Version:       0x5C"), std::string::npos) << info.output;
    }
    // The same file read for a family with another check is reported.
    const auto wrong = tool("cfginfo --chip 5410 " + dir_.file("fjordK.cfg"));
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.output.find("the chip's version read would reject it"), std::string::npos);
}

TEST_F(ImageToolTest, ExamplesAreLoadableAndReproducible) {
    const std::string examples = std::string(TOUCHFW_SOURCE_DIR) + "/examples";
    const auto generated = runCommand("sh '" + examples + "/generate.sh' '" + toolPath() + "' '" +
                                      dir_.path() + "' 2>&1");
    ASSERT_EQ(generated.status, 0) << generated.output;
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.name);
        for (const std::string& name :
             {std::string("fw-") + f.name + ".bin", std::string("cfg-") + f.name + ".cfg"}) {
            const std::string shipped = testsupport::readFile(examples + "/" + name);
            ASSERT_FALSE(shipped.empty()) << name;
            EXPECT_TRUE(shipped == testsupport::readFile(dir_.file(name)))
                << name << " differs from what generate.sh produces";
        }
        auto image = loadImage(f.chip, examples + "/fw-" + f.name + ".bin");
        EXPECT_STREQ(image->pid, f.loadedPid);
        ASSERT_EQ(image->getFwSubFwNum(), 3);
        EXPECT_GT(image->getFwSubFwLen(0), 4096u);
        EXPECT_LT(image->fwSize, 8192u);
    }
}

}  // namespace

namespace {

testsupport::CommandResult toolStdout(const std::string& args, const std::string& errFile) {
    return runCommand("'" + toolPath() + "' " + args + " 2>'" + errFile + "'");
}

TEST(ImageToolJsonTest, VersionJsonReportsAndTheConfigurationTextWarning) {
    testsupport::TempDir dir;
    const std::string err = dir.file("err.txt");
    const std::string examples = std::string(TOUCHFW_SOURCE_DIR) + "/examples/";

    const auto version = toolStdout("--version", err);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output, std::string("touchfw-image ") + kAppVersion + "\n");

    const auto info = toolStdout("info --chip fjordK --json " + examples + "fw-fjordK.bin", err);
    EXPECT_EQ(info.status, 0);
    const nlohmann::json image = nlohmann::json::parse(info.output);
    EXPECT_EQ(image["loads"], true);
    EXPECT_EQ(image["layout"], "B");
    EXPECT_EQ(image["pid"]["text"], "0121");
    EXPECT_EQ(image["vid"], "03 00 01 00");
    ASSERT_EQ(image["subFirmwares"].size(), image["subFirmwareCount"].get<size_t>());
    EXPECT_EQ(image["subFirmwares"][0]["identity"]["matchesImage"], true);
    EXPECT_EQ(image["header"]["checksumOk"], true);

    // A truncated image: same exit status as the text report, and the reasons.
    const std::string bytes = testsupport::readFile(examples + "fw-fjordK.bin");
    testsupport::writeFile(dir.file("cut.bin"), bytes.substr(0, 600));
    const auto cut = toolStdout("info --json --chip fjordK " + dir.file("cut.bin"), err);
    EXPECT_EQ(cut.status, 1);
    const nlohmann::json cutImage = nlohmann::json::parse(cut.output);
    EXPECT_EQ(cutImage["loads"], false);
    EXPECT_FALSE(cutImage["errors"].empty());

    struct Case {
        std::string file;
        int status;           // 0: the file is configuration text
        std::string warning;  // empty: no warning
        std::string refusal;  // touchfw's, when it does not load the file
    };
    testsupport::writeFile(dir.file("words.cfg"), "0x11, 0x22\nexample text\n");
    testsupport::writeFile(dir.file("notes.cfg"), "#!/bin/sh\n# run the next step\nexit 0\n");
    const Case cases[] = {
        {examples + "cfg-fjordK.cfg", 0, "", ""},
        {examples + "fw-fjordK.bin", 1, "is not text", "Cfg file is not text: byte 0x"},
        {dir.file("words.cfg"), 1, "line 2, offset 11: 'e' is not part of a 0xNN byte", ""},
        {dir.file("notes.cfg"), 1, "line 1, offset 0: '#' is not part of a 0xNN byte",
         "Cfg file is not configuration text: 0 of its 2 byte markers"},
    };
    for (const Case& c : cases) {
        const auto text = toolStdout("cfginfo --chip fjordK " + c.file, err);
        const std::string warning = testsupport::readFile(err);
        const auto json = toolStdout("cfginfo --chip fjordK --json " + c.file, err);
        const nlohmann::json cfg = nlohmann::json::parse(json.output);
        EXPECT_EQ(text.status, c.status) << c.file << "\n" << text.output;
        EXPECT_EQ(json.status, c.status) << c.file;
        EXPECT_EQ(cfg["configurationText"], c.status == 0) << c.file;
        if (c.status == 0) {
            EXPECT_EQ(cfg["version"], 0x13);
            EXPECT_EQ(cfg["checkBytes"]["ok"], true);
        }
        EXPECT_EQ(text.output.find("warning"), std::string::npos) << c.file;
        EXPECT_EQ(cfg["loads"], c.refusal.empty()) << c.file;
        if (!c.refusal.empty()) {
            EXPECT_NE(text.output.find("would NOT load (load returns -8)"), std::string::npos);
            EXPECT_NE(text.output.find(c.refusal), std::string::npos) << text.output;
        }
        if (c.warning.empty()) {
            EXPECT_EQ(warning, "") << c.file;
        } else {
            EXPECT_NE(warning.find("warning: " + c.file + " is not configuration text"),
                      std::string::npos)
                << warning;
            EXPECT_NE(warning.find(c.warning), std::string::npos) << warning;
        }
    }
}

// A file that cannot be read still gets the command's whole object: the
// keys of a readable file's report, what only the file could tell null, the
// loader's refusal, status 1 and the reason on standard error.
TEST(ImageToolJsonTest, UnreadableFilesAnswerInJson) {
    testsupport::TempDir dir;
    const std::string err = dir.file("err.txt");
    const std::string examples = std::string(TOUCHFW_SOURCE_DIR) + "/examples/";
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0700), 0);
    testsupport::writeFile(dir.file("huge"), "");
    ASSERT_EQ(truncate(dir.file("huge").c_str(), static_cast<off_t>(kFwImageMaxBytes + 1)), 0);
    const std::pair<const char*, std::string> commands[] = {
        {"info", examples + "fw-fjordK.bin"}, {"cfginfo", examples + "cfg-fjordK.cfg"}};
    for (const auto& [command, readable] : commands) {
        const std::string args = std::string(command) + " --chip fjordK --json ";
        const nlohmann::json good = nlohmann::json::parse(toolStdout(args + readable, err).output);
        for (const char* name : {"missing", "fifo", "folder", "huge"}) {
            SCOPED_TRACE(std::string(command) + " " + name);
            const auto r = toolStdout(args + dir.file(name), err);
            EXPECT_EQ(r.status, 1);
            const nlohmann::json report = nlohmann::json::parse(r.output);
            ASSERT_EQ(report.size(), good.size());
            for (const auto& item : good.items())
                EXPECT_TRUE(report.contains(item.key())) << item.key();
            EXPECT_EQ(report["file"], dir.file(name));
            EXPECT_EQ(report["loads"], false);
            EXPECT_FALSE(report["errors"].empty());
            EXPECT_NE(testsupport::readFile(err).find("touchfw-image: error: "), std::string::npos);
        }
    }
}

}  // namespace
