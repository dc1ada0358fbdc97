// Building firmware image files (the inverse of FwImage::load): used by the
// touchfw-image tool, the emulator's tests and the examples.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fw/FwImage.h"

struct FwSubFirmware {
    uint8_t type = 0;
    uint32_t addr = 0;  // flash address
    std::vector<uint8_t> data;
};

// The 16-byte identity block our images carry at the start of sub-firmware 0:
// "TFWI", the product id text (8 bytes, zero padded) and the 4 version bytes.
// After a restart the emulated chip takes its identity from it.
constexpr size_t kFwIdentityBlockSize = 16;
constexpr char kFwIdentityMagic[4] = {'T', 'F', 'W', 'I'};
std::vector<uint8_t> fwIdentityBlock(const std::string& pid, const uint8_t vid[4]);

// Deterministic filler data for generated sub-firmwares: differs with the
// table position, type and address; the same arguments give the same bytes.
std::vector<uint8_t> fwGeneratedData(size_t index, uint8_t type, uint32_t addr, uint32_t length);

// Lays out an image of the given family layout: header with length and
// checksum, Pid, Vid, count, table and data. False with `error` set when the
// sub-firmwares do not fit the layout (too many entries, an address layout A
// cannot store, more than 2 GiB).
bool buildFwImage(const FwImageLayout& layout, const std::string& pid, const uint8_t vid[4],
                  const std::vector<FwSubFirmware>& subs, std::vector<uint8_t>& image,
                  std::string& error);
