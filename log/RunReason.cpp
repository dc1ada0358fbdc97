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
    std::string text = message;
    // One line: the message's own line ends and padding go.
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    size_t start = 0;
    while (start < text.size() && (text[start] == '\n' || text[start] == ' '))
        ++start;
    loggedError = logSafeText(text.substr(start));
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
