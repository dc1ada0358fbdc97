#include "log/Log.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "sys/Clock.h"

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

void appendLogLine(const char* line) {
    if (logPath[0] == '\0') {
        return;
    }
    struct stat st {};
    const bool exists = stat(logPath, &st) == 0;
    // Only a regular file is appended to: opening a FIFO or a device that sits
    // at the log path could wait forever for its other end.
    if (exists && !S_ISREG(st.st_mode)) {
        return;
    }
    if (exists && static_cast<long long>(st.st_size) > kLogFileSizeLimit) {
        std::remove(logPath);
    }
    // Binary: the same bytes (lines ending in LF) on every platform.
    std::FILE* file = std::fopen(logPath, "ab");
    if (file == nullptr) {
        return;
    }
    std::fputs(line, file);
    std::fclose(file);
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

void setLogFolder(const char* folder) {
#if defined(_WIN32)
    std::snprintf(logPath, sizeof logPath, "%s\\%s", folder, kLogFileName);
#else
    std::snprintf(logPath, sizeof logPath, "%s/%s", folder, kLogFileName);
#endif
}

void resetLogConfig() {
    logLevel = 0;
    logMessage = nullptr;
    std::memset(logPath, 0, sizeof logPath);
}
