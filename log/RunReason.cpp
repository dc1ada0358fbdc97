#include "log/RunReason.h"

#include <cstdarg>
#include <cstdio>

namespace {

std::string reason;
int reasonRank = 0;
bool reasonTold = false;
std::string notice;
std::string loggedError;

std::string formatArgs(const char* format, va_list args) {
    char text[kLogLineSize];
    std::vsnprintf(text, sizeof text, format, args);
    return text;
}

}  // namespace

void noteRunReason(int rank, const char* format, ...) {
    if (rank <= reasonRank)
        return;
    va_list args;
    va_start(args, format);
    reason = formatArgs(format, args);
    va_end(args);
    reasonRank = rank;
}

void noteRunReasonTold() {
    reasonTold = true;
}

void noteRunNotice(const char* format, ...) {
    va_list args;
    va_start(args, format);
    notice += (notice.empty() ? "" : "; ") + formatArgs(format, args);
    va_end(args);
}

void noteLoggedError(const char* message) {
    if (!loggedError.empty())
        return;
    const std::string text = message;
    // One line: the message's own line ends, padding and closing full stops go.
    const size_t end = text.find_last_not_of("\n .");
    if (end == std::string::npos)
        return;
    const size_t start = text.find_first_not_of("\n ");
    loggedError = logSafeText(text.substr(start, end + 1 - start));
}

const std::string& runReason() {
    return reason;
}

bool runReasonTold() {
    return reasonTold;
}

const std::string& runNotice() {
    return notice;
}

const std::string& firstLoggedError() {
    return loggedError;
}

void resetRunReason() {
    reason.clear();
    reasonRank = 0;
    reasonTold = false;
    notice.clear();
    loggedError.clear();
}
