#include "chip/CfgBlock.h"

#include <algorithm>

#include "chip/ChipProfile.h"

size_t cfgCheckBytes(int32_t chipType) {
    switch (familyOf(chipType).cfg) {
        case CfgKind::legacy5410:
            return kCfgCheckBytes5410;
        case CfgKind::legacy5415R:
            return kCfgCheckBytes5415R;
        case CfgKind::fjord:
            return kCfgBlockBytesFjord;
        case CfgKind::none:
            break;
    }
    return 0;
}

size_t cfgVersionAt(int32_t chipType) {
    return isLegacyCfg(familyOf(chipType).cfg) ? kCfgVersionAtLegacy : kCfgVersionAtFjord;
}

size_t cfgReadBackBytes(int32_t chipType, size_t size) {
    const CfgKind kind = familyOf(chipType).cfg;
    if (isLegacyCfg(kind))
        return std::min(size, kCfgAreaBytesLegacy);
    return kind == CfgKind::fjord ? size : 0;
}

CfgBlockCheck checkCfgBlock(int32_t chipType, const uint8_t* bytes, size_t length) {
    CfgBlockCheck check;
    const size_t needed = cfgCheckBytes(chipType);
    if (needed == 0 || bytes == nullptr || length < needed)
        return check;
    const CfgKind kind = familyOf(chipType).cfg;
    if (kind == CfgKind::legacy5410) {
        uint8_t sum = 0;
        for (size_t i = 0; i < kCfgCheckBytes5410; ++i)
            sum = static_cast<uint8_t>(sum + bytes[i]);
        check.computed = sum;
        check.expected = 0;
    } else if (kind == CfgKind::legacy5415R) {
        for (size_t i = 0; i < kCfgCheckBytes5415R; ++i)
            (i < kCfgCheckLeftBytes5415R ? check.computed : check.expected) += bytes[i];
    } else {
        uint16_t sum = 0;
        for (size_t i = 0; i < kCfgChecksumAtFjord; ++i)
            sum = static_cast<uint16_t>(sum + bytes[i]);
        check.computed = sum;
        check.expected = static_cast<uint32_t>(bytes[kCfgChecksumAtFjord]) |
                         (static_cast<uint32_t>(bytes[kCfgChecksumAtFjord + 1]) << 8);
    }
    check.passed = check.computed == check.expected;
    return check;
}

bool sealCfgBlock(int32_t chipType, uint8_t version, uint8_t* bytes, size_t length) {
    const size_t needed = cfgCheckBytes(chipType);
    if (needed == 0 || bytes == nullptr || length < needed)
        return false;
    const CfgKind kind = familyOf(chipType).cfg;
    if (kind == CfgKind::legacy5410) {
        bytes[cfgVersionAt(chipType)] = version;
        bytes[3] = static_cast<uint8_t>(0x100 - ((bytes[0] + bytes[1] + bytes[2]) & 0xFF));
    } else if (kind == CfgKind::legacy5415R) {
        const unsigned sum = version + bytes[1] + bytes[2];
        if (sum > 2 * 0xFFu)
            return false;
        bytes[cfgVersionAt(chipType)] = version;
        bytes[3] = static_cast<uint8_t>(sum < 0xFFu ? sum : 0xFFu);
        bytes[4] = static_cast<uint8_t>(sum - bytes[3]);
    } else {
        bytes[cfgVersionAt(chipType)] = version;
        const uint32_t sum = checkCfgBlock(chipType, bytes, length).computed;
        bytes[kCfgChecksumAtFjord] = static_cast<uint8_t>(sum & 0xFF);
        bytes[kCfgChecksumAtFjord + 1] = static_cast<uint8_t>(sum >> 8);
    }
    return true;
}
