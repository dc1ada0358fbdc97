// End-to-end: the built touchfw binary as a subprocess, for the outcomes that
// need no device (command line, refusals, chip selection, log configuration).
// The run modes that look for a device wait between their open attempts; those
// run the same command line in this process, on the Linux backend over an
// empty sysfs tree and the virtual clock.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "hid/HidHost.h"
#include "hid/HidHostLinux.h"
#include "tests/TestSupport.h"

namespace {

using testsupport::CommandResult;
using testsupport::readFile;
using testsupport::TempDir;

// Exit statuses as POSIX shows them: the low 8 bits.
constexpr int kStatusBadCommandLine = 236;  // -20
constexpr int kStatusIncomplete = 246;      // -10
constexpr int kStatusFailed = 255;          // -1

class StartupTest : public ::testing::Test {
  protected:
    // Standard output only: hints for people go to standard error.
    CommandResult run(const std::string& args) {
        return testsupport::runCommand("cd '" + dir_.path() + "' && " + TOUCHFW_BINARY + " " +
                                       args + " 2>/dev/null");
    }
    // The same command line (words split at spaces) through runMain on a
    // machine without any hidraw node; the log of "." is kept in memory.
    CommandResult runWithoutDevice(const std::string& args) {
        std::vector<std::string> words = {TOUCHFW_BINARY};
        std::istringstream in(args);
        for (std::string word; in >> word;)
            words.push_back(word);
        std::vector<char*> argv;
        for (std::string& word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        resetProcessState();
        VirtualClock clock;
        setClock(&clock);
        HidHostLinux host(dir_.path(), systemHidrawNodeOps(), dir_.path());
        setHidHost(&host);
        testsupport::LogFileInMemory log(".");
        setLogSink(&log);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        CommandResult r;
        r.status = runMain(static_cast<int>(words.size()), argv.data()) & 0xFF;
        std::fflush(stdout);
        r.output = testing::internal::GetCapturedStdout();
        testing::internal::GetCapturedStderr();
        setLogSink(nullptr);
        setHidHost(nullptr);
        setClock(nullptr);
        resetProcessState();
        EXPECT_GT(clock.elapsedMs(), 0u) << "no wait between the open attempts";
        return r;
    }
    std::string logFile() const { return dir_.file("FirmwareUpdate_App.log"); }
    bool logExists() const {
        struct stat st {};
        return stat(logFile().c_str(), &st) == 0;
    }
    // Log lines without their 27-character timestamps.
    std::vector<std::string> logLines() const { return stripTimestamps(readFile(logFile())); }

    static std::vector<std::string> stripTimestamps(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            if (line.size() >= 27 && line.compare(23, 4, " -> ") == 0) {
                lines.push_back(line.substr(27));
            } else {
                lines.push_back("  " + line);  // continuation of a multi-line message
            }
        }
        return lines;
    }

    static size_t countOf(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t pos = text.find(what); pos != std::string::npos;
             pos = text.find(what, pos + 1)) {
            ++n;
        }
        return n;
    }

    TempDir dir_;
};

TEST_F(StartupTest, NoArgumentsPrintsOnlyTheUsage) {
    const CommandResult r = run("");
    EXPECT_EQ(r.status, kStatusBadCommandLine);
    EXPECT_EQ(r.output.rfind("Usage: " + std::string(TOUCHFW_BINARY) + " [options]\n", 0), 0u);
    EXPECT_FALSE(logExists());
}

TEST_F(StartupTest, EarlyOutcomes) {
    struct Case {
        const char* args;
        int status;
        const char* output;  // exact
    };
    const Case cases[] = {
        {"--version", 0, "\nlib version: 0.11.0.0,app version:0.11.0.0\n"},
        {"-v --chip xyz", 0, "\nlib version: 0.11.0.0,app version:0.11.0.0\n"},
        {"--chip xyz -p vid", kStatusFailed, "unsupport this chip:XYZ."},
        {"-w 0x10", kStatusIncomplete, "\nYou must specify the data to be written.\n"},
        {"--writecmd --scan", kStatusIncomplete, "\nYou must specify the data to be written.\n"},
        {"--rawdata --row 3", kStatusIncomplete, "invalid parameters,for help --help or -?\n"},
        {"--basedata --col 3 --version", kStatusIncomplete,
         "invalid parameters,for help --help or -?\n"},
        {"--chip 5410 --vid zz", kStatusBadCommandLine, nullptr},
    };
    for (const Case& c : cases) {
        const CommandResult r = run(c.args);
        EXPECT_EQ(r.status, c.status) << c.args;
        if (c.output != nullptr) {
            EXPECT_EQ(r.output, c.output) << c.args;
        }
        EXPECT_FALSE(logExists()) << c.args << ": early exits leave no log";
    }
}

TEST_F(StartupTest, ScanWinsOverVersion) {
    const CommandResult r = run("--scan --version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.find("lib version"), std::string::npos);
    EXPECT_FALSE(logExists());
}

TEST_F(StartupTest, NothingToDoWithTheDefaultChip) {
    const CommandResult r = run("--verbose");
    EXPECT_EQ(r.status, 0);
    // Without --loglevel only Error and Critical lines exist, so the echo shows
    // the blank start-of-run lines and the chip line between the messages.
    EXPECT_EQ(r.output.rfind("use default chip type:fjordK", 0), 0u) << r.output;
    EXPECT_NE(r.output.find("[Critical]  <main:"), std::string::npos);
    EXPECT_NE(r.output.find("\nPlease check the correctness of the input arguments.\n"
                            "Is there any order needed to be processed?\n"),
              std::string::npos);
    const std::vector<std::string> lines = logLines();
    ASSERT_EQ(lines.size(), 4u) << readFile(logFile());
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2].rfind("[Critical]  <main:", 0), 0u);
    EXPECT_NE(lines[2].find("> chip = fjordK"), std::string::npos);
    EXPECT_EQ(lines[3], "");
}

TEST_F(StartupTest, StartOfRunLinesInOrder) {
    const CommandResult r = run("--loglevel 0x3F --chip 5415r --pid 0x123456 --usage 0x2");
    EXPECT_EQ(r.status, 0);
    const std::vector<std::string> lines = logLines();
    // The first Info line went nowhere (no echo, no path yet); the file starts
    // with the logPath line.
    const std::vector<std::string> expectedStarts = {
        "    [Info] <main:",  // logPath = ./FirmwareUpdate_App.log
        "",
        "    [Info] <main:",  // delPrevLog = false
        "",
        "    [Info] <main:",  // CHIP_Pid = 5415R
        "",
        "",
        "",
        "",
        "   [Debug]  <main:",  // Log configured.
        "   [Debug]  <main:",  // Cmdline
        "    [Info] <main:",   // Current Version
        "[Critical]  <main:",  // chip =
        "    [Info] <main:",   // argument,...
        "",
        "    [Info] <main:",  // Program exit
        "",
    };
    ASSERT_EQ(lines.size(), expectedStarts.size()) << readFile(logFile());
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(expectedStarts[i], 0), 0u) << i << ": " << lines[i];
    }
    auto endsWith = [](const std::string& s, const std::string& tail) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    };
    EXPECT_TRUE(endsWith(lines[0], "> logPath = ./FirmwareUpdate_App.log")) << lines[0];
    EXPECT_TRUE(endsWith(lines[2], "> delPrevLog = false"));
    EXPECT_TRUE(endsWith(lines[4], "> CHIP_Pid = 5415R"));
    EXPECT_TRUE(endsWith(lines[9], "> Log configured."));
    EXPECT_TRUE(
        endsWith(lines[10], "> Cmdline: " + std::string(TOUCHFW_BINARY) +
                                " --loglevel 0x3F --chip 5415r --pid 0x123456 --usage 0x2 "))
        << lines[10];
    EXPECT_TRUE(endsWith(lines[11], "> Current Version: 0.11.0.0"));
    EXPECT_TRUE(endsWith(lines[12], "> chip = 5415R"));
    EXPECT_TRUE(
        endsWith(lines[13], "> argument,vid:0x2a94,pid:0x3456,usage:0x0002,usagepage:0xff00,"))
        << lines[13];
    EXPECT_TRUE(endsWith(lines[15], "> Program exit with ret = 0."));
}

TEST_F(StartupTest, VerboseEchoShowsTheFileLinesPlusTheFirstInfoLine) {
    const CommandResult r = run("--verbose --loglevel 0x1f --chip Fjordk4");
    EXPECT_EQ(r.status, 0);
    const std::string file = readFile(logFile());
    ASSERT_FALSE(file.empty());
    // Only the logLevel line precedes the file's content on the console.
    const size_t at = r.output.find(file.substr(0, 27 + 20));
    ASSERT_NE(at, std::string::npos) << r.output;
    const std::string beforeFile = r.output.substr(0, at);
    EXPECT_NE(beforeFile.find("> \nlogLevel = 0x1F\n\n"), std::string::npos) << beforeFile;
    // Every file line appears on the console, in the same order.
    size_t from = at;
    std::istringstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        const size_t found = r.output.find(line, from);
        ASSERT_NE(found, std::string::npos) << "missing on the console: " << line;
        from = found + line.size();
    }
    EXPECT_NE(file.find("CHIP_Pid = fjordK4"), std::string::npos);
    EXPECT_NE(file.find("usagepage:0xfff0"), std::string::npos);
}

TEST_F(StartupTest, NoOutputSilencesEchoAndResultsButKeepsTheFile) {
    const CommandResult quiet = run("--verbose --nooutput --loglevel 0x1f --chip corvina");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.output, "");
    const std::string file = readFile(logFile());
    const std::string tail = "Program exit with ret = 0.\n\n";
    ASSERT_GE(file.size(), tail.size());
    EXPECT_EQ(file.substr(file.size() - tail.size()), tail);
    EXPECT_NE(readFile(logFile()).find("CHIP_Pid = Corvina"), std::string::npos);
}

TEST_F(StartupTest, LogLevelIsNarrowedToFiveBits) {
    EXPECT_EQ(run("--loglevel 0x20").status, 0);
    EXPECT_FALSE(logExists()) << "0x20 keeps no level, so nothing is logged";
    const CommandResult r = run("--loglevel 0x3F --verbose");
    EXPECT_NE(r.output.find("logLevel = 0x1F"), std::string::npos);
}

TEST_F(StartupTest, DelPrevLogStartsTheFileAfresh) {
    ASSERT_EQ(run("--loglevel 0x1f").status, 0);
    ASSERT_EQ(run("--loglevel 0x1f").status, 0);
    const std::string twoRuns = readFile(logFile());
    EXPECT_EQ(countOf(twoRuns, "Current Version"), 2u) << "runs append";
    ASSERT_EQ(run("--loglevel 0x1f -d").status, 0);
    const std::string afresh = readFile(logFile());
    EXPECT_EQ(countOf(afresh, "Current Version"), 1u);
    EXPECT_EQ(countOf(afresh, "logPath ="), 0u) << "the logPath line went with the old file";
    const std::vector<std::string> lines = logLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find("> delPrevLog = true"), std::string::npos) << lines[0];
}

TEST_F(StartupTest, LogFolderOption) {
    TempDir other;
    ASSERT_EQ(run("--loglevel 0x1f --logfiledir '" + other.path() + "'").status, 0);
    EXPECT_FALSE(logExists());
    EXPECT_NE(readFile(other.file("FirmwareUpdate_App.log"))
                  .find("logPath = " + other.path() + "/FirmwareUpdate_App.log"),
              std::string::npos);
}

TEST_F(StartupTest, UnwritableLogFolderDoesNotStopTheRun) {
    TempDir other;
    ASSERT_EQ(chmod(other.path().c_str(), 0500), 0);
    const CommandResult r = run("--loglevel 0x1f --logfiledir '" + other.path() + "'");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("Is there any order needed to be processed?"), std::string::npos);
    chmod(other.path().c_str(), 0700);
}

TEST_F(StartupTest, ShowTypeNoticeAppearsEvenUnderNoOutput) {
    const CommandResult r = runWithoutDevice("--rawdata --row 2 --col 2 --showtype DEC --nooutput");
    EXPECT_NE(r.output.find("set show type to default:hex"), std::string::npos) << r.output;
    EXPECT_NE(r.status, 0) << "no device: the dump cannot succeed";
}

TEST_F(StartupTest, DeviceRunModesFailWithoutADevice) {
    struct Case {
        const char* args;
        const char* message;
    };
    const Case cases[] = {
        {"-p vid", "\nErrors occurred when getting VID. ret = "},
        {"-p pid --chip 5410", "\nErrors occurred when getting PID. ret = "},
        {"-r 0x10 -l 4", "\nErrors occurred when reading to reg. ret = "},
        {"-w 0x10010 --data 0x01,0x02,0x03",
         "\nWrite to reg 0x10010: 0x01, 0x02, 0x03.\nwriteLen = 3.\n\n"
         "\nErrors occurred when writting to reg. ret = "},
        {"--writecmd --data 0x01,0x02 -l 3",
         "\nWrite commands: 0x01, 0x02, 0x00.\nwriteLen = 3.\n\n"
         "\nErrors occurred when writting commands. ret = "},
    };
    for (const Case& c : cases) {
        const CommandResult r = runWithoutDevice(c.args);
        EXPECT_EQ(r.status, kStatusFailed) << c.args;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << c.args << "\n" << r.output;
        EXPECT_EQ(r.output.find("successfully"), std::string::npos) << c.args;
    }
}

TEST_F(StartupTest, CorvinaRefusesAConfigurationOnlyUpdate) {
    testsupport::writeFile(dir_.file("a.cfg"), "x");
    const CommandResult r = run("--chip corvina -c a.cfg");
    EXPECT_EQ(r.status, kStatusFailed);
    EXPECT_NE(r.output.find("\n Corvina not support only update config, must include fw.\n"),
              std::string::npos);
    EXPECT_NE(r.output.find("cfgfile = a.cfg.\n\n"), std::string::npos);
    EXPECT_NE(r.output.find("binfile = (null).\n\n"), std::string::npos);
}

}  // namespace
