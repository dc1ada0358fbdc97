// The emulated chip's command register: report control with its status
// answers, the configuration version read, acknowledgements on virtual time.
#include <gtest/gtest.h>

#include "tests/EmuFixture.h"

namespace {

using emutest::Bytes;
using emutest::cmd5410;
using emutest::cmd5415R;
using emutest::fjordCmd;

class EmuCommandTest : public EmuFixture {};

unsigned le16(const Bytes& b, size_t at) {
    return b[at] | (b[at + 1] << 8);
}

TEST_F(EmuCommandTest, ReportStatus5410CarriesACheckByte) {
    startEmu(CHIP_5410);
    emutest::Wire wire(sys());
    const uint32_t cmd = 0x60CC;
    ASSERT_TRUE(wire.write(cmd, cmd5410(0x33)));
    EXPECT_FALSE(chip().reportingEnabled());
    ASSERT_TRUE(wire.write(cmd, cmd5410(0x35)));
    sleepMs(50);
    Bytes answer = wire.read(cmd, 3);
    EXPECT_EQ(answer, (Bytes{0x36, 0x01, 0xC9}));
    EXPECT_EQ((0x36 + answer[1] + answer[2]) & 0xFF, 0);

    ASSERT_TRUE(wire.write(cmd, cmd5410(0x34)));
    EXPECT_TRUE(chip().reportingEnabled());
    ASSERT_TRUE(wire.write(cmd, cmd5410(0x35)));
    sleepMs(50);
    answer = wire.read(cmd, 3);
    EXPECT_EQ(answer[1], 0x00);
    EXPECT_EQ((0x36 + answer[1] + answer[2]) & 0xFF, 0);
}

TEST_F(EmuCommandTest, Chip5415RTakesReportCommandsWithoutAnswer) {
    startEmu(CHIP_5415R);
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(0x4160, cmd5415R(0x33)));
    EXPECT_FALSE(chip().reportingEnabled());
    sleepMs(10);
    EXPECT_EQ(wire.read(0x4160, 5), cmd5415R(0x33));  // nothing written back
    ASSERT_TRUE(wire.write(0x4160, cmd5415R(0x34)));
    EXPECT_TRUE(chip().reportingEnabled());
}

struct StatusCase {
    int32_t type;
    uint32_t cmdAddr;
    uint32_t statusAddr;
    size_t statusLen;
};

TEST_F(EmuCommandTest, ReportStatusOfFjordH3AndCorvinaIsAcknowledgedAndChecksummed) {
    const StatusCase cases[] = {
        {CHIP_FJORDH3, 0x10180, 0x10182, 5},
        {CHIP_CORVINA, 0x10174, 0x10184, 4},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(emu::familyName(c.type));
        startEmu(c.type);
        emutest::Wire wire(sys());
        for (const bool disable : {true, false}) {
            ASSERT_TRUE(wire.write(c.cmdAddr, fjordCmd(disable ? 0x33 : 0x34)));
            sleepMs(50);
            EXPECT_EQ(wire.read(c.cmdAddr, 1), Bytes{0x80});
            ASSERT_TRUE(wire.write(c.cmdAddr, fjordCmd(0x35)));
            sleepMs(50);
            EXPECT_EQ(wire.read(c.cmdAddr, 1), Bytes{0x80});
            const Bytes s = wire.read(c.statusAddr, c.statusLen);
            const uint8_t wanted = disable ? 1 : 0;
            if (c.type == CHIP_FJORDH3) {
                EXPECT_EQ(s[2], wanted);
                EXPECT_EQ(le16(s, 3), s[0] + s[1] + s[2] + 5u);
            } else {
                EXPECT_EQ(s[1], wanted);
                EXPECT_EQ(le16(s, 2), s[0] + s[1] + 0u);
            }
        }
    }
}

TEST_F(EmuCommandTest, AcknowledgementAppearsOnlyAfterTheChipHadTime) {
    startEmu(CHIP_FJORDK);
    chip().timing().commandMs = 8;
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(0x10174, fjordCmd(0x07)));
    EXPECT_EQ(wire.read(0x10174, 2), (Bytes{0x00, 0x00}));  // still the command bytes
    sleepMs(5);
    EXPECT_EQ(wire.read(0x10174, 2), (Bytes{0x00, 0x00}));
    sleepMs(5);
    EXPECT_EQ(wire.read(0x10174, 2), (Bytes{0x80, 0x80}));
    ASSERT_TRUE(wire.write(0x10174, fjordCmd(0x08)));
    sleepMs(10);
    EXPECT_EQ(wire.read(0x10174, 2), (Bytes{0x80, 0x80}));
}

TEST_F(EmuCommandTest, CommandsOutsideTheFamilysSetAreRefused) {
    struct Case {
        int32_t type;
        uint32_t cmdAddr;
        Bytes bytes;
    };
    const Case cases[] = {
        {CHIP_FJORDK, 0x10174, fjordCmd(0x33)},         // no report control on fjordK
        {CHIP_FJORDK8, 0x10174, fjordCmd(0x35)},        // nor on fjordK8
        {CHIP_FJORDK, 0x10174, {0, 0, 4, 7, 0x0C, 0}},  // wrong sum byte
        {CHIP_5410, 0x60CC, {0x33, 0x00, 0xCC}},        // wrong check byte
        {CHIP_5410, 0x60CC, {0x84}},                    // lone byte other than finish
        {CHIP_5415R, 0x4160, {0x33, 0, 0, 0, 0x34}},    // trailing code differs
        {CHIP_5415R, 0x4160, cmd5415R(0x35)},           // no report query on 5415R
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(emu::familyName(c.type)) + " " + emu::hexBytes(c.bytes));
        startEmu(c.type);
        emutest::Wire wire(sys());
        EXPECT_TRUE(wire.write(c.cmdAddr, c.bytes));  // the report itself is well formed
        const bool reporting = chip().reportingEnabled();
        sleepMs(20);
        EXPECT_EQ(wire.read(c.cmdAddr, c.bytes.size()), c.bytes);  // no acknowledgement
        EXPECT_EQ(chip().reportingEnabled(), reporting);
        expectProtocolErrors({"unknown command"});
    }
}

// The 64-byte block of a fjord-family configuration read.
Bytes readConfigBlock(emutest::Wire& wire, uint32_t cfgAddr) {
    Bytes block = wire.read(cfgAddr, 32);
    const Bytes second = wire.read(cfgAddr + 32, 32);
    block.insert(block.end(), second.begin(), second.end());
    return block;
}

bool blockChecksumOk(const Bytes& block) {
    unsigned sum = 0;
    for (size_t i = 0; i < 62; ++i)
        sum += block[i];
    return (sum & 0xFFFF) == le16(block, 62);
}

TEST_F(EmuCommandTest, FjordConfigurationVersionReadInAReadSession) {
    struct Case {
        int32_t type;
        uint32_t cmdAddr, cfgAddr;
    };
    const Case cases[] = {
        {CHIP_FJORDK, 0x10174, 0x13B74},  {CHIP_FJORDH3, 0x10180, 0x15EB4},
        {CHIP_CORVINA, 0x10174, 0x13D08}, {CHIP_FJORDK8, 0x10174, 0x13B74},
        {CHIP_FJORDK4, 0x10174, 0x13B78},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(emu::familyName(c.type));
        startEmu(c.type);
        chip().setConfiguration(emu::makeConfiguration(c.type, 0x2C));
        emutest::Wire wire(sys());
        // Outside a read session the window holds no valid block.
        EXPECT_FALSE(blockChecksumOk(readConfigBlock(wire, c.cfgAddr)));

        ASSERT_TRUE(wire.write(c.cmdAddr, fjordCmd(0x07)));
        sleepMs(10);
        EXPECT_EQ(wire.read(c.cmdAddr, 2), (Bytes{0x80, 0x80}));
        const Bytes block = readConfigBlock(wire, c.cfgAddr);
        EXPECT_TRUE(blockChecksumOk(block));
        EXPECT_EQ(block[34], 0x2C);
        ASSERT_TRUE(wire.write(c.cmdAddr, fjordCmd(0x08)));
        sleepMs(10);
        EXPECT_EQ(wire.read(c.cmdAddr, 2), (Bytes{0x80, 0x80}));
        EXPECT_EQ(chip().cfgSession(), emu::CfgSession::idle);
        EXPECT_FALSE(blockChecksumOk(readConfigBlock(wire, c.cfgAddr)));
    }
}

TEST_F(EmuCommandTest, ReadEndWithoutStartIsNotAcknowledged) {
    startEmu(CHIP_FJORDK);
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(0x10174, fjordCmd(0x08)));
    sleepMs(10);
    EXPECT_EQ(wire.read(0x10174, 2), (Bytes{0x00, 0x00}));
    expectProtocolErrors({"configuration read ended without a read start"});
}

TEST_F(EmuCommandTest, OlderFamiliesShowVersionAndCheckBytesAtCfgAddr) {
    for (const uint8_t version : {0x00, 0x05, 0x7F, 0xF0}) {
        SCOPED_TRACE(static_cast<int>(version));
        startEmu(CHIP_5410);
        chip().setConfiguration(emu::makeConfiguration(CHIP_5410, version));
        {
            emutest::Wire wire(sys());
            const Bytes b = wire.read(0x60DC, 4);
            EXPECT_EQ(b[0], version);
            EXPECT_EQ((b[0] + b[1] + b[2] + b[3]) & 0xFF, 0);
        }
        startEmu(CHIP_5415R);
        chip().setConfiguration(emu::makeConfiguration(CHIP_5415R, version));
        emutest::Wire wire(sys());
        const Bytes b = wire.read(0x96F8, 5);
        EXPECT_EQ(b[0], version);
        EXPECT_EQ(b[0] + b[1] + b[2], b[3] + b[4]);  // compared without wrapping
    }
}

}  // namespace
