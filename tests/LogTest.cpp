#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "log/Log.h"
#include "log/Progress.h"
#include "sys/Clock.h"
#include "tests/TestSupport.h"

namespace {

using testsupport::readFile;
using testsupport::TempDir;

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        resetLogConfig();
        setClock(&clock_);
        logLevel = 0x1F;
        logMessage = logToFile;
        setLogFolder(dir_.path().c_str());
    }
    void TearDown() override {
        resetLogConfig();
        setClock(nullptr);
    }
    std::string fileText() const { return readFile(logPath); }

    VirtualClock clock_{LocalTime{2026, 3, 4, 5, 6, 7, 89}};
    TempDir dir_;
};

TEST_F(LogTest, LineHasTimestampTagFunctionAndLine) {
    LOG_ERROR("TlcConnection::readV2", "value %d\n", 7);
    const int line = __LINE__ - 1;
    EXPECT_EQ(fileText(), "2026-03-04 05:06:07.089 ->    [Error] <TlcConnection::readV2:" +
                              std::to_string(line) + "> value 7\n");
}

TEST_F(LogTest, TagsOfEveryLevel) {
    LOG_DEBUG("f", "d\n");
    LOG_INFO("f", "i\n");
    LOG_WARNING("f", "w\n");
    LOG_ERROR("f", "e\n");
    LOG_CRITICAL("f", "c\n");
    const std::string text = fileText();
    for (const char* tag : {"->    [Debug]  <f:", "->     [Info] <f:", "->  [Warning] <f:",
                            "->    [Error] <f:", "-> [Critical]  <f:"}) {
        EXPECT_NE(text.find(tag), std::string::npos) << tag;
    }
}

TEST_F(LogTest, TimestampIsTwentySevenCharactersAndAdvancesWithTheClock) {
    clock_.sleepMs(1001);
    LOG_INFO("f", "x\n");
    const std::string text = fileText();
    EXPECT_EQ(text.substr(0, 27), "2026-03-04 05:06:08.090 -> ");
}

TEST_F(LogTest, LevelMaskSuppressesBeforeFormatting) {
    logLevel = LOG_LEVEL_ERROR | LOG_LEVEL_CRITICAL;
    int formatted = 0;
    auto arg = [&formatted]() {
        ++formatted;
        return 1;
    };
    LOG_DEBUG("f", "%d\n", arg());
    LOG_INFO("f", "%d\n", arg());
    LOG_WARNING("f", "%d\n", arg());
    EXPECT_EQ(formatted, 0);
    EXPECT_EQ(fileText(), "");
    LOG_ERROR("f", "%d\n", arg());
    EXPECT_EQ(formatted, 1);
}

TEST_F(LogTest, NothingIsProducedWhileLevelIsZero) {
    logLevel = 0;
    LOG_RAW("\n");
    logMessage("plain %s\n", "text");
    struct stat st {};
    EXPECT_NE(stat(logPath, &st), 0) << "no log file may be created";
}

TEST_F(LogTest, LongMessagesAreTruncatedToTheLine) {
    const std::string longText(600, 'x');
    LOG_RAW("%s", longText.c_str());
    const std::string text = fileText();
    EXPECT_EQ(text.size(), 511u);  // 27 prefix + 484 message characters
    EXPECT_EQ(text.substr(27), std::string(484, 'x'));
}

TEST_F(LogTest, EchoPrintsTheLineAsText) {
    logMessage = logToFileAndConsole;
    testing::internal::CaptureStdout();
    LOG_INFO("f", "path = %s\n", "/dev/%s%d%n");
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("path = /dev/%s%d%n\n"), std::string::npos);
    EXPECT_EQ(out, fileText());
}

TEST_F(LogTest, FileAboveFiftyMebibytesIsDeletedBeforeTheNextLine) {
    struct Case {
        off_t size;
        bool deleted;
    };
    for (const Case& c : {Case{52428801, true}, Case{52428800, false}}) {
        std::remove(logPath);
        std::ofstream(logPath).close();
        ASSERT_EQ(truncate(logPath, c.size), 0);  // sparse: costs no disk space
        LOG_INFO("f", "next\n");
        const std::string line = "    [Info] <f:" + std::to_string(__LINE__ - 1) + "> next\n";
        const long long lineSize = 27 + static_cast<long long>(line.size());
        const long long expected = (c.deleted ? 0 : c.size) + lineSize;
        EXPECT_EQ(getLogFileSize(), expected) << c.size;
    }
    std::remove(logPath);
}

// A log that cannot be written loses its lines, not the run, and says so
// once on stderr: the path and why, nothing on stdout, whatever the number
// of lines lost. Before the path is set, lines go nowhere without a word.
TEST_F(LogTest, UnwritableTargetLosesLinesAndSaysSoOnceOnStderr) {
    struct Case {
        const char* name;
        std::string folder;
        const char* why;
    };
    const std::string folderAtPath = dir_.file("folder-at-path");
    ASSERT_EQ(mkdir(folderAtPath.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((folderAtPath + "/" + kLogFileName).c_str(), 0700), 0);
    std::vector<Case> cases = {
        {"missing folder", dir_.file("missing-folder"), "No such file or directory"},
        {"a folder at the log path", folderAtPath, "Is a directory"},
    };
#if !defined(_WIN32)
    const std::string shared = dir_.file("shared\nname");
    ASSERT_EQ(mkdir(shared.c_str(), 0700), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    ASSERT_EQ(symlink(dir_.file("target").c_str(), (shared + "/" + kLogFileName).c_str()), 0);
    cases.push_back(
        {"a planted link", shared, "it is a symbolic link in a folder other users may write"});
#endif
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        resetLogConfig();
        logLevel = 0x1F;
        logMessage = logToFile;
        setLogFolder(c.folder.c_str());
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        for (int i = 0; i < 3; ++i)
            LOG_ERROR("f", "lost %d\n", i);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
#if defined(_WIN32)  // the system's words differ: one line, path and reason
        const std::string lead =
            "touchfw: cannot write the log file " + logSafeText(logPath) + ": ";
        EXPECT_EQ(err.rfind(lead, 0), 0u) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << err;
#else
        EXPECT_EQ(err, "touchfw: cannot write the log file " + logSafeText(logPath) + ": " + c.why +
                           "; the run goes on without it.\n");
#endif
    }
    logPath[0] = '\0';
    resetLogConfig();
    logLevel = 0x1F;
    logMessage = logToFile;
    testing::internal::CaptureStderr();
    LOG_ERROR("f", "lost too\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(LogTest, EveryLineIsOnDiskWhenTheCallReturns) {
    LOG_INFO("f", "one\n");
    const long long first = getLogFileSize();
    EXPECT_GT(first, 0);
    LOG_INFO("f", "two\n");
    EXPECT_GT(getLogFileSize(), first);
}

#if !defined(_WIN32)  // POSIX folder modes and symbolic links
// A link planted at the log path is followed only in a folder no one else
// may write to; in a shared one (/tmp-like, sticky or not) the line is lost.
TEST_F(LogTest, APlantedLinkIsNotFollowedInASharedFolder) {
    struct Case {
        mode_t mode;
        bool followed;
    };
    for (const Case c :
         {Case{01777, false}, Case{0777, false}, Case{0770, false}, Case{0700, true}}) {
        SCOPED_TRACE(c.mode);
        TempDir folder;
        ASSERT_EQ(chmod(folder.path().c_str(), c.mode), 0);
        const std::string target = dir_.file("target");
        testsupport::writeFile(target, "");
        ASSERT_EQ(symlink(target.c_str(), folder.file(kLogFileName).c_str()), 0);
        setLogFolder(folder.path().c_str());
        LOG_ERROR("f", "through the link\n");
        EXPECT_EQ(readFile(target).find("through the link") != std::string::npos, c.followed);
    }
}
#endif

TEST(ProgressTest, BarStrings) {
    const std::string back(59, '\b');
    struct Case {
        unsigned percent;
        std::string text;
    };
    const Case cases[] = {
        {0, "\nProgress:\n" + back + "[" + std::string(50, ' ') + "]  0%"},
        {1, back + "[" + std::string(50, ' ') + "]  1%"},
        {2, back + "[=" + std::string(49, ' ') + "]  2%"},
        {37, back + "[" + std::string(18, '=') + std::string(32, ' ') + "]  37%"},
        {100, back + "[" + std::string(50, '=') + "]  100%\n"},
        {101, ""},
        {static_cast<unsigned>(-1), ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(progressText(c.percent), c.text) << c.percent;
    }
}

TEST(ProgressTest, PlainLinesHaveNoBackspaces) {
    const std::string bar37 = "[" + std::string(18, '=') + std::string(32, ' ') + "]  37%\n";
    // The first and the full bar: ConsoleTest, through a pipe.
    EXPECT_EQ(progressText(101, true), "");
    setProgressPlainLines(true);
    testing::internal::CaptureStdout();
    showProgress(37);
    const std::string out = testing::internal::GetCapturedStdout();
    setProgressPlainLines(false);
    EXPECT_EQ(out, bar37);
}

TEST(ProgressTest, DrawnInOneWriteToStandardOutput) {
    testing::internal::CaptureStdout();
    showProgress(37);
    showProgress(250);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, progressText(37));
}

}  // namespace
