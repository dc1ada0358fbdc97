// log: the tool's trace facility.
//
// Offers the level mask, the entry in force (logMessage), the log path and
// one macro per level. A macro tests the level bit before anything is
// formatted and prefixes the level tag, the qualified function name and the
// source line; the format is a literal checked by the compiler. Every line is
// "YYYY-MM-DD hh:mm:ss.mmm -> " followed by the message, appended to the log
// file, which is opened and closed for every line.
// Relies on: sys (timestamps from the clock seam, appends to a regular file).
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

// MinGW's C++ runtime formats with its own (C99) printf, not the system's.
// MSVC has no format checking.
#if defined(_MSC_VER) && !defined(__clang__)
#define TFW_PRINTF(fmtIndex, firstArg)
#elif defined(__MINGW32__)
#define TFW_PRINTF(fmtIndex, firstArg) __attribute__((format(gnu_printf, fmtIndex, firstArg)))
#else
#define TFW_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#endif

constexpr uint32_t LOG_LEVEL_DEBUG = 0x01;
constexpr uint32_t LOG_LEVEL_INFO = 0x02;
constexpr uint32_t LOG_LEVEL_WARNING = 0x04;
constexpr uint32_t LOG_LEVEL_ERROR = 0x08;
constexpr uint32_t LOG_LEVEL_CRITICAL = 0x10;

constexpr size_t kLogLineSize = 512;
constexpr size_t kLogPrefixLength = 27;
constexpr size_t kLogPathSize = 255;
constexpr long long kLogFileSizeLimit = 52428800LL;  // 50 MiB; larger files are deleted
constexpr const char* kLogFileName = "FirmwareUpdate_App.log";

typedef void (*LogFunction)(const char* format, ...) TFW_PRINTF(1, 2);

// Process-wide log configuration (zero until the entry point configures it).
extern uint32_t logLevel;
extern LogFunction logMessage;
extern char logPath[kLogPathSize];

void logToFile(const char* format, ...) TFW_PRINTF(1, 2);
void logToFileAndConsole(const char* format, ...) TFW_PRINTF(1, 2);

// Fills `line` (kLogLineSize bytes) with the timestamp prefix and the
// formatted message, truncated to fit. Returns false (and leaves the line
// empty) while logLevel is 0.
bool formatLogLine(char* line, const char* format, va_list args);
// Appends one finished line to the file at logPath; a line that cannot be
// written is dropped, and the first such line of the run makes one line on
// stderr naming the path and why (never stdout, never a changed result). A
// file above the size limit is started anew
// first. Nothing but a regular file is written, without blocking, and a
// symbolic link at the path is not followed when the folder may be written
// by other users.
void appendLogLine(const char* line);
// Size in bytes of the file at logPath, 0 when there is none.
long long getLogFileSize();

// Stands in for log files in memory (tests that run the whole tool in one
// process): appendLogLine() offers every finished line to the sink in force
// before the file; a line the sink takes never reaches the disk. Only the
// appends go there: getLogFileSize() and --delprevlog still see the disk.
class LogSink {
  public:
    virtual ~LogSink() = default;
    // The finished `line` meant for the file at `path`; false leaves it to the file.
    virtual bool take(const char* path, const char* line) = 0;
};
// Installs a sink (nullptr: every line goes to its file). Not owned.
void setLogSink(LogSink* sink);
// Sets logPath to "<folder>/FirmwareUpdate_App.log" ("<folder>\\..." on Windows).
void setLogFolder(const char* folder);
// The log path setLogFolder(folder) sets.
std::string logPathIn(const std::string& folder);

// printf into a string of whatever length the text needs (the emulator's
// transcript and touchfw-image's reports; not for log lines, which the
// macros format).
std::string formatText(const char* fmt, ...) TFW_PRINTF(1, 2);

// Text from outside the tool (a file or folder name, the command line, a
// product id read from a file) made safe to put into a log line: every
// control character (line feed, carriage return, tab, escape, DEL, ...) is
// written as \xNN, so the text can neither end the line nor forge another.
// Other bytes are kept as they are; nullptr gives "(null)".
std::string logSafeText(const char* text);
inline std::string logSafeText(const std::string& text) {
    return logSafeText(text.c_str());
}

// Whether this run's lines go to the file at logPath: a path is set, a
// level is on and no line has failed to be written.
bool logFileWritten();

// Back to the unconfigured state (tests only); the sink in force stays.
void resetLogConfig();

#define TFW_LOG_AT(bit, tag, fn, fmt, ...)                               \
    do {                                                                 \
        if ((logLevel & (bit)) != 0 && logMessage != nullptr) {          \
            logMessage(tag "<%s:%d> " fmt, fn, __LINE__, ##__VA_ARGS__); \
        }                                                                \
    } while (0)

#define LOG_DEBUG(fn, fmt, ...) TFW_LOG_AT(LOG_LEVEL_DEBUG, "   [Debug]  ", fn, fmt, ##__VA_ARGS__)
#define LOG_INFO(fn, fmt, ...) TFW_LOG_AT(LOG_LEVEL_INFO, "    [Info] ", fn, fmt, ##__VA_ARGS__)
#define LOG_WARNING(fn, fmt, ...) \
    TFW_LOG_AT(LOG_LEVEL_WARNING, " [Warning] ", fn, fmt, ##__VA_ARGS__)
#define LOG_ERROR(fn, fmt, ...) TFW_LOG_AT(LOG_LEVEL_ERROR, "   [Error] ", fn, fmt, ##__VA_ARGS__)
#define LOG_CRITICAL(fn, fmt, ...) \
    TFW_LOG_AT(LOG_LEVEL_CRITICAL, "[Critical]  ", fn, fmt, ##__VA_ARGS__)

// A message without tag and without level test (blank separator lines, dumps).
#define LOG_RAW(fmt, ...)                   \
    do {                                    \
        if (logMessage != nullptr) {        \
            logMessage(fmt, ##__VA_ARGS__); \
        }                                   \
    } while (0)

inline bool logEnabled(uint32_t bit) {
    return (logLevel & bit) != 0;
}
