// ops: device operations.
//
// Offers the operations the run modes and the update jobs call:
//   RegisterAccess.h  register read/write run modes, raw command reports, the
//                     register check with retries and the acknowledged
//                     configuration command (used over an open connection);
//   ReportControl.h   pausing and resuming the chip's touch reporting;
//   PropertyQuery.h   product id, version id, sensor id, configuration version,
//                     and the configuration area read back over an open connection;
//   Reset.h           restarting the chip with the raw restart report;
//   DataMode.h        switching the chip into touch-data mode and back;
//   TouchData.h       raw / difference / baseline frame capture.
// A complete operation builds its own TlcConnection, opens it, works, closes
// it and returns an int code (0 success). The helpers that take a
// TlcConnection& work on the caller's open connection and never open or
// close it. All waits go through sleepMs().
// Relies on: tlc (TlcConnection), chip (chip type and profile), log, sys.
#pragma once

#include <cstdint>

#include "chip/ChipProfile.h"

class TlcConnection;

// Register access run modes. Each opens its own connection, tries the
// exchange up to three times (20 ms apart), closes. Codes: 0 success,
// -1 dataBuf is null, -2 the device could not be opened (readReg: also every
// read failed), -3 every write failed (writeReg, writeCmd).
// readReg zeroes the first len bytes of dataBuf before anything else.
int32_t readReg(uint32_t addr, uint8_t* dataBuf, int32_t len);
// With `verify` (--verify), a write that went through is read back over the
// same connection (up to three reads, 20 ms apart) and compared with dataBuf:
// kWriteRegDiffers (Error line naming the first differing register) or
// kWriteRegUnread.
int32_t writeReg(uint32_t addr, const uint8_t* dataBuf, int32_t len, bool verify = false);
constexpr int32_t kWriteRegDiffers = -4;
constexpr int32_t kWriteRegUnread = -5;
// Sends dataBuf as one raw output report of len bytes (no register framing).
int32_t writeCmd(const uint8_t* dataBuf, int32_t len);

// Largest run checkChipRegValueEx compares at once.
constexpr int32_t kCheckRegMaxLen = 64;

// Reads len bytes at addr over an open connection and compares them with
// `expected`: up to five reads, 30 ms after a failed read, none after a
// mismatch. 0 when they match, -1 otherwise (also for len outside 0..64).
int32_t checkChipRegValueEx(TlcConnection& connection, uint32_t addr, const uint8_t* expected,
                            int32_t len);

// Writes a command to cmdAddr, waits waitMs, then checks that ackAddr holds
// the acknowledgement bytes; up to three attempts, 5 ms after a failed one.
// 0 or -1. Works over an open connection.
int32_t FjordKSendCfgCmd(TlcConnection& connection, uint32_t cmdAddr, const uint8_t* cmd,
                         uint8_t cmdLen, uint32_t ackAddr, const uint8_t* ack, uint8_t ackLen,
                         uint32_t waitMs);
// FjordKSendCfgCmd of a command of the chip profile to its cmdAddr,
// acknowledged there by `ack`.
template <typename Cmd>
int32_t sendCfgCmd(TlcConnection& connection, const Cmd& cmd, uint32_t waitMs,
                   const Seq10& ack = chipProfile.cfgCmdAck) {
    return FjordKSendCfgCmd(connection, chipProfile.cmdAddr, cmd.data,
                            static_cast<uint8_t>(cmd.size()), chipProfile.cmdAddr, ack.data,
                            ack.len, waitMs);
}
