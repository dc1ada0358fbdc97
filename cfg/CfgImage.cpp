#include "cfg/CfgImage.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "cfg/InputFile.h"
#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "sys/Bytes.h"

namespace {

// Hexadecimal digit values; 0 for any other character.
struct DigitTable {
    uint8_t value[256];
    constexpr DigitTable() : value{} {
        for (int c = 0; c < 128; ++c)
            value[c] = static_cast<uint8_t>(std::max(hexDigitValue(static_cast<char>(c)), 0));
    }
};
constexpr DigitTable kDigits;

// 'x' and 'X' are the only bytes that give 'x' with the 0x20 bit set.
bool isMarker(uint8_t c) {
    return (c | 0x20) == 'x';
}

bool hostIsLittleEndian() {
    const uint16_t probe = 1;
    uint8_t first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

// Index of the lowest byte of `mask` whose top bit is set (mask not 0).
unsigned lowestFlaggedByte(uint64_t mask) {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<unsigned>(__builtin_ctzll(mask)) >> 3;
#else
    unsigned byte = 0;
    while ((mask & (uint64_t{0x80} << (8 * byte))) == 0)
        ++byte;
    return byte;
#endif
}

// One pass over the text: each marker's byte goes to out[count++]. The text
// is scanned eight bytes at a time, a marker showing as a zero byte of
// (word | 0x20..) ^ 'x'..; the last bytes, whose digits may lie past the
// end, one at a time. `out` has room for one byte per text byte.
size_t parseMarkers(const uint8_t* text, size_t n, uint8_t* out) {
    constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
    constexpr uint64_t kCaseBit = 0x2020202020202020ull;
    constexpr uint64_t kMarker = 0x7878787878787878ull;  // 'x' in every byte
    size_t count = 0;
    size_t k = 0;
    if (hostIsLittleEndian()) {
        // A word's last marker reads two bytes past the word: keep them inside.
        for (; k + 10 <= n; k += 8) {
            uint64_t word;
            std::memcpy(&word, text + k, sizeof word);
            const uint64_t x = (word | kCaseBit) ^ kMarker;
            uint64_t zeros = ~(((x & kLow7) + kLow7) | x | kLow7);
            while (zeros != 0) {
                const uint8_t* m = text + k + lowestFlaggedByte(zeros);
                out[count++] =
                    static_cast<uint8_t>((kDigits.value[m[1]] << 4) | kDigits.value[m[2]]);
                zeros &= zeros - 1;
            }
        }
    }
    for (; k < n; ++k) {
        if (!isMarker(text[k]))
            continue;
        const uint8_t high = k + 1 < n ? kDigits.value[text[k + 1]] : 0;
        const uint8_t low = k + 2 < n ? kDigits.value[text[k + 2]] : 0;
        out[count++] = static_cast<uint8_t>((high << 4) | low);
    }
    return count;
}

const InputFileTexts kCfgFileTexts = {
    "CfgImage::load",      // function
    "<CfgImage::load> ",   // lead
    "Configuration",       // nameTitle
    "cfg",                 // fileKind
    "Cfg",                 // fileTitle
    ": ",                  // sizeIs
    " Bytes",              // sizeUnit
    "configuration file",  // largestKind
    "cfgFileBufData",      // bufferName
};

}  // namespace

CfgImage::~CfgImage() {
    if (loaded)
        freeData();
}

void CfgImage::freeData() {
    if (!loaded)
        return;
    loaded = false;
    std::vector<uint8_t>().swap(cfgData);
}

uint8_t CfgImage::getCfgVersion() {
    return cfgVersion;
}

const uint8_t* CfgImage::getCfgData() {
    return loaded ? cfgData.data() : nullptr;
}

void CfgImage::initCfgVersion() {
    cfgVersion = kCfgVersionIndex < cfgData.size() ? cfgData[kCfgVersionIndex] : 0;
}

void CfgImageFjordK::initCfgVersion() {
    cfgVersion = kCfgVersionIndexFjordK < cfgData.size() ? cfgData[kCfgVersionIndexFjordK] : 0;
}

int32_t CfgImage::checkBlock(int32_t type) {
    const CfgBlockCheck check =
        loaded ? checkCfgBlock(type, cfgData.data(), cfgData.size()) : CfgBlockCheck{};
    if (check.passed)
        return 0;
    LOG_ERROR("CfgImage::checkBlock",
              "<CfgImage::checkBlock> Cfg data check bytes wrong for this chip: computed 0x%X, "
              "expected 0x%X. The chip would not accept this configuration.\n",
              check.computed, check.expected);
    return kCfgCheckFailed;
}

int32_t CfgImage::load(const char* fileName) {
    LOG_DEBUG("CfgImage::load", "<CfgImage::load> Function begins.\n");
    // A reload starts from an empty object.
    loaded = false;
    std::vector<uint8_t>().swap(cfgData);
    cfgSize = 0;
    cfgVersion = 0;

    std::vector<uint8_t> text;
    int32_t result = readInputFile(fileName, kCfgFileMaxBytes, kCfgFileTexts, &text, nullptr);
    if (result == 0)
        result = parseText(text.data(), text.size());
    loaded = (result == 0);
    if (!loaded) {
        std::vector<uint8_t>().swap(cfgData);
        cfgSize = 0;
    }
    LOG_DEBUG("CfgImage::load", "<CfgImage::load> Function ends.\n");
    return result;
}

int32_t CfgImage::parseText(const uint8_t* text, size_t size) {
    // One pass: the bytes go straight into a zeroed block big enough for a
    // marker on every byte, which then shrinks to its size (no copy).
    const uint64_t roomSize =
        (static_cast<uint64_t>(size) & ~uint64_t{kCfgBlockSize - 1}) + kCfgBlockSize;
    try {
        if (roomSize > UINT32_MAX)
            throw std::bad_alloc();
        cfgData.assign(roomSize, 0);
    } catch (const std::bad_alloc&) {
        LOG_ERROR("CfgImage::load", "<CfgImage::load> Allocate memory for cfgData failed.\n");
        return -3;
    }
    // The digits after a marker are examined as markers too: "xx12" gives two bytes.
    const size_t markers = parseMarkers(text, size, cfgData.data());
    if (markers < 2) {
        LOG_ERROR("CfgImage::load", "<CfgImage::load> Cfg file error. Valid data count is %d.\n",
                  static_cast<int>(markers) - 1);
        return -6;
    }
    // Always at least one byte more than the markers: the next multiple of 4096 above.
    const uint64_t blockSize =
        (static_cast<uint64_t>(markers) & ~uint64_t{kCfgBlockSize - 1}) + kCfgBlockSize;
    cfgData.resize(blockSize);
    cfgSize = static_cast<uint32_t>(blockSize);
    LOG_INFO("CfgImage::load", "<CfgImage::load> cfgSize:%d\n", static_cast<int>(cfgSize));

    initCfgVersion();
    return 0;
}

std::unique_ptr<CfgImage> createCfgImage(int32_t type) {
    const CfgKind kind = familyOf(type).cfg;
    if (isLegacyCfg(kind))
        return std::make_unique<CfgImage>();
    if (kind == CfgKind::fjord)
        return std::make_unique<CfgImageFjordK>();
    return nullptr;
}
