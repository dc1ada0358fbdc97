// Interrupts on POSIX systems: SIGINT, SIGTERM and SIGHUP go to one handler,
// SIGPIPE is ignored (a write to a closed pipe then fails with EPIPE).
#ifndef _WIN32

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sys/Interrupt.h"

namespace {

const int kInterruptSignals[] = {SIGINT, SIGTERM, SIGHUP};

// The dispositions found at installation, put back by restoreSystemHandlers.
struct sigaction previousInterrupt[sizeof kInterruptSignals / sizeof kInterruptSignals[0]];
struct sigaction previousPipe;

void onInterrupt(int signal) {
    const int savedErrno = errno;
    if (!interruptdetail::deliver(signal)) {
        // Not held: end as the system would have. The signal is blocked
        // while this handler runs, so it is delivered again, with its default
        // action, the moment the handler returns.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    errno = savedErrno;
}

}  // namespace

namespace interruptdetail {

void writeNote(const char* text) {
    static const char kPrefix[] = "touchfw: ";
    char line[512];
    size_t length = 0;
    for (const char* p = kPrefix; *p != '\0'; ++p)
        line[length++] = *p;
    for (const char* p = text; *p != '\0' && length < sizeof line - 1; ++p)
        line[length++] = *p;
    line[length++] = '\n';
    const ssize_t written = ::write(STDERR_FILENO, line, length);
    (void)written;  // nothing to do when standard error is gone too
}

void installSystemHandlers() {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onInterrupt;
    // Calls under way go on (a sleep, a report); one handler at a time.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : kInterruptSignals)
        sigaddset(&action.sa_mask, signal);
    for (size_t i = 0; i < sizeof kInterruptSignals / sizeof kInterruptSignals[0]; ++i) {
        sigaction(kInterruptSignals[i], nullptr, &previousInterrupt[i]);
        // A signal ignored at start stays ignored (nohup, a background job
        // of a shell without job control): whoever started the run chose so.
        if (previousInterrupt[i].sa_handler != SIG_IGN)
            sigaction(kInterruptSignals[i], &action, nullptr);
    }

    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &previousPipe);
}

void restoreSystemHandlers() {
    for (size_t i = 0; i < sizeof kInterruptSignals / sizeof kInterruptSignals[0]; ++i)
        sigaction(kInterruptSignals[i], &previousInterrupt[i], nullptr);
    sigaction(SIGPIPE, &previousPipe, nullptr);
}

}  // namespace interruptdetail

#endif
