// The part of the interrupt handling every system shares: holds, the count,
// the notes and the test hook. Everything the handler touches is a lock-free
// atomic, so it may run inside a signal handler (POSIX) or on the console's
// own handler thread (Windows).
#include "sys/Interrupt.h"

#include <atomic>
#include <cstdio>

namespace {

static_assert(ATOMIC_INT_LOCK_FREE == 2, "the handler needs lock-free atomics");
static_assert(ATOMIC_POINTER_LOCK_FREE == 2, "the handler needs lock-free atomics");

// The note of the first interrupt and of every later one, per hold kind.
const char* const kNotes[][2] = {
    {"interrupt received; stopping at the next safe point",
     "interrupt received again; stopping at the next safe point"},
    {"interrupt received; finishing the firmware download first (a chip left in its update "
     "program does not start), then stopping",
     "interrupt received again; the firmware download still finishes, but a failed attempt is "
     "not repeated"},
    {"interrupt received; finishing the configuration download first (a half-written "
     "configuration cannot be read), then stopping",
     "interrupt received again; the configuration download still finishes, but a failed attempt "
     "is not repeated"},
    {"interrupt received; stopping after the current frame",
     "interrupt received again; stopping after the current frame"},
};

// Interrupts beyond this many are counted but not logged one by one.
constexpr int kNoteSlots = 16;

struct Slot {
    std::atomic<int> signal{0};
    std::atomic<const char*> text{nullptr};
};

std::atomic<int> holdDepth{0};
std::atomic<int> holdKind{0};
std::atomic<int> reserved{0};  // slots taken by the handler
std::atomic<int> received{0};  // interrupts whose slot is written
Slot slots[kNoteSlots];
int notesTaken = 0;
int unheldVirtual = 0;
bool outputLossTaken = false;
bool installed = false;

}  // namespace

namespace interruptdetail {

bool held() {
    return holdDepth.load() > 0;
}

bool deliver(int signal) {
    if (!held()) {
        return false;
    }
    const int n = reserved.fetch_add(1) + 1;
    const char* text = kNotes[holdKind.load()][n > 1 ? 1 : 0];
    if (n <= kNoteSlots) {
        slots[n - 1].signal.store(signal);
        slots[n - 1].text.store(text);
    }
    received.fetch_add(1);
    writeNote(text);
    return true;
}

}  // namespace interruptdetail

void installInterruptHandlers() {
    if (!installed) {
        interruptdetail::installSystemHandlers();
        installed = true;
    }
}

InterruptHold::InterruptHold(InterruptHoldKind kind) : outerKind_(holdKind.load()) {
    holdKind.store(static_cast<int>(kind));
    holdDepth.fetch_add(1);
}

InterruptHold::~InterruptHold() {
    holdDepth.fetch_sub(1);
    holdKind.store(outerKind_);
}

int interruptCount() {
    return received.load();
}

bool takeInterruptNote(InterruptNote* note) {
    const int available = received.load();
    if (notesTaken >= available || notesTaken >= kNoteSlots) {
        return false;
    }
    note->signal = slots[notesTaken].signal.load();
    note->text = slots[notesTaken].text.load();
    ++notesTaken;
    return true;
}

bool standardOutputLost() {
    return std::ferror(stdout) != 0;
}

bool takeStandardOutputLost() {
    if (outputLossTaken || !standardOutputLost()) {
        return false;
    }
    outputLossTaken = true;
    return true;
}

void raiseVirtualInterrupt(int signal) {
    if (!interruptdetail::deliver(signal)) {
        ++unheldVirtual;
    }
}

int unheldVirtualInterrupts() {
    return unheldVirtual;
}

void resetInterruptState() {
    if (installed) {
        interruptdetail::restoreSystemHandlers();
        installed = false;
    }
    reserved.store(0);
    received.store(0);
    for (Slot& slot : slots) {
        slot.signal.store(0);
        slot.text.store(nullptr);
    }
    notesTaken = 0;
    unheldVirtual = 0;
    outputLossTaken = false;
}
