#include "chip/CfgBlock.h"

#include <algorithm>
#include <cstdint>
#include <numeric>

#include "chip/ChipProfile.h"

namespace {

void check5410(const uint8_t* bytes, CfgBlockCheck* check) {
    check->computed = std::accumulate(bytes, bytes + kCfgCheckBytes5410, 0u) & 0xFF;
    check->expected = 0;
}

void check5415R(const uint8_t* bytes, CfgBlockCheck* check) {
    for (size_t i = 0; i < kCfgCheckBytes5415R; ++i)
        (i < kCfgCheckLeftBytes5415R ? check->computed : check->expected) += bytes[i];
}

void checkFjord(const uint8_t* bytes, CfgBlockCheck* check) {
    check->computed = std::accumulate(bytes, bytes + kCfgChecksumAtFjord, 0u) & 0xFFFF;
    check->expected = static_cast<uint32_t>(bytes[kCfgChecksumAtFjord]) |
                      (static_cast<uint32_t>(bytes[kCfgChecksumAtFjord + 1]) << 8);
}

// The version is in place; these set the check bytes.
bool seal5410(uint8_t* bytes) {
    bytes[3] = static_cast<uint8_t>(0x100 - ((bytes[0] + bytes[1] + bytes[2]) & 0xFF));
    return true;
}

bool seal5415R(uint8_t* bytes) {
    const unsigned sum = bytes[0] + bytes[1] + bytes[2];
    if (sum > 2 * 0xFFu)
        return false;
    bytes[3] = static_cast<uint8_t>(sum < 0xFFu ? sum : 0xFFu);
    bytes[4] = static_cast<uint8_t>(sum - bytes[3]);
    return true;
}

bool sealFjord(uint8_t* bytes) {
    CfgBlockCheck check;
    checkFjord(bytes, &check);
    bytes[kCfgChecksumAtFjord] = static_cast<uint8_t>(check.computed & 0xFF);
    bytes[kCfgChecksumAtFjord + 1] = static_cast<uint8_t>(check.computed >> 8);
    return true;
}

void preset5415R(uint8_t* bytes) {
    bytes[1] = 0x11;
    bytes[2] = 0x22;
}

// A configuration scheme: a row per configuration kind.
struct CfgScheme {
    size_t checkBytes;     // bytes the check reads; 0: no configuration
    size_t versionAt;      // where the version stands
    size_t readBackLimit;  // most bytes the chip shows again at cfgAddr
    void (*check)(const uint8_t* bytes, CfgBlockCheck* check);
    bool (*seal)(uint8_t* bytes);
    void (*preset)(uint8_t* bytes);  // nullptr: nothing to preset
};

constexpr size_t kWhole = SIZE_MAX;

// Indexed by CfgKind.
const CfgScheme kCfgSchemes[] = {
    {0, kCfgVersionAtFjord, 0, nullptr, nullptr, nullptr},
    {kCfgCheckBytes5410, kCfgVersionAtLegacy, kCfgAreaBytesLegacy, check5410, seal5410, nullptr},
    {kCfgCheckBytes5415R, kCfgVersionAtLegacy, kCfgAreaBytesLegacy, check5415R, seal5415R,
     preset5415R},
    {kCfgBlockBytesFjord, kCfgVersionAtFjord, kWhole, checkFjord, sealFjord, nullptr},
};

const CfgScheme& schemeOf(int32_t chipType) {
    return wayOf(kCfgSchemes, familyOf(chipType).cfg);
}

}  // namespace

size_t cfgCheckBytes(int32_t chipType) {
    return schemeOf(chipType).checkBytes;
}

size_t cfgVersionAt(int32_t chipType) {
    return schemeOf(chipType).versionAt;
}

size_t cfgReadBackBytes(int32_t chipType, size_t size) {
    return std::min(size, schemeOf(chipType).readBackLimit);
}

CfgBlockCheck checkCfgBlock(int32_t chipType, const uint8_t* bytes, size_t length) {
    CfgBlockCheck check;
    const CfgScheme& scheme = schemeOf(chipType);
    if (scheme.checkBytes == 0 || bytes == nullptr || length < scheme.checkBytes)
        return check;
    scheme.check(bytes, &check);
    check.passed = check.computed == check.expected;
    return check;
}

bool sealCfgBlock(int32_t chipType, uint8_t version, uint8_t* bytes, size_t length) {
    const CfgScheme& scheme = schemeOf(chipType);
    if (scheme.checkBytes == 0 || bytes == nullptr || length < scheme.checkBytes)
        return false;
    const uint8_t before = bytes[scheme.versionAt];
    bytes[scheme.versionAt] = version;
    if (scheme.seal(bytes))
        return true;
    bytes[scheme.versionAt] = before;  // nothing written on failure
    return false;
}

void presetCfgBlock(int32_t chipType, uint8_t* bytes, size_t length) {
    const CfgScheme& scheme = schemeOf(chipType);
    if (scheme.preset != nullptr && bytes != nullptr && length >= scheme.checkBytes)
        scheme.preset(bytes);
}
