// Interrupts on Windows: the console control handler. Ctrl+C and Ctrl+Break
// stand for SIGINT, a closed console window, a log-off and a shut-down for
// SIGTERM. The system calls the handler on a thread of its own. A pipe whose
// reader is gone raises nothing there: the write just fails.
#if defined(_WIN32)

#include <windows.h>

#include <csignal>

#include "sys/Interrupt.h"

namespace {

// How often the handler of a closing console looks whether the hold ended.
constexpr DWORD kHeldPollMs = 50;

#ifndef SIGBREAK
constexpr int SIGBREAK = 21;
#endif

BOOL WINAPI onConsoleEvent(DWORD event) {
    int signal = 0;
    bool closing = false;
    switch (event) {
        case CTRL_C_EVENT:
            signal = SIGINT;
            break;
        case CTRL_BREAK_EVENT:
            signal = SIGBREAK;
            break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            signal = SIGTERM;
            closing = true;
            break;
        default:
            return FALSE;
    }
    if (!interruptdetail::deliver(signal)) {
        return FALSE;  // not held: the system's own handler ends the process
    }
    if (closing) {
        // The system ends the process once this returns, and at the latest
        // after its own time-out (about 5 s for a closed window): returning
        // only when the hold is over gives the held work that much time.
        while (interruptdetail::held())
            ::Sleep(kHeldPollMs);
    }
    return TRUE;
}

}  // namespace

namespace interruptdetail {

void writeNote(const char* text) {
    static const char kPrefix[] = "touchfw: ";
    char line[512];
    DWORD length = 0;
    for (const char* p = kPrefix; *p != '\0'; ++p)
        line[length++] = *p;
    for (const char* p = text; *p != '\0' && length < sizeof line - 2; ++p)
        line[length++] = *p;
    line[length++] = '\r';
    line[length++] = '\n';
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line, length, &written, nullptr);
}

void installSystemHandlers() {
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

void restoreSystemHandlers() {
    ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
}

}  // namespace interruptdetail

#endif
