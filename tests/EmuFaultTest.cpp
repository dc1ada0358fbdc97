// Fault injection and register overrides of the emulated chip and host.
#include <gtest/gtest.h>

#include "tests/EmuFixture.h"

namespace {

using emutest::Bytes;
using emutest::fjordCmd;

class EmuFaultTest : public EmuFixture {};

TEST_F(EmuFaultTest, AnswerFaultsHitOnlyTheirAddressAndCount) {
    startEmu(CHIP_FJORDK);
    const uint32_t pid = 0x1001E;
    ASSERT_TRUE(chip().addFault(emu::faults::wrongLengthAt(pid, 1)));
    ASSERT_TRUE(chip().addFault(emu::faults::corruptAnswerAt(0x10026, 1, 1)));  // 2nd read only
    emutest::Wire wire(sys());
    uint32_t lengthField = 0;
    Bytes data;
    ASSERT_TRUE(wire.rawRead(pid, 4, &lengthField, &data));
    EXPECT_EQ(lengthField, 5u);
    ASSERT_TRUE(wire.rawRead(pid, 4, &lengthField, &data));
    EXPECT_EQ(lengthField, 4u);
    EXPECT_EQ(wire.read(0x10026, 4), (Bytes{0x01, 0x00, 0x00, 0x00}));
    EXPECT_EQ(wire.read(0x10026, 4), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(wire.read(0x10026, 4), (Bytes{0x01, 0x00, 0x00, 0x00}));
}

TEST_F(EmuFaultTest, FailedAnswerTransferLosesOnlyThatAnswer) {
    startEmu(CHIP_FJORDK);
    ASSERT_TRUE(chip().addFault(emu::faults::failAnswerAt(0x1002B, 1)));
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.send(emutest::v2Read(0x1002B, 1)));
    Bytes answer;
    uint32_t err = 0;
    EXPECT_EQ(wire.receive(&answer, &err), HidReadResult::failed);
    EXPECT_EQ(err, emu::kOsGenFailure);
    EXPECT_EQ(wire.read(0x1002B, 1), Bytes{0x03});
}

TEST_F(EmuFaultTest, UnansweredRequestLeavesTheOldReportOrNothing) {
    {
        startEmu(CHIP_FJORDK);
        ASSERT_TRUE(chip().addFault(emu::faults::noAnswerAt(0x10026, 1)));
        emutest::Wire wire(sys());
        EXPECT_EQ(wire.read(0x1002B, 1), Bytes{0x03});
        ASSERT_TRUE(wire.send(emutest::v2Read(0x10026, 4)));
        Bytes answer;
        ASSERT_EQ(wire.receive(&answer), HidReadResult::ok);
        EXPECT_EQ(answer[4], 1);  // still the sensor id answer
        EXPECT_EQ(answer[5], 0x03);
    }
    startEmu(CHIP_FJORDK8);
    ASSERT_TRUE(chip().addFault(emu::faults::noAnswerAt(0x10026, 1)));
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.send(emutest::v3Read(0x10026, 4)));
    Bytes answer;
    EXPECT_EQ(wire.receive(&answer), HidReadResult::timeout);
}

TEST_F(EmuFaultTest, NthOutputReportFailsOrIsLost) {
    startEmu(CHIP_FJORDK);
    ASSERT_TRUE(chip().addFault(emu::faults::failOutputReport(2)));
    ASSERT_TRUE(chip().addFault(emu::faults::dropOutputReport(3)));
    emutest::Wire wire(sys());
    const uint32_t a = 0x12000;
    EXPECT_TRUE(wire.write(a, {0x11}));
    uint32_t err = 0;
    EXPECT_FALSE(wire.send(emutest::v2Write(a + 1, {0x22}), &err));
    EXPECT_EQ(err, emu::kOsGenFailure);
    EXPECT_TRUE(wire.send(emutest::v2Write(a + 2, {0x33})));  // lost without a trace
    EXPECT_TRUE(wire.write(a + 3, {0x44}));
    EXPECT_EQ(chip().registers().read(a, 4), (Bytes{0x11, 0x00, 0x00, 0x44}));
    EXPECT_EQ(chip().outputReports(), 2);  // what the chip itself received
}

TEST_F(EmuFaultTest, LostFirstReportOfAWriteShowsAsAGapOnTheChip) {
    startEmu(CHIP_FJORDK);
    ASSERT_TRUE(chip().addFault(emu::faults::dropWriteAt(0x14000)));
    emutest::Wire wire(sys());
    Bytes block(100, 0x5A);
    EXPECT_FALSE(wire.write(0x14000, block));  // the second report finds no first one
    EXPECT_EQ(chip().registers().get(0x14000), 0x00);
    expectProtocolErrors({"continuation report (sequence 1) at 0x14035 without a first report"});
}

TEST_F(EmuFaultTest, FailedInputReportLosesTheAnswer) {
    startEmu(CHIP_FJORDK);
    ASSERT_TRUE(chip().addFault(emu::faults::failInputReport(1)));
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.send(emutest::v2Read(0x1002B, 1)));
    Bytes answer;
    EXPECT_EQ(wire.receive(&answer), HidReadResult::failed);
    EXPECT_EQ(wire.read(0x1002B, 1), Bytes{0x03});
}

TEST_F(EmuFaultTest, AcknowledgementsCanBeWithheldOrCorrupted) {
    startEmu(CHIP_FJORDK);
    ASSERT_TRUE(chip().addFault(emu::faults::withholdAck(emu::ChipCommand::cfgReadStart, 1)));
    ASSERT_TRUE(chip().addFault(emu::faults::corruptAck(emu::ChipCommand::cfgReadEnd, 1)));
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(0x10174, fjordCmd(0x07)));
    sleepMs(10);
    EXPECT_EQ(wire.read(0x10174, 2), (Bytes{0x00, 0x00}));
    ASSERT_TRUE(wire.write(0x10174, fjordCmd(0x07)));  // the second start is acknowledged
    sleepMs(10);
    EXPECT_EQ(wire.read(0x10174, 2), (Bytes{0x80, 0x80}));
    ASSERT_TRUE(wire.write(0x10174, fjordCmd(0x08)));
    sleepMs(10);
    const Bytes ack = wire.read(0x10174, 2);
    EXPECT_NE(ack, (Bytes{0x80, 0x80}));
    EXPECT_NE(ack, (Bytes{0x00, 0x00}));
    EXPECT_EQ(chip().commandsSeen(emu::ChipCommand::cfgReadStart), 2);
}

TEST_F(EmuFaultTest, CorruptedStatusAnswerFailsItsChecksumOnly) {
    startEmu(CHIP_FJORDH3);
    ASSERT_TRUE(chip().addFault(emu::faults::corruptAck(emu::ChipCommand::reportQuery)));
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(0x10180, fjordCmd(0x33)));
    ASSERT_TRUE(wire.write(0x10180, fjordCmd(0x35)));
    sleepMs(50);
    EXPECT_EQ(wire.read(0x10180, 1), Bytes{0x80});
    const Bytes s = wire.read(0x10182, 5);
    EXPECT_EQ(s[2], 0x01);
    EXPECT_NE(static_cast<unsigned>(s[3] | (s[4] << 8)), s[0] + s[1] + s[2] + 5u);
}

TEST_F(EmuFaultTest, OverridesAnswerReadsThenGiveWay) {
    startEmu(CHIP_FJORDK);
    chip().overrideRead(0x1001E, {'A', 'B'}, 2);  // shorter than the read: rest from registers
    chip().overrideRead(0x1001E, {'Z', 'Z', 'Z', 'Z'}, 1);
    emutest::Wire wire(sys());
    EXPECT_EQ(wire.read(0x1001E, 4), (Bytes{'A', 'B', '2', '1'}));
    EXPECT_EQ(wire.read(0x1001E, 4), (Bytes{'A', 'B', '2', '1'}));
    EXPECT_EQ(wire.read(0x1001E, 4), (Bytes{'Z', 'Z', 'Z', 'Z'}));
    EXPECT_EQ(wire.read(0x1001E, 4), (Bytes{'0', '1', '2', '1'}));
    chip().overrideRead(0x1002B, {0x09}, emu::kForever);
    EXPECT_EQ(wire.read(0x1002B, 1), Bytes{0x09});
    EXPECT_EQ(wire.read(0x1002B, 1), Bytes{0x09});
    chip().clearOverrides();
    EXPECT_EQ(wire.read(0x1002B, 1), Bytes{0x03});
}

TEST_F(EmuFaultTest, NonsenseRulesAreRefused) {
    startEmu(CHIP_FJORDK);
    emu::FaultRule rule = emu::faults::failOpen();
    rule.action = emu::FaultDo::wrongLength;
    EXPECT_FALSE(chip().addFault(rule));
    rule = emu::faults::withholdAck(emu::ChipCommand::cfgStart);
    rule.action = emu::FaultDo::wrongVid;  // only a restart brings up a version id
    EXPECT_FALSE(chip().addFault(rule));
    rule = emu::faults::failOutputReport(1);
    rule.times = 0;
    EXPECT_FALSE(chip().addFault(rule));
    EXPECT_TRUE(chip().faults().rules().empty());
}

TEST_F(EmuFaultTest, FaultListFromText) {
    const ChipProfile p = chipProfileOf(CHIP_FJORDK);
    std::vector<emu::FaultRule> rules;
    std::string error;
    ASSERT_TRUE(
        emu::parseFaultList("fail-open:2; withhold-ack:cfg-finish, wrong-length:pid:3;fail-write:4;"
                            "bad-ram-check;fail-block-read:forever",
                            p, &rules, &error))
        << error;
    ASSERT_EQ(rules.size(), 8u);
    EXPECT_EQ(rules[0].on, emu::FaultOn::open);
    EXPECT_EQ(rules[0].times, 2);
    EXPECT_EQ(rules[1].command, emu::ChipCommand::cfgFinish);
    EXPECT_EQ(rules[1].action, emu::FaultDo::withholdAck);
    EXPECT_EQ(rules[1].times, emu::kForever);
    EXPECT_EQ(rules[2].address, p.pidAddr);
    EXPECT_FALSE(rules[2].anyAddress);
    EXPECT_EQ(rules[2].times, 3);
    EXPECT_EQ(rules[3].on, emu::FaultOn::outputReport);
    EXPECT_EQ(rules[3].skip, 3);
    EXPECT_EQ(rules[4].address, p.fwBufAddr);
    EXPECT_EQ(rules[4].action, emu::FaultDo::corruptData);
    EXPECT_EQ(rules[5].address, p.rawDataAddr);
    EXPECT_EQ(rules[6].address, p.diffDataAddr);
    EXPECT_EQ(rules[7].address, p.baseDataAddr);

    const char* bad[] = {
        "fail-write",           "fail-write:0",    "withhold-ack:bogus", "wrong-length:0x1G",
        "wrong-length:nowhere", "fail-open:never", "disappear:3:2",      "explode"};
    for (const char* text : bad) {
        SCOPED_TRACE(text);
        std::vector<emu::FaultRule> none;
        error.clear();
        EXPECT_FALSE(emu::parseFaultList(text, p, &none, &error));
        EXPECT_TRUE(none.empty());
        EXPECT_NE(error.find(text), std::string::npos) << error;
    }
}

}  // namespace
