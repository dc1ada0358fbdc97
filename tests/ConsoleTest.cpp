// End to end through touchfw-emu: the progress display in a pipe and on a
// terminal, and two stations updating their own panels at the same time.
#include <gtest/gtest.h>

#ifdef TOUCHFW_EMU_BINARY

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "tests/TestSupport.h"

namespace {

using testsupport::CommandResult;
using testsupport::TempDir;

const std::string kFirmware = std::string(TOUCHFW_SOURCE_DIR) + "/examples/fw-fjordK.bin";
const std::string kFullBar = "[" + std::string(50, '=') + "]  100%";

// Runs touchfw-emu on a pseudo-terminal and returns what the terminal got.
std::string runOnTerminal(const std::string& dir, const std::string& args) {
    int master = -1;
    const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
    if (child == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(127);
        setenv("TOUCHFW_EMU_STATE_DIR", dir.c_str(), 1);
        const std::string command = std::string(TOUCHFW_EMU_BINARY) + " " + args;
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string output;
    if (child < 0)
        return output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0)
            break;  // EIO once the child has gone
        output.append(buffer, static_cast<size_t>(n));
    }
    close(master);
    int status = 0;
    waitpid(child, &status, 0);
    return output;
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
