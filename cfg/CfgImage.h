// cfg: configuration files and the configuration update.
//
// Offers CfgImage: a configuration text file parsed into a zero-padded data
// block (a multiple of 4096 bytes) with its configuration version byte; the
// whole-file read that image and configuration loading share (InputFile.h);
// the configuration update (CfgUpdate.h) and the read-back of --verify
// (CfgVerify.h).
// Relies on: log (messages), chip (family table, the chip's configuration
// check), sys (whole-file reads), ops and tlc (the configuration update and
// its read-back talk to the chip).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "chip/CfgBlock.h"

// A configuration file parsed into a data block. Every 'x' or 'X' in the
// file marks one data byte whose high and low hexadecimal digits are the two
// characters after it (a character that is not a hexadecimal digit, or lies
// past the end of the file, counts as 0); everything else is ignored. The
// block holds the bytes in marker order followed by zeros up to cfgSize.
class CfgImage {
  public:
    // `versionAt`: where the family keeps the configuration version
    // (cfgVersionAt, chip/CfgBlock.h).
    explicit CfgImage(size_t versionAt = kCfgVersionAtLegacy) : versionAt_(versionAt) {}
    virtual ~CfgImage() = default;
    CfgImage(const CfgImage&) = delete;
    CfgImage& operator=(const CfgImage&) = delete;

    // 0 loaded; -1 no file name; -2 the file cannot be opened or is not a
    // regular file; -3 no memory, or the file is larger than kCfgFileMaxBytes
    // (refused unread); -4 the read fails; -5 fewer bytes read than the file
    // size; -6 fewer than two byte markers; kCfgNotText the file is plainly
    // not configuration text: it holds a byte no text file holds (NUL or a
    // control character other than tab, CR and LF), fewer than half of its
    // byte markers begin a well-formed 0xNN token (isCfgByteToken), or every
    // parsed byte is 0x00. The chip's check bytes are not examined here (see
    // checkBlock). On failure the object is not loaded and holds no data; it
    // can be loaded again.
    int32_t load(const char* fileName);
    // What load() does once the file is read: parses `size` bytes of text
    // held in memory into the data block and cfgSize (one pass); 0, -3, -6
    // or kCfgNotText as load(). load() clears the object before and sets `loaded` after it.
    int32_t parseText(const uint8_t* text, size_t size);

    // Clears loaded and releases the data block.
    virtual void freeData();
    virtual uint8_t getCfgVersion() { return cfgVersion; }
    // The data block (cfgSize bytes) while loaded, else nullptr.
    virtual const uint8_t* getCfgData() { return loaded ? cfgData.data() : nullptr; }
    // Takes cfgVersion from the data block: the byte at versionAt (0 when
    // the block is shorter).
    virtual void initCfgVersion();
    // Whether a chip of `type` will accept the loaded block: its
    // configuration-version read checks the first bytes (checkCfgBlock), and
    // the block is written from cfgAddr on, so it must end within the register
    // addresses the chip's framing carries. 0 when both hold; kCfgCheckFailed,
    // with an Error line giving the values compared, when the chip would
    // reject the block (or nothing is loaded); kCfgOutOfReach, with an Error
    // line giving the sizes, when its end would wrap round to address 0.
    int32_t checkBlock(int32_t type);

    bool loaded = false;
    uint32_t cfgSize = 0;  // bytes in the data block, a multiple of 4096
    uint8_t cfgVersion = 0;
    std::vector<uint8_t> cfgData;

  private:
    size_t versionAt_;
};

// A configuration of the fjord family, whose version stands at kCfgVersionAtFjord.
class CfgImageFjordK : public CfgImage {
  public:
    CfgImageFjordK() : CfgImage(kCfgVersionAtFjord) {}
};

// Largest configuration file load reads: text for far more configuration
// bytes than any of these chips holds. A larger file is refused by its size
// before anything is read.
constexpr uint64_t kCfgFileMaxBytes = uint64_t{1} << 20;
// Result of checkBlock for a block the chip would reject.
constexpr int32_t kCfgCheckFailed = -7;
// Result of load for a file that is plainly not configuration text.
constexpr int32_t kCfgNotText = -8;
// Result of checkBlock for a block longer than the chip's register addresses
// from cfgAddr on.
constexpr int32_t kCfgOutOfReach = -9;

// Whether the byte marker at text[at] begins a well-formed byte token of a
// configuration text: "0x" (or "0X") and two hexadecimal digits, followed by
// the end of the text or by a character that is neither a letter nor a
// digit. "0x5," and "0x123" are markers, but not such tokens.
bool isCfgByteToken(const uint8_t* text, size_t size, size_t at);
// Bytes per block of the configuration area; cfgSize is a multiple of it.
constexpr uint32_t kCfgBlockSize = 4096;

// An empty configuration object for the chip type, reading the version where
// the family keeps it; nullptr for an unknown type.
std::unique_ptr<CfgImage> createCfgImage(int32_t chipType);
