// sys: interrupts (SIGINT, SIGTERM, SIGHUP; on Windows the console's Ctrl+C,
// Ctrl+Break, close, log-off and shut-down events) and a standard output
// whose reader went away.
//
// Offers installInterruptHandlers(). From then on a closed pipe on standard
// output or error no longer ends the process (SIGPIPE is ignored: the write
// fails instead), and an interrupt ends the process as the system would,
// except while an InterruptHold lives: then the interrupt is only counted and
// a note saying what is being finished first goes to standard error at once.
// The code under the hold asks interruptCount() at its safe points and stops
// there. raiseVirtualInterrupt() delivers an interrupt the same way without a
// signal, so that tests can interrupt a run at a chosen report.
// Relies on: sigaction and write(2) (sys/InterruptPosix.cpp), or
// SetConsoleCtrlHandler and WriteFile (sys/InterruptWin.cpp); both only set
// flags and write the note, which is all a signal handler may do.
#pragma once

// What an interrupt arriving now would cut short; picks the note.
enum class InterruptHoldKind {
    operation,              // a device operation, outside any download
    firmwareDownload,       // from the switch to the update patch to the restart
    configurationDownload,  // from the start command to the finish and read-back
    capture,                // a touch-data capture, between data and normal mode
};

// Installs the handlers; later calls change nothing.
void installInterruptHandlers();

// While one lives, an interrupt does not end the process. Holds nest; the
// innermost one names the note.
class InterruptHold {
  public:
    explicit InterruptHold(InterruptHoldKind kind);
    ~InterruptHold();
    InterruptHold(const InterruptHold&) = delete;
    InterruptHold& operator=(const InterruptHold&) = delete;

  private:
    int outerKind_;
};

// Interrupts received under a hold in this run.
int interruptCount();

// One interrupt that is not in the log yet: its signal number (the console
// event's equivalent on Windows) and the note standard error showed, without
// the program name and line end.
struct InterruptNote {
    int signal = 0;
    const char* text = nullptr;
};
// The oldest interrupt not yet taken; false when there is none.
bool takeInterruptNote(InterruptNote* note);

// True once a write to standard output has failed (its reader is gone, or
// the disk is full).
bool standardOutputLost();
// The same, but true only the first time, so that the loss is logged once.
bool takeStandardOutputLost();

// Test hook: an interrupt delivered as a signal would be, without one.
// Outside a hold the process is not ended; the delivery is only counted.
void raiseVirtualInterrupt(int signal);
int unheldVirtualInterrupts();

// No interrupt received, no loss noted, and the system's own handling of
// the signals back (tests only).
void resetInterruptState();

// Between the shared part (sys/Interrupt.cpp) and the part of each
// operating system.
namespace interruptdetail {
// Called by the handler: counts the interrupt and writes its note when a
// hold lives (true); false when the system's own handling should end the
// process. Async-signal-safe.
bool deliver(int signal);
// Whether a hold lives now. Async-signal-safe.
bool held();
// Writes "touchfw: TEXT" and a line end to standard error in one call.
// Async-signal-safe.
void writeNote(const char* text);
// Installs or removes the handlers of the operating system.
void installSystemHandlers();
void restoreSystemHandlers();
}  // namespace interruptdetail
