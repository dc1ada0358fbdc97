#include "log/Log.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "log/RunReason.h"
#include "sys/Clock.h"
#include "sys/Files.h"

uint32_t logLevel = 0;
LogFunction logMessage = nullptr;
char logPath[kLogPathSize] = {0};

bool formatLogLine(char* line, const char* format, va_list args) {
    if (logLevel == 0) {
        return false;
    }
    std::memset(line, 0, kLogLineSize);
    const LocalTime t = localNow();
    std::snprintf(line, kLogPrefixLength + 1, "%04d-%02d-%02d %02d:%02d:%02d.%03d -> ", t.year,
                  t.month, t.day, t.hour, t.minute, t.second, t.millisecond);
    // The message gets what is left of the line; longer messages are cut.
    std::vsnprintf(line + kLogPrefixLength, kLogLineSize - kLogPrefixLength, format, args);
    return true;
}

namespace {

bool logFailureTold = false;
LogSink* logSink = nullptr;

// Who may write the log's folder, examined at the first line to a path and
// kept for the run: every later line then costs only the open, the checks
// of the open file, the write and the close.
char folderCheckedFor[kLogPathSize] = {0};
FolderAccess logFolderAccess = FolderAccess::shared;

FolderAccess logFolder() {
    if (std::strcmp(folderCheckedFor, logPath) != 0) {
        logFolderAccess = folderAccessOf(logPath);
        std::memcpy(folderCheckedFor, logPath, sizeof folderCheckedFor);
    }
    return logFolderAccess;
}

void forgetLogFolder() {
    folderCheckedFor[0] = '\0';
}

}  // namespace

void setLogSink(LogSink* sink) {
    logSink = sink;
}

void appendLogLine(const char* line) {
    if (logPath[0] == '\0') {
        return;
    }
    if (logSink != nullptr && logSink->take(logPath, line)) {
        return;
    }
    std::string why;
    if (appendRegularFile(logPath, logFolder(), line, std::strlen(line),
                          static_cast<uint64_t>(kLogFileSizeLimit), &why) ||
        logFailureTold) {
        return;
    }
    // The run goes on without its log; the person running it hears it once,
    // on stderr (stdout is for scripts).
    logFailureTold = true;
    std::fprintf(stderr, "touchfw: cannot write the log file %s: %s; the run goes on without it.\n",
                 logSafeText(logPath).c_str(), why.c_str());
    std::fflush(stderr);
}

std::string formatText(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string text;
    if (size > 0) {
        text.resize(static_cast<size_t>(size) + 1);
        std::vsnprintf(&text[0], text.size(), fmt, again);
        text.resize(static_cast<size_t>(size));
    }
    va_end(again);
    return text;
}

std::string logSafeText(const char* text) {
    if (text == nullptr)
        return "(null)";
    std::string safe;
    for (const char* p = text; *p != '\0'; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            safe += escaped;
        } else {
            safe += *p;
        }
    }
    return safe;
}

long long getLogFileSize() {
    struct stat st {};
    if (logPath[0] == '\0' || stat(logPath, &st) != 0) {
        return 0;
    }
    return static_cast<long long>(st.st_size);
}

namespace {

// Formats one line and appends it to the file, echoing it first when asked.
void emitLogLine(bool echo, const char* format, va_list args) {
    char line[kLogLineSize];
    if (!formatLogLine(line, format, args)) {
        return;
    }
    // The first Error of the run, kept for the reason of a failed run.
    static const char kErrorTag[] = "   [Error] <";
    if (std::strncmp(line + kLogPrefixLength, kErrorTag, sizeof kErrorTag - 1) == 0) {
        if (const char* text = std::strstr(line + kLogPrefixLength, "> "))
            noteLoggedError(text + 2);
    }
    if (echo) {
        // The finished line is text, never a format: a '%' in a path stays as it is.
        std::fputs(line, stdout);
        std::fflush(stdout);
    }
    appendLogLine(line);
}

}  // namespace

void logToFile(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emitLogLine(false, format, args);
    va_end(args);
}

void logToFileAndConsole(const char* format, ...) {
    va_list args;
    va_start(args, format);
    emitLogLine(true, format, args);
    va_end(args);
}

std::string logPathIn(const std::string& folder) {
#if defined(_WIN32)
    return folder + "\\" + kLogFileName;
#else
    return folder + "/" + kLogFileName;
#endif
}

bool logFileWritten() {
    return logPath[0] != '\0' && !logFailureTold && logLevel != 0;
}

void setLogFolder(const char* folder) {
    std::snprintf(logPath, sizeof logPath, "%s", logPathIn(folder).c_str());
    forgetLogFolder();
}

void resetLogConfig() {
    logFailureTold = false;
    forgetLogFolder();
    logLevel = 0;
    logMessage = nullptr;
    std::memset(logPath, 0, sizeof logPath);
}
