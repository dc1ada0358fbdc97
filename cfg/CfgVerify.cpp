#include "cfg/CfgVerify.h"

#include <vector>

#include "chip/CfgBlock.h"
#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "ops/PropertyQuery.h"

namespace {

const char* const kFn = "cfgVerifyWithConnection";

// Offset of the first byte where `a` and `b` differ and how many differ.
struct Difference {
    uint32_t first = 0;
    uint32_t count = 0;
};

Difference compareBytes(const uint8_t* a, const uint8_t* b, uint32_t n) {
    Difference d;
    for (uint32_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) {
            if (d.count == 0)
                d.first = i;
            ++d.count;
        }
    }
    return d;
}

}  // namespace

int32_t cfgVerifyWithConnection(TlcConnection& connection, const uint8_t* block, uint32_t size) {
    const uint32_t n = static_cast<uint32_t>(cfgReadBackBytes(chipType, size));
    if (block == nullptr || n == 0) {
        LOG_ERROR(kFn, "No cfg data to verify.\n");
        return kCfgVerifyUnread;
    }
    LOG_INFO(kFn, "Verify cfg: reading back %u of %u bytes at 0x%04X.\n", n, size,
             chipProfile.cfgAddr);
    std::vector<uint8_t> chip(n, 0);
    const int32_t r = readCfgAreaWithConnection(connection, chip.data(), static_cast<int32_t>(n));
    if (r != 0) {
        LOG_ERROR(kFn, "Cannot read back cfg data to verify it. ret = %d.\n", r);
        return kCfgVerifyUnread;
    }
    const Difference d = compareBytes(chip.data(), block, n);
    if (d.count != 0) {
        LOG_ERROR(kFn,
                  "Cfg read back differs from cfg file: %u of %u bytes, first at offset %u "
                  "(chip 0x%02X, file 0x%02X).\n",
                  d.count, n, d.first, chip[d.first], block[d.first]);
        return kCfgVerifyDiffers;
    }
    LOG_INFO(kFn, "Cfg read back equals cfg file (%u bytes).\n", n);
    return 0;
}

bool isCfgVerifyFailure(int32_t code) {
    return code == kCfgVerifyDiffers || code == kCfgVerifyUnread;
}
