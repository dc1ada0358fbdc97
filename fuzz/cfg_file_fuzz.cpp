// Configuration files: load with the configuration class of a chip family
// and compare the data block with an independent reading of the format
// (every 'x'/'X' marks a byte made of the two following hexadecimal digits,
// a non-digit or a missing character counting as 0; the block is zero-padded
// to the next multiple of 4096 above the byte count).
//
// Input: byte 0 picks the chip type (1 + b % 7), the rest is the file.
#include <cstring>
#include <memory>
#include <vector>

#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "fuzz/FuzzSupport.h"

namespace {

int nibble(int c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 0;
}

std::vector<uint8_t> expectedBytes(const uint8_t* text, size_t size) {
    std::vector<uint8_t> bytes;
    for (size_t k = 0; k < size; ++k) {
        if (text[k] != 'x' && text[k] != 'X')
            continue;
        const int high = k + 1 < size ? nibble(text[k + 1]) : 0;
        const int low = k + 2 < size ? nibble(text[k + 2]) : 0;
        bytes.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return bytes;
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
    const uint8_t* text = data + 1;
    const size_t textSize = size - 1;
    const std::string path = fuzz::writeScratchFile("cfg", text, textSize);

    std::unique_ptr<CfgImage> cfg = createCfgImage(chipType);
    FUZZ_CHECK(cfg != nullptr);
    const int32_t result = cfg->load(path.c_str());
    const std::vector<uint8_t> expected = expectedBytes(text, textSize);
    if (textSize > kCfgFileMaxBytes) {
        FUZZ_CHECK(result == -3 && !cfg->loaded);  // refused by its size, unread
        return 0;
    }
    if (expected.size() < 2) {
        FUZZ_CHECK(result == -6);
        FUZZ_CHECK(!cfg->loaded && cfg->getCfgData() == nullptr && cfg->cfgData.empty());
        return 0;
    }
    FUZZ_CHECK(result == 0 && cfg->loaded);
    const size_t blockSize = (expected.size() / 4096 + 1) * 4096;
    FUZZ_CHECK(cfg->cfgSize == blockSize && cfg->cfgData.size() == blockSize);
    const uint8_t* block = cfg->getCfgData();
    FUZZ_CHECK(block != nullptr);
    FUZZ_CHECK(std::memcmp(block, expected.data(), expected.size()) == 0);
    for (size_t i = expected.size(); i < blockSize; ++i) {
        FUZZ_CHECK(block[i] == 0);
    }
    const size_t versionAt = isFjordFamily(chipType) ? 34 : 0;
    FUZZ_CHECK(cfg->getCfgVersion() == block[versionAt]);
    cfg->freeData();
    FUZZ_CHECK(!cfg->loaded && cfg->getCfgData() == nullptr);
    return 0;
}
