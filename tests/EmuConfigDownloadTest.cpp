// The emulated chip's side of a configuration download: start, data, write
// done, finish, with each family's acknowledgements and ready values, and the
// new configuration visible to the version read afterwards.
#include <gtest/gtest.h>

#include "tests/EmuFixture.h"

namespace {

using emutest::Bytes;
using emutest::cmd5410;
using emutest::cmd5415R;
using emutest::fjordCmd;

class EmuConfigDownloadTest : public EmuFixture {};

struct FjordCase {
    int32_t type;
    uint32_t cmdAddr, cfgAddr;
};

const FjordCase kFjord[] = {
    {CHIP_FJORDK, 0x10174, 0x13B74},  {CHIP_FJORDH3, 0x10180, 0x15EB4},
    {CHIP_CORVINA, 0x10174, 0x13D08}, {CHIP_FJORDK8, 0x10174, 0x13B74},
    {CHIP_FJORDK4, 0x10174, 0x13B78},
};

Bytes readBlock(emutest::Wire& wire, uint32_t cfgAddr) {
    Bytes block = wire.read(cfgAddr, 32);
    const Bytes rest = wire.read(cfgAddr + 32, 32);
    block.insert(block.end(), rest.begin(), rest.end());
    return block;
}

TEST_F(EmuConfigDownloadTest, FjordDownloadIsAcknowledgedAndTakesEffect) {
    for (const FjordCase& c : kFjord) {
        SCOPED_TRACE(emu::familyName(c.type));
        startEmu(c.type);
        emutest::Wire wire(sys());
        const Bytes ack = {0x80, 0x80};
        const Bytes config = emu::makeConfiguration(c.type, 0x09, 4096);
        const Bytes ramBefore = chip().registers().read(chip().profile().fwBufAddr, 16);

        ASSERT_TRUE(wire.write(c.cmdAddr, fjordCmd(0x04)));
        sleepMs(10);
        EXPECT_EQ(wire.read(c.cmdAddr, 2), ack);
        ASSERT_TRUE(wire.write(c.cfgAddr, config));
        ASSERT_TRUE(wire.write(c.cmdAddr, fjordCmd(0x05)));
        sleepMs(80);
        EXPECT_EQ(wire.read(c.cmdAddr, 2), ack);
        EXPECT_EQ(chip().configurationVersion(), 1);  // not yet
        ASSERT_TRUE(wire.write(c.cmdAddr, fjordCmd(0x06)));
        sleepMs(10);
        EXPECT_EQ(wire.read(c.cmdAddr, 2), ack);
        EXPECT_EQ(chip().configuration(), config);

        // The version read sees it.
        ASSERT_TRUE(wire.write(c.cmdAddr, fjordCmd(0x07)));
        sleepMs(10);
        const Bytes block = readBlock(wire, c.cfgAddr);
        EXPECT_EQ(block, Bytes(config.begin(), config.begin() + 64));
        ASSERT_TRUE(wire.write(c.cmdAddr, fjordCmd(0x08)));
        // The download went to the configuration, not into registers it spans.
        EXPECT_EQ(chip().registers().read(chip().profile().fwBufAddr, 16), ramBefore);
    }
}

TEST_F(EmuConfigDownloadTest, OlderFamiliesSignalReadyInTheCommandRegister) {
    struct Case {
        int32_t type;
        uint32_t cmdAddr, cfgAddr;
        Bytes start, finish;
        uint8_t startReady, finishReady;
        size_t verLen;
    };
    const Case cases[] = {
        {CHIP_5410, 0x60CC, 0x60DC, cmd5410(0x80), {0x83}, 0x82, 0xFF, 4},
        {CHIP_5415R, 0x4160, 0x96F8, cmd5415R(0x80), cmd5415R(0x83), 0x82, 0x7F, 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(emu::familyName(c.type));
        startEmu(c.type);
        emutest::Wire wire(sys());
        const Bytes config = emu::makeConfiguration(c.type, 0x21, 4096);
        ASSERT_TRUE(wire.write(c.cmdAddr, c.start));
        sleepMs(100);
        EXPECT_EQ(wire.read(c.cmdAddr, 1), Bytes{c.startReady});
        ASSERT_TRUE(wire.write(c.cfgAddr, config));
        ASSERT_TRUE(wire.write(c.cmdAddr, c.finish));
        sleepMs(80);
        EXPECT_EQ(wire.read(c.cmdAddr, 1), Bytes{c.finishReady});
        EXPECT_EQ(wire.read(c.cfgAddr, c.verLen), Bytes(config.begin(), config.begin() + c.verLen));
        EXPECT_EQ(chip().configurationVersion(), 0x21);
    }
}

TEST_F(EmuConfigDownloadTest, Chip5415RAlternateFinishAnswerAndSessionEnd) {
    startEmu(CHIP_5415R);
    chip().setAlternateFinishAnswer(true);
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(0x4160, cmd5415R(0x80)));
    ASSERT_TRUE(wire.write(0x96F8, emu::makeConfiguration(CHIP_5415R, 3, 4096)));
    ASSERT_TRUE(wire.write(0x4160, cmd5415R(0x83)));
    sleepMs(80);
    EXPECT_EQ(wire.read(0x4160, 3), (Bytes{0x7E, 0x00, 0x07}));
    ASSERT_TRUE(wire.write(0x4160, {0x7D, 0x00, 0x00, 0x00, 0x7D}));
    EXPECT_EQ(chip().configurationVersion(), 3);

    // A session ended in the middle drops what was written.
    ASSERT_TRUE(wire.write(0x4160, cmd5415R(0x80)));
    ASSERT_TRUE(wire.write(0x96F8, emu::makeConfiguration(CHIP_5415R, 4, 4096)));
    ASSERT_TRUE(wire.write(0x4160, {0x7D, 0x00, 0x00, 0x00, 0x7D}));
    EXPECT_EQ(chip().cfgSession(), emu::CfgSession::idle);
    EXPECT_EQ(chip().configurationVersion(), 3);
}

TEST_F(EmuConfigDownloadTest, StepsOutOfOrderAreNotAcknowledged) {
    struct Case {
        const char* name;
        std::vector<uint8_t> codes;  // fjord command codes sent in order, data after 0x04
        const char* error;
    };
    const Case cases[] = {
        {"finish without write done", {0x04, 0x06}, "configuration finish before write done"},
        {"write done without start", {0x05}, "configuration write done outside a download"},
        {"finish without start", {0x06}, "configuration finish outside a download"},
        {"read start in a download", {0x04, 0x07}, "configuration read started during"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startEmu(CHIP_FJORDK);
        emutest::Wire wire(sys());
        for (const uint8_t code : c.codes) {
            ASSERT_TRUE(wire.write(0x10174, fjordCmd(code)));
            if (code == 0x04) {
                ASSERT_TRUE(wire.write(0x13B74, emu::makeConfiguration(3, 7, 64)));
            }
            sleepMs(10);
        }
        EXPECT_EQ(wire.read(0x10174, 2), (Bytes{0x00, 0x00}));  // the last one stays unanswered
        EXPECT_EQ(chip().configurationVersion(), 1);
        expectProtocolErrors({c.error});
    }
}

TEST_F(EmuConfigDownloadTest, FinishWithoutDataKeepsTheOldConfiguration) {
    startEmu(CHIP_5410);
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(0x60CC, cmd5410(0x80)));
    ASSERT_TRUE(wire.write(0x60CC, {0x83}));
    EXPECT_EQ(chip().configurationVersion(), 1);
    expectProtocolErrors({"configuration download finished without data"});
}

TEST_F(EmuConfigDownloadTest, AStartedAgainDownloadForgetsEarlierData) {
    startEmu(CHIP_FJORDK);
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(0x10174, fjordCmd(0x04)));
    ASSERT_TRUE(wire.write(0x13B74, Bytes(200, 0xEE)));
    ASSERT_TRUE(wire.write(0x10174, fjordCmd(0x04)));
    const Bytes config = emu::makeConfiguration(CHIP_FJORDK, 0x0C, 64);
    ASSERT_TRUE(wire.write(0x13B74, config));
    ASSERT_TRUE(wire.write(0x10174, fjordCmd(0x05)));
    ASSERT_TRUE(wire.write(0x10174, fjordCmd(0x06)));
    EXPECT_EQ(chip().configuration(), config);
}

TEST_F(EmuConfigDownloadTest, FinishThatNeverBecomesReady) {
    startEmu(CHIP_5410);
    ASSERT_TRUE(chip().addFault(emu::faults::withholdAck(emu::ChipCommand::cfgFinish)));
    emutest::Wire wire(sys());
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_TRUE(wire.write(0x60CC, cmd5410(0x80)));
        sleepMs(100);
        EXPECT_EQ(wire.read(0x60CC, 1), Bytes{0x82});
        ASSERT_TRUE(wire.write(0x60DC, emu::makeConfiguration(CHIP_5410, 2, 4096)));
        ASSERT_TRUE(wire.write(0x60CC, {0x83}));
        sleepMs(1000);
        EXPECT_EQ(wire.read(0x60CC, 1), Bytes{0x83});
    }
    EXPECT_EQ(chip().commandsSeen(emu::ChipCommand::cfgFinish), 2);
}

}  // namespace
