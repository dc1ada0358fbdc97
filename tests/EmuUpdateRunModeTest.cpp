// End to end: firmware update, configuration update and touch-data capture
// run modes through touchfw-emu, with the sample images and configurations.
#include <gtest/gtest.h>

#include <string>

#include "tests/TestSupport.h"

namespace {

using testsupport::CommandResult;
using testsupport::TempDir;

struct Family {
    const char* name;
    bool fjord;
    const char* vid;  // as -p vid prints the example image's version
    int cfgVersion;   // of the example configuration
};

const Family kFamilies[] = {
    {"5410", false, "54 10 01 00", 0x11},   {"5415R", false, "54 15 01 00", 0x12},
    {"fjordK", true, "03 00 01 00", 0x13},  {"fjordH3", true, "04 00 01 00", 0x14},
    {"Corvina", true, "05 00 01 00", 0x15}, {"fjordK8", true, "06 00 01 00", 0x16},
    {"fjordK4", true, "07 00 01 00", 0x17},
};

class EmuUpdateRunModeTest : public ::testing::Test {
  protected:
    CommandResult run(const std::string& args, const std::string& env = "") {
        CommandResult r = testsupport::runCommand(
            "cd '" + dir_.path() + "' && TOUCHFW_EMU_STATE_DIR='" + dir_.path() + "' " + env + " " +
            TOUCHFW_EMU_BINARY + " " + args + " 2>&1");
        r.output = testsupport::withoutTwinHint(r.output);
        EXPECT_EQ(r.output.find("protocol error"), std::string::npos) << args << "\n" << r.output;
        return r;
    }
    static std::string example(const std::string& file) {
        return std::string(TOUCHFW_SOURCE_DIR) + "/examples/" + file;
    }
    static std::string firmware(const Family& f) {
        return " -f " + example(std::string("fw-") + f.name + ".bin");
    }
    static std::string config(const Family& f) {
        return " -c " + example(std::string("cfg-") + f.name + ".cfg");
    }

    TempDir dir_;
};

TEST_F(EmuUpdateRunModeTest, FirmwareUpdateOfEveryFamilyShowsTheNewVersion) {
    for (const Family& f : kFamilies) {
        const std::string chip = std::string("--chip ") + f.name;
        const CommandResult r = run(chip + firmware(f));
        EXPECT_EQ(r.status, 0) << f.name << "\n" << r.output;
        EXPECT_NE(r.output.find("\nfwFlag = 0x0C; ignoreVer = false.\nbinfile = "),
                  std::string::npos);
        EXPECT_NE(r.output.find("cfgfile = (null).\n\n"), std::string::npos);
        EXPECT_NE(r.output.find("\nProgress:\n"), std::string::npos) << f.name;
        EXPECT_NE(r.output.find("[" + std::string(50, '=') + "]  100%\n"), std::string::npos)
            << f.name;
        EXPECT_NE(r.output.find("\nUpdate firmware successfully.\n\n"), std::string::npos)
            << f.name << "\n"
            << r.output;
        const CommandResult vid = run(chip + " -p vid");
        EXPECT_NE(vid.output.find(std::string("VID = ") + f.vid + ".\n"), std::string::npos)
            << f.name << "\n"
            << vid.output;
    }
}

TEST_F(EmuUpdateRunModeTest, FjordFamilyFlashesTheConfigurationWithTheFirmware) {
    for (const Family& f : kFamilies) {
        if (!f.fjord)
            continue;
        const std::string chip = std::string("--chip ") + f.name;
        const CommandResult r = run(chip + firmware(f) + config(f));
        EXPECT_EQ(r.status, 0) << f.name << "\n" << r.output;
        EXPECT_NE(r.output.find("\nFlash firmware and cfg successfully.\n\n"), std::string::npos)
            << f.name << "\n"
            << r.output;
        const CommandResult ver = run(chip + " -p cfgver");
        EXPECT_NE(ver.output.find("Cfg version = " + std::to_string(f.cfgVersion) + ".\n"),
                  std::string::npos)
            << f.name << "\n"
            << ver.output;
        // The same files again: nothing to do, still a success.
        const CommandResult again = run(chip + firmware(f) + config(f));
        EXPECT_EQ(again.status, 0) << again.output;
        EXPECT_EQ(again.output.find("Progress:"), std::string::npos) << f.name;
    }
}

TEST_F(EmuUpdateRunModeTest, FirmwareThenConfigurationOnTheOlderFamilies) {
    for (const Family& f : kFamilies) {
        if (f.fjord)
            continue;
        const std::string chip = std::string("--chip ") + f.name;
        const CommandResult r = run(chip + firmware(f) + config(f));
        EXPECT_EQ(r.status, 0) << f.name << "\n" << r.output;
        EXPECT_NE(r.output.find("\nUpdate firmware successfully.\n\n"), std::string::npos);
        EXPECT_NE(r.output.find("\nUpdate cfg successfully.\n"), std::string::npos) << r.output;
        const CommandResult ver = run(chip + " -p cfgver");
        EXPECT_NE(ver.output.find("Cfg version = " + std::to_string(f.cfgVersion) + ".\n"),
                  std::string::npos)
            << ver.output;
    }
}

TEST_F(EmuUpdateRunModeTest, ConfigurationOnlyUpdates) {
    for (const Family& f : kFamilies) {
        const std::string chip = std::string("--chip ") + f.name;
        const CommandResult r = run(chip + config(f));
        if (std::string(f.name) == "Corvina") {
            EXPECT_EQ(r.status, 255);
            EXPECT_NE(
                r.output.find("\n Corvina not support only update config, must include fw.\n"),
                std::string::npos);
            continue;
        }
        EXPECT_EQ(r.status, 0) << f.name << "\n" << r.output;
        EXPECT_NE(r.output.find("\nUpdate cfg successfully.\n"), std::string::npos)
            << f.name << "\n"
            << r.output;
        const CommandResult ver = run(chip + " -p cfgver");
        EXPECT_NE(ver.output.find("Cfg version = " + std::to_string(f.cfgVersion) + ".\n"),
                  std::string::npos)
            << f.name << "\n"
            << ver.output;
    }
}

TEST_F(EmuUpdateRunModeTest, FailuresAreNeverReportedAsSuccess) {
    struct Case {
        const char* args;
        const char* fault;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"--chip fjordK", "bad-ram-check:forever", 255,
         "\nErrors occurred when updating firmware. ret = -5.\n\n"},
        {"--chip Corvina", "wrong-vid-after-restart:forever", 255,
         "\nErrors occurred when updating firmware. ret = -7.\n\n"},
        {"--chip 5410", "withhold-ack:flash-block:forever", 255,
         "\nErrors occurred when updating firmware. ret = -5.\n\n"},
    };
    for (const Case& c : cases) {
        const Family& f = kFamilies[std::string(c.args) == "--chip 5410"      ? 0
                                    : std::string(c.args) == "--chip Corvina" ? 4
                                                                              : 2];
        const CommandResult r =
            run(std::string(c.args) + firmware(f), std::string("TOUCHFW_EMU_FAULT=") + c.fault);
        EXPECT_EQ(r.status, c.status) << c.args << " " << c.fault << "\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.fault << "\n" << r.output;
        EXPECT_EQ(r.output.find("successfully"), std::string::npos) << c.fault;
    }
}

TEST_F(EmuUpdateRunModeTest, FirmwareFailureSkipsTheConfigurationOnTheOlderFamilies) {
    const CommandResult r =
        run("--chip 5415R" + firmware(kFamilies[1]) + config(kFamilies[1]),
            "TOUCHFW_EMU_FAULT=bad-ram-check:forever,withhold-ack:flash-block:forever");
    EXPECT_EQ(r.status, 255) << r.output;
    EXPECT_NE(
        r.output.find("\nErrors occurred when updating firmware. ret = -5, skip update cfg\n\n"),
        std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("cfg successfully"), std::string::npos);
}

TEST_F(EmuUpdateRunModeTest, ConfigurationFailureAfterFirmwareGivesMinusTwo) {
    const CommandResult r = run("--chip 5410" + firmware(kFamilies[0]) + config(kFamilies[0]),
                                "TOUCHFW_EMU_FAULT=withhold-ack:cfg-finish:forever");
    EXPECT_EQ(r.status, 254) << r.output;
    EXPECT_NE(r.output.find("\nUpdate firmware successfully.\n\n"), std::string::npos);
    EXPECT_NE(r.output.find("\nErrors occurred when updating cfg. ret = -5.\n"), std::string::npos)
        << r.output;
}

TEST_F(EmuUpdateRunModeTest, RawDataTableInDecimal) {
    const CommandResult r =
        run("--chip 5410 --rawdata --diffdata --row 2 --col 3 --readtimes 2 --showtype dec");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output,
              "No.1\nrawdata:\n 2001, 2002, 2003,\n 2004, 2005, 2006,\nrawdata end\n"
              "diffdata:\n   -9,   -8,   -7,\n   -6,   -5,   -4,\ndiffdata end\n"
              "No.2\nrawdata:\n 2002, 2003, 2004,\n 2005, 2006, 2007,\nrawdata end\n"
              "diffdata:\n   -8,   -7,   -6,\n   -5,   -4,   -3,\ndiffdata end\n");
}

TEST_F(EmuUpdateRunModeTest, TouchDataFailures) {
    CommandResult r = run("--chip fjordK8 --basedata --row 2 --col 2");
    EXPECT_EQ(r.status, 256 - 4) << r.output;
    r = run("--chip fjordK --rawdata --row 53 --col 75");
    EXPECT_EQ(r.status, 255) << r.output;
    r = run("--chip fjordH3 --rawdata --row 2 --col 2 --showtype hex",
            "TOUCHFW_EMU_FAULT=frame-never-ready:forever");
    EXPECT_EQ(r.status, 255) << "a frame that never becomes ready fails the capture";
    EXPECT_EQ(r.output.rfind("No.1\ntouchfw: frame 1 was never ready", 0), 0u) << r.output;
}

}  // namespace
