// The read-back of --verify for configurations: after a configuration has
// reached the chip, its configuration area is read back through the window
// the version read uses and compared byte for byte with the block sent.
// 5410 and 5415R show only the first kCfgAreaBytesLegacy bytes of their
// configuration at cfgAddr; of a longer block only those can be compared.
#pragma once

#include <cstdint>

class TlcConnection;

// The chip's configuration area holds other bytes than the block sent.
constexpr int32_t kCfgVerifyDiffers = -8;
// The configuration area could not be read back.
constexpr int32_t kCfgVerifyUnread = -9;

// Reads back what the chip shows of a `size`-byte block at cfgAddr over an
// open connection and compares it with `block`. 0 when equal,
// kCfgVerifyDiffers (with an Error line naming the first difference) or
// kCfgVerifyUnread.
int32_t cfgVerifyWithConnection(TlcConnection& connection, const uint8_t* block, uint32_t size);

// True for the two results above: the run modes print their own message.
bool isCfgVerifyFailure(int32_t code);
