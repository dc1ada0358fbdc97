#include "ops/SafePoint.h"

#include "log/Log.h"
#include "sys/Interrupt.h"

namespace {

// A second interrupt gives up the retries of a failing download.
constexpr int kInterruptsToGiveUpRetries = 2;

}  // namespace

void logInterruptNotes() {
    InterruptNote note;
    while (takeInterruptNote(&note)) {
        LOG_ERROR("logInterruptNotes", "Signal %d: %s.\n", note.signal, note.text);
    }
}

bool stopRequested() {
    logInterruptNotes();
    return interruptCount() > 0;
}

bool retryAllowed() {
    logInterruptNotes();
    if (interruptCount() < kInterruptsToGiveUpRetries) {
        return true;
    }
    LOG_ERROR("retryAllowed", "A second interrupt came: the failed attempt is not repeated.\n");
    return false;
}
