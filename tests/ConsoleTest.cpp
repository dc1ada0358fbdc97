// End to end through touchfw-emu: the progress display in a pipe and on a
// terminal, and two stations updating their own panels at the same time.
#include <gtest/gtest.h>

#ifdef TOUCHFW_EMU_BINARY

#include <string>

#include "tests/TestSupport.h"

namespace {

using testsupport::CommandResult;
using testsupport::TempDir;

const std::string kFirmware = std::string(TOUCHFW_SOURCE_DIR) + "/examples/fw-fjordK.bin";
const std::string kFullBar = "[" + std::string(50, '=') + "]  100%";

// Runs touchfw-emu on a pseudo-terminal (script(1), at most a minute) and
// returns what the terminal got.
std::string runOnTerminal(const std::string& dir, const std::string& args) {
    return testsupport::runCommand("cd '" + dir + "' && TOUCHFW_EMU_STATE_DIR='" + dir +
                                   "' timeout 60 script -qec '" + TOUCHFW_EMU_BINARY + " " + args +
                                   "' /dev/null </dev/null")
        .output;
}

TEST(ConsoleTest, ProgressIsPlainLinesInAPipeAndRedrawnOnATerminal) {
    TempDir dir;
    const CommandResult piped =
        testsupport::runCommand("cd '" + dir.path() + "' && TOUCHFW_EMU_STATE_DIR='" + dir.path() +
                                "' " + TOUCHFW_EMU_BINARY + " -f " + kFirmware + " 2>/dev/null");
    EXPECT_EQ(piped.status, 0) << piped.output;
    EXPECT_EQ(piped.output.find('\b'), std::string::npos);
    EXPECT_NE(piped.output.find("\nProgress:\n[" + std::string(50, ' ') + "]  0%\n"),
              std::string::npos)
        << piped.output;
    EXPECT_NE(piped.output.find("\n" + kFullBar + "\n"), std::string::npos);

    // The terminal turns each line end into CR LF; the bar is drawn over itself.
    const std::string tty = runOnTerminal(dir.path(), "--ignorever -f " + kFirmware);
    EXPECT_NE(tty.find("]  0%" + std::string(59, '\b') + "["), std::string::npos) << tty;
    EXPECT_NE(tty.find(std::string(59, '\b') + kFullBar + "\r\n"), std::string::npos);
    EXPECT_NE(tty.find("Update firmware successfully."), std::string::npos);
}

// Two emulated chips (each with its own state file) updated at once, each
// run naming its device and keeping its own log.
TEST(ConsoleTest, TwoStationsUpdateAtOnce) {
    TempDir a, b;
    auto station = [](const TempDir& dir) {
        return "(cd '" + dir.path() + "' && TOUCHFW_EMU_STATE_DIR='" + dir.path() + "' " +
               TOUCHFW_EMU_BINARY + " --path emu:/dev/hidraw1 --loglevel 0x1F --logfiledir '" +
               dir.path() + "' -f " + kFirmware + " >out.txt 2>&1; echo $? >status.txt)";
    };
    const CommandResult r = testsupport::runCommand(station(a) + " & " + station(b) + " & wait");
    EXPECT_EQ(r.status, 0);
    for (const TempDir* dir : {&a, &b}) {
        EXPECT_EQ(testsupport::readFile(dir->file("status.txt")), "0\n") << dir->path();
        const std::string out = testsupport::readFile(dir->file("out.txt"));
        EXPECT_NE(out.find("\nUpdate firmware successfully.\n"), std::string::npos) << out;
        EXPECT_NE(
            testsupport::readFile(dir->file("FirmwareUpdate_App.log")).find("emu:/dev/hidraw1"),
            std::string::npos)
            << dir->path();
    }
}

TEST(ConsoleTest, EmulatorHelpNamesItsEnvironmentVariables) {
    const CommandResult r =
        testsupport::runCommand(std::string(TOUCHFW_EMU_BINARY) + " --help 2>/dev/null");
    EXPECT_EQ(r.status, 236);
    EXPECT_EQ(r.output.rfind("Usage: ", 0), 0u);
    for (const char* name :
         {"TOUCHFW_EMU_STATE_DIR", "TOUCHFW_EMU_FAULT", "TOUCHFW_EMU_TRANSCRIPT"}) {
        EXPECT_NE(r.output.find(std::string("\n  ") + name + " "), std::string::npos) << name;
    }
}

}  // namespace

#endif  // TOUCHFW_EMU_BINARY
