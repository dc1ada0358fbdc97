// touchfw-emu as a subprocess: what it does around runMain (state file,
// fault list from the environment).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/TestSupport.h"

#ifdef TOUCHFW_EMU_BINARY

namespace {

using testsupport::runCommand;
using testsupport::TempDir;

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string emu(const TempDir& dir, const std::string& env, const std::string& args) {
    return "cd '" + dir.path() + "' && " + env + " " + TOUCHFW_EMU_BINARY + " " + args + " 2>&1";
}

TEST(EmuMainTest, RunWithoutTheChipLeavesNoStateFile) {
    TempDir dir;
    const testsupport::CommandResult r = runCommand(emu(dir, "", "--chip fjordH3 --version"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("app version:"), std::string::npos) << r.output;
    EXPECT_FALSE(exists(dir.file("touchfw-emu-fjordH3.state")));
}

TEST(EmuMainTest, BadFaultListStopsBeforeTheRun) {
    TempDir dir;
    const testsupport::CommandResult r =
        runCommand(emu(dir, "TOUCHFW_EMU_FAULT='fail-open;explode'", "--version"));
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.output.find("TOUCHFW_EMU_FAULT \"explode\": unknown fault"), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("app version"), std::string::npos);
}

TEST(EmuMainTest, DamagedStateFileInTheStateDirIsReportedAndKept) {
    TempDir dir;
    TempDir stateDir;
    const std::string statePath = stateDir.file("touchfw-emu-Corvina.state");
    testsupport::writeFile(statePath, "garbage\n");
    const testsupport::CommandResult r = runCommand(
        emu(dir, "TOUCHFW_EMU_STATE_DIR='" + stateDir.path() + "'", "--chip CORVINA --version"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(
        r.output.find(statePath + ": not a touchfw-emu state file; starting from a fresh chip"),
        std::string::npos)
        << r.output;
    EXPECT_EQ(testsupport::readFile(statePath), "garbage\n");
}

// Runs touchfw-emu in `dir` with its state kept there; standard error is
// appended to the output, so protocol errors show up in it.
testsupport::CommandResult emuRun(const TempDir& dir, const std::string& args,
                                  const std::string& env = "") {
    return runCommand(emu(dir, "TOUCHFW_EMU_STATE_DIR='" + dir.path() + "' " + env, args));
}

TEST(EmuMainTest, FirmwareUpdateIsSeenByTheNextRun) {
    struct Case {
        const char* family;
        bool withConfig;  // the fjord family flashes the configuration with the firmware
        const char* vid;
        const char* cfgVersion;
    };
    const Case cases[] = {
        {"5410", false, "54 10 01 00", "1"},
        {"fjordK", true, "03 00 01 00", "19"},
        {"fjordK8", true, "06 00 01 00", "22"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.family);
        TempDir dir;
        const std::string chip = std::string("--chip ") + c.family;
        const std::string examples = std::string(TOUCHFW_SOURCE_DIR) + "/examples/";
        std::string args = chip + " -f " + examples + "fw-" + c.family + ".bin";
        if (c.withConfig)
            args += " -c " + examples + "cfg-" + c.family + ".cfg";
        testsupport::CommandResult r = emuRun(dir, args, "TOUCHFW_EMU_TRANSCRIPT=wire.txt");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output.find("protocol error"), std::string::npos) << r.output;
        EXPECT_TRUE(exists(dir.file(std::string("touchfw-emu-") + c.family + ".state")));
        EXPECT_NE(testsupport::readFile(dir.file("wire.txt")).find(" note restarted"),
                  std::string::npos);

        r = emuRun(dir, chip + " -p vid");
        EXPECT_NE(r.output.find(std::string("VID = ") + c.vid + "."), std::string::npos)
            << r.output;
        r = emuRun(dir, chip + " -p cfgver");
        EXPECT_NE(r.output.find(std::string("Cfg version = ") + c.cfgVersion + "."),
                  std::string::npos)
            << r.output;
        // The same image again: nothing to do, the versions are equal.
        r = emuRun(dir, chip + " -f " + examples + "fw-" + c.family + ".bin");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output.find("protocol error"), std::string::npos) << r.output;
    }
}

TEST(EmuMainTest, FaultsFromTheEnvironmentReachTheChip) {
    TempDir dir;
    const std::string image = std::string(TOUCHFW_SOURCE_DIR) + "/examples/fw-fjordK.bin";
    testsupport::CommandResult r =
        emuRun(dir, "-f " + image, "TOUCHFW_EMU_FAULT=wrong-vid-after-restart");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.output.find("ret = -7."), std::string::npos) << r.output;
    r = emuRun(dir, "-p vid");
    EXPECT_NE(r.output.find("VID = 03 00 01 01."), std::string::npos) << r.output;
}

}  // namespace

#endif
