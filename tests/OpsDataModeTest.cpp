#include <gtest/gtest.h>

#include "chip/ChipProfile.h"
#include "ops/DataMode.h"
#include "tests/ScriptedHid.h"
#include "tests/TestSupport.h"
#include "tlc/TlcConnection.h"

namespace {

using testsupport::Bytes;
using testsupport::countLine;
using testsupport::ScriptedHid;

const Bytes k5410DataMode{0x01, 0x00, 0xFF};
const Bytes kFjordDataMode{0x00, 0x00, 0x04, 0x02, 0x06, 0x00};
const Bytes kFjordNormalMode{0x00, 0x00, 0x04, 0x00, 0x04, 0x00};

class OpsDataModeTest : public testsupport::ProcessFixture {
  protected:
    void useChip(int32_t type) {
        chipType = type;
        initChipProfile();
    }
    std::vector<uint32_t> repeat(std::vector<uint32_t> part, int times) {
        std::vector<uint32_t> out;
        for (int i = 0; i < times; ++i)
            out.insert(out.end(), part.begin(), part.end());
        return out;
    }
};

TEST_F(OpsDataModeTest, DispatchByChipType) {
    struct Case {
        int32_t type;
        uint32_t cmdAddr;
        Bytes cmd;
    } cases[] = {
        {CHIP_5410, 0x60CC, k5410DataMode},
        {CHIP_5415R, 0x4160, {0x01, 0x00, 0x00, 0x00, 0x01}},
        {CHIP_FJORDK, 0x10174, kFjordDataMode},
        {CHIP_FJORDH3, 0x10180, kFjordDataMode},
        {CHIP_CORVINA, 0x10174, kFjordDataMode},
        {CHIP_FJORDK4, 0x10174, kFjordDataMode},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        useChip(c.type);
        clock_.clearWaits();
        ScriptedHid hid(chipProfile.protoType);
        // 0xFF is both the 5410 acknowledgement and carries the fjord status bit;
        // the fjord family needs exactly 0x80.
        hid.setRegs(c.cmdAddr, {static_cast<uint8_t>(c.type <= CHIP_5415R ? 0xFF : 0x80)});
        TlcConnection connection;
        EXPECT_TRUE(SwitchToDataModel(connection));
        ASSERT_FALSE(hid.writesTo(c.cmdAddr).empty());
        EXPECT_EQ(hid.writesTo(c.cmdAddr)[0], c.cmd);
        EXPECT_EQ(hid.writesTo(chipProfile.dataReadyAddr), (std::vector<Bytes>{{0x00}}));
        EXPECT_EQ(clock_.waits(),
                  c.type <= CHIP_5415R ? std::vector<uint32_t>{5} : std::vector<uint32_t>{50});
    }
}

TEST_F(OpsDataModeTest, FjordK8AndUnknownChipsHaveNoDataMode) {
    for (int32_t type : {static_cast<int32_t>(CHIP_FJORDK8), 0}) {
        useChip(type);
        log_->clear();
        ScriptedHid hid(kTlcFramingV3);
        TlcConnection connection;
        EXPECT_FALSE(SwitchToDataModel(connection));
        EXPECT_TRUE(hid.events.empty());
        EXPECT_EQ(countLine("   [Error] <SwitchToDataModel> unsupport disable report ,chip type:" +
                            std::to_string(type) + ".\n"),
                  1u);
    }
}

TEST_F(OpsDataModeTest, Switch5410FirstPollReady) {
    useChip(CHIP_5410);
    ScriptedHid hid(kTlcFramingV1);
    hid.setRegs(0x60CC, {0xFF});
    TlcConnection connection;
    EXPECT_TRUE(SwitchToDataModel(connection));
    // Command, one poll, the ready flag cleared.
    const auto frames = hid.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].op, 0x00);
    EXPECT_EQ(frames[0].payload, k5410DataMode);
    EXPECT_EQ(frames[1].op, 0x01);
    EXPECT_EQ(frames[1].addr, 0x60CCu);
    EXPECT_EQ(frames[2].op, 0x00);
    EXPECT_EQ(frames[2].addr, 0x4100u);
    EXPECT_EQ(frames[2].payload, Bytes{0x00});
    EXPECT_EQ(clock_.waits(), std::vector<uint32_t>{5});
    EXPECT_EQ(countLine("    [Info] <SwitchToDataMode5410> Switch to data mode.\n"), 1u);
}

TEST_F(OpsDataModeTest, Switch5410NeverReady) {
    useChip(CHIP_5410);
    ScriptedHid hid(kTlcFramingV1);
    hid.setRegs(0x60CC, {0x01});
    TlcConnection connection;
    EXPECT_FALSE(SwitchToDataModel(connection));
    EXPECT_EQ(hid.writesTo(0x60CC).size(), 3u);
    EXPECT_EQ(hid.readRequestsAt(0x60CC), 15u);
    EXPECT_TRUE(hid.writesTo(0x4100).empty());
    EXPECT_EQ(clock_.waits(), repeat({5, 2, 2, 2, 2, 2}, 3));
    EXPECT_EQ(countLine("   [Error] <SwitchToDataMode5410> switch to data model failed at "
                        "readback,cmd value is:0x1,need:0xff\n"),
              1u);
}

TEST_F(OpsDataModeTest, Switch5410FailedReadsAreSkippedWithoutWaiting) {
    useChip(CHIP_5415R);
    ScriptedHid hid(kTlcFramingV1);
    hid.failReadAt(0x4160);
    hid.failReadAt(0x4160);
    hid.answerAt(0x4160, {0x00});
    hid.answerAt(0x4160, {0xFF});
    TlcConnection connection;
    EXPECT_TRUE(SwitchToDataModel(connection));
    EXPECT_EQ(hid.readRequestsAt(0x4160), 4u);
    EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{5, 2}));
    EXPECT_EQ(hid.writesTo(0x4180), (std::vector<Bytes>{{0x00}}));
}

TEST_F(OpsDataModeTest, Switch5410CommandNeverWritten) {
    useChip(CHIP_5410);
    ScriptedHid hid(kTlcFramingV1);
    hid.failWritesTo(0x60CC);
    TlcConnection connection;
    EXPECT_FALSE(SwitchToDataModel(connection));
    EXPECT_EQ(hid.writesTo(0x60CC).size(), 3u);
    EXPECT_EQ(hid.readRequestsAt(0x60CC), 0u);
    EXPECT_TRUE(clock_.waits().empty());
    EXPECT_EQ(countLine("   [Error] <SwitchToDataMode5410> Write data cmd failed, ret:-1\n"), 1u);
}

TEST_F(OpsDataModeTest, SwitchFjordRetriesUntilStatusAccepted) {
    useChip(CHIP_FJORDK);
    ScriptedHid hid(kTlcFramingV2);
    // Attempt 0: the command is refused; attempt 1: the status never reaches
    // 0x80; attempt 2: accepted at once.
    hid.failWrite(0);
    for (int i = 0; i < 10; ++i)
        hid.answerAt(0x10174, {0x01});
    hid.answerAt(0x10174, {0x80});
    TlcConnection connection;
    EXPECT_TRUE(SwitchToDataModel(connection));
    EXPECT_EQ(hid.writesTo(0x10174).size(), 3u);
    std::vector<uint32_t> waits{50, 50};
    for (int i = 0; i < 10; ++i)
        waits.push_back(10);
    waits.push_back(50);
    EXPECT_EQ(clock_.waits(), waits);
    EXPECT_EQ(
        countLine("   [Error] <SwitchToDataModeFjord> Send switch to rawdata mode cmd failed, "
                  "retry:0\n"),
        1u);
    EXPECT_EQ(countLine("   [Error] <SwitchToDataModeFjord> CheckCmdStatus failed, retry:1\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <SwitchToDataModeFjord> CheckCmdStatus success!\n"), 1u);
    EXPECT_EQ(hid.writesTo(0x10274), (std::vector<Bytes>{{0x00}}));
}

TEST_F(OpsDataModeTest, SwitchFjordGivesUpWithLastCode) {
    struct Case {
        const char* name;
        bool failWrites;
        const char* last;
    } cases[] = {
        {"command refused", true, "ret:-1"},
        {"status wrong", false, "ret:-2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(CHIP_FJORDH3);
        log_->clear();
        ScriptedHid hid(kTlcFramingV2);
        if (c.failWrites)
            hid.failWritesTo(0x10180);
        hid.setRegs(0x10180, {0x81});
        TlcConnection connection;
        EXPECT_FALSE(SwitchToDataModel(connection));
        EXPECT_EQ(hid.writesTo(0x10180).size(), 3u);
        EXPECT_TRUE(hid.writesTo(0x10338).empty());
        EXPECT_EQ(countLine("   [Error] <SwitchToDataModeFjord> SwitchToDataModeFjord failed, " +
                            std::string(c.last) + "\n"),
                  1u);
    }
}

TEST_F(OpsDataModeTest, SwitchOutSendsNormalModeOnceEvenWhenItFails) {
    useChip(CHIP_CORVINA);
    ScriptedHid hid(kTlcFramingV2);
    hid.failWritesTo(0x10174);
    TlcConnection connection;
    SwitchOutDataModel(connection);
    EXPECT_EQ(hid.writesTo(0x10174), (std::vector<Bytes>{kFjordNormalMode}));
    EXPECT_EQ(clock_.waits(), std::vector<uint32_t>{10});
    EXPECT_EQ(countLine("    [Info] <SwitchOutDataModel> Switch to normal mode.\n"), 1u);
}

}  // namespace
