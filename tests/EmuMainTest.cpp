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

}  // namespace

#endif
