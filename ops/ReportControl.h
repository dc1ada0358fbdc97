// Report control: pausing and resuming the chip's touch reports while the
// tool talks to the chip, per family. All functions work over the caller's
// open connection and never open or close it.
//
//   5410     disable written three times, then a report status query whose
//            answer (status 1, check byte) is checked, up to three attempts;
//            enable written three times.
//   5415R    disable / enable written three times, nothing checked.
//   fjordH3, Corvina
//            up to three attempts of: command, report query, command status
//            poll, status answer with checksum (Corvina also polls the
//            command status after the command itself).
//   fjordK, fjordK8, fjordK4
//            nothing is sent.
#pragma once

#include <cstdint>

class TlcConnection;

// 0 on success. Only a 5410 whose last transfer failed and an unknown chip
// type (-1) report failure; every other problem is logged and the caller
// goes on.
int32_t DisableReport(TlcConnection& connection);
// 0 when the chip took the enable: 5410 and 5415R, at least one of the three
// writes went through (the last write's failure code when none did);
// fjordH3 and Corvina, an attempt confirmed the enabled status (-1 when none
// did); nothing to send for the other families. -1 for an unknown chip type.
int32_t EnableReport(TlcConnection& connection);
// The last step of a run that paused reporting: EnableReport, and when the
// tool saw it fail, the Error line "Touch reporting could not be enabled
// again." under `fn`. EnableReport's result.
int32_t resumeReporting(TlcConnection& connection, const char* fn);

// Polls the command status byte at reportCmdAddr up to ten times, 10 ms after
// each failed poll: 0 when it reads 0x80, else -1 (last read failed) or -2
// (last value wrong).
int32_t CheckCmdStatus(TlcConnection& connection);
