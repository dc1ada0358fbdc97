#include "fw/FwImageBuilder.h"

#include <cstring>

#include "log/Log.h"
#include "sys/Bytes.h"

std::vector<uint8_t> fwIdentityBlock(const std::string& pid, const uint8_t vid[4]) {
    std::vector<uint8_t> block(kFwIdentityBlockSize, 0);
    std::memcpy(block.data(), kFwIdentityMagic, sizeof kFwIdentityMagic);
    std::memcpy(block.data() + 4, pid.data(), pid.size() < 8 ? pid.size() : 8);
    std::memcpy(block.data() + 12, vid, 4);
    return block;
}

std::vector<uint8_t> fwGeneratedData(size_t index, uint8_t type, uint32_t addr, uint32_t length) {
    // xorshift sequence seeded from the table position, type and address
    uint32_t state = 0x9E3779B9u * static_cast<uint32_t>(index + 1) ^ (uint32_t{type} << 24) ^ addr;
    if (state == 0) {
        state = 1;
    }
    std::vector<uint8_t> data(length);
    for (uint32_t i = 0; i < length; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        data[i] = static_cast<uint8_t>(state >> 24);
    }
    return data;
}

bool buildFwImage(const FwImageLayout& layout, const std::string& pid, const uint8_t vid[4],
                  const std::vector<FwSubFirmware>& subs, std::vector<uint8_t>& image,
                  std::string& error) {
    const bool layoutB = layout.kind == FwLayoutKind::B;
    const uint64_t maxEntries = (layout.dataOffset - layout.tableOffset) / layout.entrySize;
    if (subs.size() > maxEntries) {
        error =
            formatText("%zu sub-firmwares do not fit: a %s table holds at most %llu", subs.size(),
                       layout.className, static_cast<unsigned long long>(maxEntries));
        return false;
    }
    uint64_t total = layout.dataOffset;
    for (const FwSubFirmware& sub : subs) {
        total += sub.data.size();
    }
    if (total > 0x7FFFFFFF) {
        error = "the image would be larger than 2 GiB";
        return false;
    }
    image.assign(static_cast<size_t>(total), 0);
    std::memcpy(image.data() + layout.pidOffset, pid.data(),
                pid.size() < kFwPidBytes ? pid.size() : kFwPidBytes);
    std::memcpy(image.data() + layout.vidOffset, vid, kFwVidBytes);
    image[layout.countOffset] = static_cast<uint8_t>(subs.size());
    size_t entry = layout.tableOffset;
    size_t data = layout.dataOffset;
    for (size_t i = 0; i < subs.size(); ++i) {
        const FwSubFirmware& sub = subs[i];
        const uint32_t length = static_cast<uint32_t>(sub.data.size());
        image[entry] = sub.type;
        if (layoutB) {
            writeLe32(image.data() + entry + 1, length);
            writeLe32(image.data() + entry + 5, sub.addr);
        } else {
            if ((sub.addr & 0xFF) != 0 || sub.addr > 0xFFFF00) {
                error = formatText(
                    "sub-firmware %zu: address 0x%X cannot be stored in a %s "
                    "image (a multiple of 0x100 up to 0xFFFF00)",
                    i, sub.addr, layout.className);
                image.clear();
                return false;
            }
            writeBe32(image.data() + entry + 1, length);
            writeBe16(image.data() + entry + 5, sub.addr >> 8);
        }
        if (!sub.data.empty()) {
            std::memcpy(image.data() + data, sub.data.data(), sub.data.size());
        }
        entry += layout.entrySize;
        data += sub.data.size();
    }
    const size_t bodySize = image.size() - layout.headerSize;
    if (layoutB) {
        writeLe32(image.data(), static_cast<uint32_t>(bodySize));
        writeLe32(image.data() + 4, fwChecksumLayoutB(image.data() + layout.headerSize, bodySize));
    } else {
        writeBe32(image.data(), static_cast<uint32_t>(bodySize));
        writeBe16(image.data() + 4, fwChecksumLayoutA(image.data() + layout.headerSize, bodySize));
    }
    return true;
}
