// Shared test support: a fixture that gives every test a clean process
// state, a virtual clock and a log captured in memory.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "app/App.h"
#include "log/Log.h"
#include "sys/Clock.h"

#if defined(_WIN32)
// Windows folders have no mode bits: mkdir takes the path alone.
inline int mkdir(const char* path, int /*mode*/) {
    return ::mkdir(path);
}
#endif

namespace testsupport {

// Lines produced through logMessage while a LogCapture is active, each
// without its 27-character timestamp prefix.
std::vector<std::string>& capturedLog();

class LogCapture {
  public:
    explicit LogCapture(uint32_t level = 0x1F);
    ~LogCapture();
    const std::vector<std::string>& lines() const { return capturedLog(); }
    // True when some captured line contains `text`.
    bool contains(const std::string& text) const;
    // Number of captured lines that contain `text`.
    size_t count(const std::string& text) const;
    void clear() { capturedLog().clear(); }
};

// The log file of one folder kept in memory while it is installed: the
// lines the tool appends to "<folder>/FirmwareUpdate_App.log" gather here,
// byte for byte as the file would hold them, and never touch the disk.
// Lines meant for any other path still go to their files.
class LogFileInMemory : public LogSink {
  public:
    explicit LogFileInMemory(const std::string& folder) : path_(logPathIn(folder)) {}
    bool take(const char* path, const char* line) override {
        if (path_ != path)
            return false;
        text_ += line;
        return true;
    }
    const std::string& text() const { return text_; }

  private:
    std::string path_;
    std::string text_;
};

// Resets every piece of process-wide state, installs a virtual clock and
// captures the log at all levels. Derive device-level fixtures from it.
class ProcessFixture : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    VirtualClock clock_{LocalTime{2026, 1, 2, 3, 4, 5, 6}};
    LogCapture* log_ = nullptr;
};

// Runs a shell command, returning its standard output and exit status (0-255).
// POSIX only.
struct CommandResult {
    std::string output;
    int status = -1;
};
CommandResult runCommand(const std::string& command);

// The line touchfw-emu prints on standard error at a run that opens its
// chip: the emulated host has a second device with the same keys.
constexpr const char* kEmuTwinHint =
    "touchfw: 2 devices match; using emu:/dev/hidraw1 (1 other: emu:/dev/hidraw2); choose one "
    "with --path.\n";
// `output` without that line (where standard error is mixed into it).
std::string withoutTwinHint(std::string output);

// A fresh empty directory under the system temp folder, removed by the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

}  // namespace testsupport
