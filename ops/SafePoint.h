// How a device operation meets an interrupt (sys/Interrupt.h). An operation
// that changes the chip's state runs under an InterruptHold and calls
// stopRequested() at its safe points: the points where the chip is whole,
// that is before a download starts, after it has ended, between the frames
// of a capture, before the read of a property query. A download (switch to
// the update patch to restart, or configuration start to finish and
// read-back) holds no safe point: it always runs to its end.
#pragma once

#include <cstdint>

// The result a device operation returns when it stopped on an interrupt
// (or, for one that received one, instead of success).
constexpr int32_t kStoppedByInterrupt = -10;

// Writes the log line of every interrupt not logged yet (the note standard
// error showed when it arrived). Called inside long steps too, so that the
// log shows an interrupt about when it came.
void logInterruptNotes();

// A safe point: logs the notes, and true when an interrupt asks the run to
// stop. The caller logs where it stops.
bool stopRequested();

// Whether a failed download attempt may be tried again: not after a second
// interrupt (the first one lets the attempts go on, since only a finished
// download leaves the chip whole). Logs why when it may not.
bool retryAllowed();
