#include "cfg/CfgImage.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "cfg/InputFile.h"
#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "sys/Bytes.h"
#include "tlc/TlcConnection.h"

namespace {

// What the parser and the text checks need to know of each byte, in one
// table byte: the hexadecimal digit value (0 for any other byte) in the low
// four bits, and the flags above it.
constexpr uint8_t kDigitBits = 0x0F;
constexpr uint8_t kHexDigit = 0x10;  // '0'-'9', 'a'-'f', 'A'-'F'
constexpr uint8_t kAlnum = 0x20;     // a letter or a digit
constexpr uint8_t kNotText = 0x40;   // NUL and the control characters but tab, CR and LF

struct CharTable {
    uint8_t entry[256];
    constexpr CharTable() : entry{} {
        for (int c = 0; c < 128; ++c) {
            const int digit = hexDigitValue(static_cast<char>(c));
            const bool alnum = digit >= 0 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            const bool control = (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F;
            entry[c] = static_cast<uint8_t>((digit >= 0 ? digit | kHexDigit : 0) |
                                            (alnum ? kAlnum : 0) | (control ? kNotText : 0));
        }
    }
};
constexpr CharTable kChars;

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

// Masks of the bytes of an 8-byte word with a property: the top bit of each
// such byte set, every other bit clear. Exact: no carry crosses a byte.
constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kLow7 = 0x7F * kOnes;
constexpr uint64_t kHigh = 0x80 * kOnes;

uint64_t bytesEqual(uint64_t word, uint8_t c) {
    const uint64_t x = word ^ (c * kOnes);
    return ~(((x & kLow7) + kLow7) | x | kLow7);
}

// Bytes below 0x20 and 0x7F (DEL): below 0x21 once one is added, in 7 bits.
uint64_t bytesControl(uint64_t word) {
    const uint64_t next = ((word & kLow7) + kOnes) & kLow7;
    return ~((next + (0x80 - 0x21) * kOnes) | word) & kHigh;
}

// What one pass over a configuration text found.
struct MarkerScan {
    size_t markers = 0;
    size_t tokens = 0;            // markers that begin a well-formed 0xNN token
    unsigned anyBits = 0;         // every parsed byte ORed together
    size_t notTextAt = SIZE_MAX;  // first byte no text file holds
};

// First offset in [from, to) of a byte no text file holds; SIZE_MAX when none.
size_t findNotText(const uint8_t* text, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        if (kChars.entry[text[i]] & kNotText)
            return i;
    }
    return SIZE_MAX;
}

uint8_t markerByte(uint8_t high, uint8_t low) {
    return static_cast<uint8_t>(((high & kDigitBits) << 4) | (low & kDigitBits));
}

// One pass over the text: each marker's byte goes to out[count++], and the
// text checks are counted on the way. The text is scanned eight bytes at a
// time, a marker showing as a byte equal to 'x' once the case bit is set;
// the last bytes, whose digits may lie past the end, one at a time. `out`
// has room for one byte per text byte. Everything per marker is arithmetic
// on table entries, without a branch, and the counts stay in locals (a store
// through `out` may alias anything else in memory): the loop is bound by the
// work per marker.
MarkerScan parseMarkers(const uint8_t* text, size_t n, uint8_t* out) {
    size_t count = 0;
    size_t tokens = 0;
    unsigned anyBits = 0;
    size_t notTextAt = SIZE_MAX;
    size_t k = 0;
    if (hostIsLittleEndian()) {
        // A word's last marker is followed by three bytes of its token: keep them inside.
        for (; k + 11 <= n; k += 8) {
            uint64_t word;
            std::memcpy(&word, text + k, sizeof word);
            // Tab, CR and LF are control bytes too: only a word with one of
            // those takes the exact test.
            const uint64_t control = bytesControl(word);
            if (control != 0 && notTextAt == SIZE_MAX) {
                const uint64_t notText =
                    control &
                    ~(bytesEqual(word, '\t') | bytesEqual(word, '\n') | bytesEqual(word, '\r'));
                if (notText != 0)
                    notTextAt = k + lowestFlaggedByte(notText);
            }
            uint64_t markers = bytesEqual(word | (0x20 * kOnes), 'x');
            while (markers != 0) {
                const size_t at = k + lowestFlaggedByte(markers);
                const uint8_t* m = text + at;
                const uint8_t high = kChars.entry[m[1]];
                const uint8_t low = kChars.entry[m[2]];
                const uint8_t byte = markerByte(high, low);
                out[count++] = byte;
                anyBits |= byte;
                // The token rule of isCfgByteToken, m[3] being inside the text.
                const uint8_t before = at > 0 ? m[-1] : 0;
                tokens += ((high & low & kHexDigit) / kHexDigit) &
                          ((kChars.entry[m[3]] & kAlnum) == 0) & (before == '0');
                markers &= markers - 1;
            }
        }
    }
    if (notTextAt == SIZE_MAX)
        notTextAt = findNotText(text, k, n);
    for (; k < n; ++k) {
        if (!isMarker(text[k]))
            continue;
        const uint8_t byte = markerByte(k + 1 < n ? kChars.entry[text[k + 1]] : 0,
                                        k + 2 < n ? kChars.entry[text[k + 2]] : 0);
        out[count++] = byte;
        anyBits |= byte;
        tokens += isCfgByteToken(text, n, k) ? 1 : 0;
    }
    return MarkerScan{count, tokens, anyBits, notTextAt};
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

bool isCfgByteToken(const uint8_t* text, size_t size, size_t at) {
    if (at == 0 || at + 2 >= size || text[at - 1] != '0' || !isMarker(text[at]))
        return false;
    if ((kChars.entry[text[at + 1]] & kChars.entry[text[at + 2]] & kHexDigit) == 0)
        return false;
    return at + 3 == size || (kChars.entry[text[at + 3]] & kAlnum) == 0;
}

void CfgImage::freeData() {
    if (!loaded)
        return;
    loaded = false;
    std::vector<uint8_t>().swap(cfgData);
}

void CfgImage::initCfgVersion() {
    cfgVersion = versionAt_ < cfgData.size() ? cfgData[versionAt_] : 0;
}

int32_t CfgImage::checkBlock(int32_t type) {
    const CfgBlockCheck check =
        loaded ? checkCfgBlock(type, cfgData.data(), cfgData.size()) : CfgBlockCheck{};
    if (!check.passed) {
        LOG_ERROR("CfgImage::checkBlock",
                  "<CfgImage::checkBlock> Cfg data check bytes wrong for this chip: computed 0x%X, "
                  "expected 0x%X. The chip would not accept this configuration.\n",
                  check.computed, check.expected);
        return kCfgCheckFailed;
    }
    // One register write carries the block from cfgAddr on; past the last
    // address the framing carries, the rest would land from address 0 on.
    const ChipProfile profile = chipProfileOf(type);
    const uint64_t reach = uint64_t{tlcMaxAddress(profile.protoType)} + 1 - profile.cfgAddr;
    if (cfgSize > reach) {
        LOG_ERROR("CfgImage::checkBlock",
                  "<CfgImage::checkBlock> Cfg data of %u bytes does not fit this chip: its "
                  "register addresses end %llu bytes after the configuration address 0x%04X, and "
                  "the rest would overwrite the registers from address 0.\n",
                  cfgSize, static_cast<unsigned long long>(reach), profile.cfgAddr);
        return kCfgOutOfReach;
    }
    return 0;
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
    const MarkerScan scan = parseMarkers(text, size, cfgData.data());
    const size_t markers = scan.markers;
    if (markers < 2) {
        LOG_ERROR("CfgImage::load", "<CfgImage::load> Cfg file error. Valid data count is %d.\n",
                  static_cast<int>(markers) - 1);
        return -6;
    }
    // Every 'x' of any file is a byte marker, so a script, a document or a
    // binary would "load" as some block, most often of zeros, and go to the
    // chip. Only what is plainly configuration text goes on.
    if (scan.notTextAt != SIZE_MAX) {
        LOG_ERROR("CfgImage::load",
                  "<CfgImage::load> Cfg file is not text: byte 0x%02X at offset %llu.\n",
                  text[scan.notTextAt], static_cast<unsigned long long>(scan.notTextAt));
        return kCfgNotText;
    }
    if (scan.tokens * 2 < markers) {
        LOG_ERROR("CfgImage::load",
                  "<CfgImage::load> Cfg file is not configuration text: %llu of its %llu byte "
                  "markers begin a 0xNN byte.\n",
                  static_cast<unsigned long long>(scan.tokens),
                  static_cast<unsigned long long>(markers));
        return kCfgNotText;
    }
    if (scan.anyBits == 0) {
        LOG_ERROR("CfgImage::load",
                  "<CfgImage::load> Cfg file holds no configuration: all its %llu bytes are "
                  "0x00.\n",
                  static_cast<unsigned long long>(markers));
        return kCfgNotText;
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
    if (familyOf(type).cfg == CfgKind::none)
        return nullptr;
    return std::make_unique<CfgImage>(cfgVersionAt(type));
}
