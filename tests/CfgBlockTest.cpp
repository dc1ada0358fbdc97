// Sealing a generated configuration block: version and check bytes per family.
#include <gtest/gtest.h>

#include <vector>

#include "chip/CfgBlock.h"
#include "chip/ChipProfile.h"

namespace {

struct SealCase {
    int32_t type;
    size_t length;
    uint8_t fill;  // every byte before sealing
    bool sealed;
    std::vector<std::pair<size_t, uint8_t>> expect;  // (index, byte) after sealing
};

TEST(CfgBlockTest, SealWritesVersionAndCheckBytes) {
    const SealCase cases[] = {
        {CHIP_5410, 4, 0x11, true, {{0, 0x42}, {1, 0x11}, {2, 0x11}, {3, 0x9C}}},
        {CHIP_5415R, 5, 0x40, true, {{0, 0x42}, {3, 0xC2}, {4, 0x00}}},
        {CHIP_5415R, 8, 0xA0, true, {{0, 0x42}, {3, 0xFF}, {4, 0x83}, {5, 0xA0}}},
        {CHIP_FJORDK, 64, 0x01, true, {{0, 0x01}, {34, 0x42}, {62, 0x7F}, {63, 0x00}}},
        {CHIP_FJORDK8, 80, 0xFF, true, {{34, 0x42}, {62, 0x05}, {63, 0x3D}, {64, 0xFF}}},
        // Refused: nothing is written.
        {CHIP_5415R, 5, 0xFF, false, {{0, 0xFF}, {3, 0xFF}}},  // sum too large for two bytes
        {CHIP_5410, 3, 0x11, false, {{0, 0x11}}},
        {CHIP_FJORDK4, 63, 0x01, false, {{34, 0x01}, {62, 0x01}}},
        {0, 64, 0x01, false, {{0, 0x01}, {34, 0x01}}},
    };
    for (const SealCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << c.type << " length " << c.length);
        std::vector<uint8_t> block(c.length, c.fill);
        EXPECT_EQ(sealCfgBlock(c.type, 0x42, block.data(), block.size()), c.sealed);
        for (const auto& e : c.expect) {
            EXPECT_EQ(block[e.first], e.second) << "byte " << e.first;
        }
        if (c.sealed) {
            EXPECT_TRUE(checkCfgBlock(c.type, block.data(), block.size()).passed);
        }
    }
    EXPECT_FALSE(sealCfgBlock(CHIP_5410, 1, nullptr, 4));
}

}  // namespace
