// Firmware image files: load with the image class of a chip family, then
// walk the sub-firmware table the way the download does (count, type,
// length, address, data in 4096-byte blocks with their load-flash command),
// and ask for entries that do not exist.
//
// Input: byte 0 picks the chip type (1 + b % 7; bit 7 also loads the file a
// second time into the same object), the rest is the file.
#include <climits>
#include <cstring>
#include <memory>

#include "chip/ChipProfile.h"
#include "fuzz/FuzzSupport.h"
#include "fw/FwDownload.h"
#include "fw/FwImage.h"

namespace {

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
