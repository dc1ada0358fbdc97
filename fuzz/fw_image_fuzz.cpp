// Firmware image files: load with the image class of a chip family, then
// walk the sub-firmware table the way the download does (count, type,
// length, address, data in 4096-byte blocks with their load-flash command),
// and ask for entries that do not exist.
//
// An independent reading of the two layouts says whether the file must load
// and what every field must be; the image object has to agree.
//
// Input: byte 0 picks the chip type (1 + b % 7; bit 7 also loads the file a
// second time into the same object), the rest is the file.
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "chip/ChipProfile.h"
#include "fuzz/FuzzSupport.h"
#include "fw/FwDownload.h"
#include "fw/FwImage.h"

namespace {

// Where a family keeps its fields, written down here once more on purpose.
struct Layout {
    bool b;  // layout B: 8-byte little-endian header, 10-byte little-endian entries
    uint32_t pid, vid, count, table, data;
};

Layout layoutOf(int32_t type) {
    switch (type) {
        case CHIP_5410:
        case CHIP_5415R:
            return {false, 15, 23, 27, 32, 256};
        case CHIP_FJORDH3:
            return {true, 17, 25, 29, 36, 256};
        default:
            return {true, 17, 25, 29, 42, 512};
    }
}

uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint32_t be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
}

struct Entry {
    uint8_t type;
    uint32_t length, addr;
    uint64_t dataAt;
};

struct Expected {
    bool loads = false;
    std::string pid;
    uint8_t vid[4] = {};
    std::vector<Entry> entries;
};

Expected expectedImage(int32_t type, const uint8_t* f, size_t size) {
    Expected e;
    const Layout l = layoutOf(type);
    const size_t header = l.b ? 8 : 6;
    if (size < header)
        return e;
    if (l.b) {
        if (static_cast<uint64_t>(le32(f)) + 8 != size)
            return e;
        uint32_t sum = 0;
        for (size_t k = 8; k < size; k += 2)
            sum += f[k] + (k + 1 < size ? f[k + 1] << 8 : 0);
        if (sum != le32(f + 4))
            return e;
    } else {
        if (static_cast<uint64_t>(be32(f)) + 6 != size)
            return e;
        uint32_t sum = 0;
        for (size_t k = 6; k < size; ++k)
            sum += f[k];
        if ((sum & 0xFFFF) != static_cast<uint32_t>((f[4] << 8) | f[5]))
            return e;
    }
    if (size < l.pid + 8 || size < l.vid + 4 || size < l.count + 1)
        return e;
    const size_t entrySize = l.b ? 10 : 8;
    const uint32_t count = f[l.count];
    const uint64_t tableEnd = l.table + uint64_t{count} * entrySize;
    if (tableEnd > size || tableEnd > l.data)
        return e;
    uint64_t at = l.data;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = f + l.table + i * entrySize;
        Entry entry;
        entry.type = p[0];
        entry.length = l.b ? le32(p + 1) : be32(p + 1);
        entry.addr = l.b ? le32(p + 5) : ((p[5] << 16) | (p[6] << 8));
        entry.dataAt = at;
        at += entry.length;
        e.entries.push_back(entry);
    }
    if (at > size)
        return e;
    // Every sub-firmware ends inside the 24-bit (A) or 32-bit (B) flash address range.
    const uint64_t addressEnd = l.b ? uint64_t{1} << 32 : uint64_t{1} << 24;
    for (const Entry& entry : e.entries) {
        if (uint64_t{entry.addr} + entry.length > addressEnd)
            return e;
    }
    e.loads = true;
    for (uint32_t k = 0; k < 8; ++k) {
        if (f[l.pid + k] != 0)
            e.pid.push_back(static_cast<char>(f[l.pid + k]));
    }
    if (type == CHIP_5415R && e.pid.compare(0, 5, "5415R") == 0)
        e.pid = "5416";
    std::memcpy(e.vid, f + l.vid, 4);
    return e;
}

void compare(FwImage& image, const Expected& e) {
    FUZZ_CHECK(image.isLoaded == e.loads);
    if (!e.loads)
        return;
    FUZZ_CHECK(e.pid == image.pid);
    FUZZ_CHECK(std::memcmp(e.vid, image.vid, 4) == 0);
    FUZZ_CHECK(image.getFwSubFwNum() == static_cast<int32_t>(e.entries.size()));
    for (size_t i = 0; i < e.entries.size(); ++i) {
        const int32_t index = static_cast<int32_t>(i);
        FUZZ_CHECK(image.getFwSubFwType(index) == e.entries[i].type);
        FUZZ_CHECK(image.getFwSubFwLen(index) == e.entries[i].length);
        FUZZ_CHECK(image.getFwSubFwAddr(index) == e.entries[i].addr);
        FUZZ_CHECK(image.getFwSubFwData(index) == image.fwData.data() + e.entries[i].dataAt);
    }
}

bool inside(const FwImage& image, const uint8_t* p, uint32_t length) {
    const uint8_t* begin = image.fwData.data();
    const uint8_t* end = begin + image.fwData.size();
    return p >= begin && p <= end && length <= static_cast<size_t>(end - p);
}

void checkNoEntry(FwImage& image, int32_t index) {
    FUZZ_CHECK(image.getFwSubInfo(index) == nullptr);
    FUZZ_CHECK(image.getFwSubFwType(index) == 0xFF);
    FUZZ_CHECK(image.getFwSubFwLen(index) == 0xFFFFFFFF);
    FUZZ_CHECK(image.getFwSubFwAddr(index) == 0xFFFFFFFF);
    FUZZ_CHECK(image.getFwSubFwData(index) == nullptr);
}

void walk(FwImage& image, bool loaded) {
    FUZZ_CHECK(image.isLoaded == loaded);
    FUZZ_CHECK(loaded || image.fwData.empty());
    FUZZ_CHECK(std::memchr(image.pid, 0, sizeof image.pid) != nullptr);

    const int32_t count = image.getFwSubFwNum();
    FUZZ_CHECK(count >= 0 && count <= 255);
    for (const int32_t index : {-1, INT_MIN, count, count + 1, INT_MAX}) {
        checkNoEntry(image, index);
    }
    uint8_t cmd[kFlashBlockCmdMaxLen];
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t type = image.getFwSubFwType(i);
        const uint32_t length = image.getFwSubFwLen(i);
        const uint32_t addr = image.getFwSubFwAddr(i);
        const uint8_t* data = image.getFwSubFwData(i);
        (void)type;
        // A loaded image has every sub-firmware's data inside the file.
        FUZZ_CHECK(!loaded || data != nullptr);
        if (data == nullptr)
            continue;
        FUZZ_CHECK(inside(image, data, length));
        // A loaded image never has a block flashed at a wrapped address.
        FUZZ_CHECK(!loaded || uint64_t{addr} + length <= (uint64_t{1} << 32));
        for (uint32_t sent = 0; sent < length; sent += kFlashBlockSize) {
            const uint32_t blockLen =
                length - sent < kFlashBlockSize ? length - sent : kFlashBlockSize;
            const int cmdLen = buildFlashBlockCmd(data + sent, blockLen, addr + sent, cmd);
            FUZZ_CHECK(cmdLen >= 0 && cmdLen <= kFlashBlockCmdMaxLen);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    VirtualClock clock;
    fuzz::InputScope scope(clock);
    chipType = 1 + data[0] % 7;
    initChipProfile();
    const std::string path = fuzz::writeScratchFile("fw", data + 1, size - 1);

    std::unique_ptr<FwImage> image = createFwImage(chipType);
    FUZZ_CHECK(image != nullptr);
    const int32_t result = image->load(path.c_str());
    FUZZ_CHECK(result == 0 || result == -6);
    walk(*image, result == 0);
    compare(*image, expectedImage(chipType, data + 1, size - 1));

    if ((data[0] & 0x80) != 0) {
        // A reload gives the same answer and the same fields.
        char pid[sizeof image->pid];
        std::memcpy(pid, image->pid, sizeof pid);
        FUZZ_CHECK(image->load(path.c_str()) == result);
        FUZZ_CHECK(result != 0 || std::memcmp(pid, image->pid, sizeof pid) == 0);
        walk(*image, result == 0);
    }
    image->releaseData();
    walk(*image, false);
    return 0;
}
