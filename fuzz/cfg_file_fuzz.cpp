// Configuration files: load with the configuration class of a chip family
// and compare the outcome and the data block with an independent reading of
// the format (every 'x'/'X' marks a byte made of the two following
// hexadecimal digits, a non-digit or a missing character counting as 0; the
// block is zero-padded to the next multiple of 4096 above the byte count)
// and of what counts as configuration text (no NUL or control character but
// tab, CR and LF; at least half of the markers are the x of a "0xNN" token
// followed by neither a letter nor a digit; not every byte 0x00).
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

bool isHex(int c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isLetterOrDigit(int c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

struct Expected {
    std::vector<uint8_t> bytes;
    size_t tokens = 0;
    bool control = false;
    bool allZero = true;
};

Expected expectedReading(const uint8_t* text, size_t size) {
    Expected e;
    for (size_t k = 0; k < size; ++k) {
        const uint8_t c = text[k];
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F)
            e.control = true;
        if (c != 'x' && c != 'X')
            continue;
        const int high = k + 1 < size ? nibble(text[k + 1]) : 0;
        const int low = k + 2 < size ? nibble(text[k + 2]) : 0;
        e.bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        e.allZero = e.allZero && high == 0 && low == 0;
        if (k > 0 && text[k - 1] == '0' && k + 2 < size && isHex(text[k + 1]) &&
            isHex(text[k + 2]) && (k + 3 == size || !isLetterOrDigit(text[k + 3]))) {
            ++e.tokens;
        }
    }
    return e;
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
    const Expected reading = expectedReading(text, textSize);
    const std::vector<uint8_t>& expected = reading.bytes;
    if (textSize > kCfgFileMaxBytes) {
        FUZZ_CHECK(result == -3 && !cfg->loaded);  // refused by its size, unread
        return 0;
    }
    if (expected.size() < 2 || reading.control || reading.tokens * 2 < expected.size() ||
        reading.allZero) {
        FUZZ_CHECK(result == (expected.size() < 2 ? -6 : kCfgNotText));
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
    const size_t versionAt = cfgVersionAt(chipType);
    FUZZ_CHECK(cfg->getCfgVersion() == block[versionAt]);
    cfg->freeData();
    FUZZ_CHECK(!cfg->loaded && cfg->getCfgData() == nullptr);
    return 0;
}
