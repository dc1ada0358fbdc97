// chip: the check a chip makes on its stored configuration.
//
// Offers checkCfgBlock(): whether the first bytes of a configuration, as they
// stand at cfgAddr, pass the check the chip family's configuration-version
// read makes, with the two values compared. The configuration update uses
// it to refuse a file before anything is sent, the property query on the
// bytes read back from the chip, and touchfw-image to report on a file.
// Offers sealCfgBlock(): the version and check bytes of a generated block.
// Offers cfgReadBackBytes(): how much of a configuration the chip shows again
// at cfgAddr, for the read-back of --verify and the emulator's window.
// Relies on: chip (the family table's configuration kind).
#pragma once

#include <cstddef>
#include <cstdint>

// 5410: bytes 0 to 3 sum to 0 in 8 bits.
constexpr size_t kCfgCheckBytes5410 = 4;
// 5415R: bytes 0 + 1 + 2 equal bytes 3 + 4, as plain integer sums.
constexpr size_t kCfgCheckBytes5415R = 5;
constexpr size_t kCfgCheckLeftBytes5415R = 3;
// Fjord family: a 64-byte block whose bytes 62 and 63 hold, little-endian,
// the 16-bit sum of bytes 0 to 61.
constexpr size_t kCfgBlockBytesFjord = 64;
constexpr size_t kCfgChecksumAtFjord = 62;
// Where the configuration version stands in the configuration.
constexpr size_t kCfgVersionAtLegacy = 0;  // 5410, 5415R
constexpr size_t kCfgVersionAtFjord = 34;  // fjord family

// 5410 and 5415R show the first 4096 bytes of their configuration at cfgAddr
// at all times; what lies beyond is not the configuration. The fjord family
// shows the whole configuration there during a configuration read session.
constexpr size_t kCfgAreaBytesLegacy = 4096;

struct CfgBlockCheck {
    bool passed = false;
    // 5410: the 8-bit sum of bytes 0 to 3 and 0; 5415R: the sums of bytes 0
    // to 2 and of bytes 3 and 4; fjord family: the 16-bit sum of bytes 0 to
    // 61 and the stored checksum. Both 0 when the chip type is unknown or
    // fewer bytes than the check reads were given.
    uint32_t computed = 0;
    uint32_t expected = 0;
};

// Bytes of the configuration the check of the chip type reads; 0 for an
// unknown chip type.
size_t cfgCheckBytes(int32_t chipType);

// Where the configuration version stands for the chip type: byte 0 for
// 5410 and 5415R, byte 34 for the fjord family (and for an unknown type).
size_t cfgVersionAt(int32_t chipType);

// How many bytes of a `size`-byte configuration a chip of `chipType` shows
// at cfgAddr when it is read back: all of them on the fjord family, at most
// kCfgAreaBytesLegacy on 5410 and 5415R, none for an unknown chip type.
size_t cfgReadBackBytes(int32_t chipType, size_t size);

// Checks the `length` bytes at `bytes` (the configuration from its first
// byte on) as a chip of `chipType` does. Fails for an unknown chip type or
// when `length` is less than cfgCheckBytes(chipType).
CfgBlockCheck checkCfgBlock(int32_t chipType, const uint8_t* bytes, size_t length);

// Writes `version` at the chip type's version position and sets the check
// bytes so that checkCfgBlock() passes: 5410 byte 3, 5415R bytes 3 and 4
// (from bytes 0 to 2; the caller presets bytes 1 and 2), fjord family bytes
// 62 and 63. The other bytes stay as the caller filled them. False, with
// nothing written, for an unknown chip type, fewer bytes than the check
// reads, or 5415R bytes 0 to 2 whose sum bytes 3 and 4 cannot hold. The chip
// emulator and touchfw-image generate their configurations with it.
bool sealCfgBlock(int32_t chipType, uint8_t version, uint8_t* bytes, size_t length);

// Fills the bytes of a generated block that its family's check needs preset
// before sealCfgBlock: 5415R bytes 1 and 2 small enough that bytes 3 and 4
// can hold the sum of bytes 0 to 2. Nothing for the other families or fewer
// bytes than the check reads.
void presetCfgBlock(int32_t chipType, uint8_t* bytes, size_t length);
