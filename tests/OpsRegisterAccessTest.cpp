#include <gtest/gtest.h>

#include <functional>

#include "chip/ChipProfile.h"
#include "ops/RegisterAccess.h"
#include "tests/ScriptedHid.h"
#include "tests/TestSupport.h"
#include "tlc/TlcConnection.h"

namespace {

using testsupport::Bytes;
using testsupport::countLine;
using testsupport::logLines;
using testsupport::ScriptedHid;

class OpsRegisterAccessTest : public testsupport::ProcessFixture {
  protected:
    void useChip(int32_t type) {
        chipType = type;
        initChipProfile();
    }
    void SetUp() override {
        ProcessFixture::SetUp();
        useChip(CHIP_FJORDK);
    }
};

using Operation = std::function<int32_t(uint8_t*)>;

struct RunMode {
    const char* name;
    Operation call;
    int32_t exhaustedCode;
    const char* what;  // "Read" or "Write"
};

const RunMode kRunModes[] = {
    {"readReg", [](uint8_t* b) { return readReg(0x10010, b, 3); }, -2, "Read"},
    {"writeReg", [](uint8_t* b) { return writeReg(0x10010, b, 3); }, -3, "Write"},
    {"writeCmd", [](uint8_t* b) { return writeCmd(b, 3); }, -3, "Write"},
};

TEST_F(OpsRegisterAccessTest, NullBufferIsRefusedBeforeTheDevice) {
    for (const RunMode& mode : kRunModes) {
        SCOPED_TRACE(mode.name);
        log_->clear();
        ScriptedHid hid(kTlcFramingV2);
        EXPECT_EQ(mode.call(nullptr), -1);
        EXPECT_TRUE(hid.events.empty());
        const std::string fn = mode.name;
        EXPECT_EQ(logLines(),
                  (std::vector<std::string>{"   [Debug]  <" + fn + "> Function begins.\n",
                                            "   [Error] <" + fn + "> The dataBuf cannot be NULL.\n",
                                            "   [Debug]  <" + fn + "> Function ends.\n"}));
    }
}

TEST_F(OpsRegisterAccessTest, OpenFailureGivesMinusTwoWithoutClose) {
    for (const RunMode& mode : kRunModes) {
        SCOPED_TRACE(mode.name);
        log_->clear();
        clock_.clearWaits();
        ScriptedHid hid(kTlcFramingV2);
        hid.openResults = {-3, -3, -3};
        uint8_t buffer[3] = {0xAA, 0xBB, 0xCC};
        EXPECT_EQ(mode.call(buffer), -2);
        EXPECT_EQ(hid.events, (std::vector<std::string>{"open", "open", "open"}));
        EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{400, 400, 400}));
        EXPECT_EQ(logLines().back(),
                  "   [Debug]  <" + std::string(mode.name) + "> Function ends.\n");
        if (std::string(mode.name) == "readReg") {
            EXPECT_EQ(Bytes(buffer, buffer + 3), Bytes(3, 0)) << "zeroed before the open";
        }
    }
}

TEST_F(OpsRegisterAccessTest, ExhaustedRetriesCloseAndReportTheirCode) {
    for (const RunMode& mode : kRunModes) {
        SCOPED_TRACE(mode.name);
        log_->clear();
        clock_.clearWaits();
        ScriptedHid hid(kTlcFramingV2);
        for (size_t i = 0; i < 3; ++i)
            hid.failWrite(i);  // requests and writes alike
        uint8_t buffer[3] = {0x11, 0x22, 0x33};
        EXPECT_EQ(mode.call(buffer), mode.exhaustedCode);
        EXPECT_EQ(hid.count("open"), 1u);
        EXPECT_EQ(hid.events.back(), "close");
        EXPECT_EQ(hid.count("write"), 3u);
        EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{20, 20, 20}));
        const std::string fn = mode.name;
        const std::string w = mode.what;
        // Framed transfers fold into -1; the raw report reports write0's -2.
        const std::string ret = fn == "writeCmd" ? "-2" : "-1";
        for (int left = 2; left >= 0; --left) {
            EXPECT_EQ(countLine("   [Error] <" + fn + "> " + w + " reg failed. ret = " + ret +
                                ". Retry remaining: " + std::to_string(left) + ".\n"),
                      1u);
        }
        EXPECT_EQ(countLine("   [Error] <" + fn + "> " + w + " reg failed. ret = " + ret + ".\n"),
                  1u);
        EXPECT_FALSE(log_->contains("reg successfully"));
    }
}

TEST_F(OpsRegisterAccessTest, ReadSucceedsAfterTwoFailures) {
    ScriptedHid hid(kTlcFramingV2);
    hid.failReadAt(0x10010);
    hid.failReadAt(0x10010);
    hid.setRegs(0x10010, {0x0A, 0x0B, 0x0C});
    uint8_t buffer[3] = {0};
    EXPECT_EQ(readReg(0x10010, buffer, 3), 0);
    EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{0x0A, 0x0B, 0x0C}));
    EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{20, 20}));
    EXPECT_EQ(countLine("   [Error] <readReg> Read reg failed. ret = -1. Retry remaining: 2.\n"),
              1u);
    EXPECT_EQ(countLine("   [Error] <readReg> Read reg failed. ret = -1. Retry remaining: 1.\n"),
              1u);
    EXPECT_EQ(log_->count("Retry remaining"), 2u);
    EXPECT_EQ(countLine("    [Info] <readReg> Read reg successfully.\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <TlcConnection::readV2> Read 3 bytes from reg 0x10010.\n"), 1u);
    EXPECT_EQ(hid.events.back(), "close");
}

TEST_F(OpsRegisterAccessTest, WriteRegFramesTheBytesForTheChip) {
    useChip(CHIP_5410);  // framing version 1: 16-bit addresses
    ScriptedHid hid(kTlcFramingV1);
    const uint8_t data[3] = {0x01, 0x02, 0x03};
    EXPECT_EQ(writeReg(0x10010, data, 3), 0);
    ASSERT_EQ(hid.writes.size(), 1u);
    EXPECT_EQ(hid.writes[0],
              (Bytes{0x0E, 0x20, 0x00, 0x00, 0x08, 0x00, 0x00, 0x10, 0x00, 0x03, 1, 2, 3}));
    EXPECT_EQ(countLine("    [Info] <TlcConnection::writeV1> Write 3 bytes to reg from 0x0010.\n"),
              1u);
    EXPECT_EQ(countLine("    [Info] <writeReg> Write reg successfully.\n"), 1u);
    EXPECT_EQ(hid.events, (std::vector<std::string>{"open", "write", "close"}));
}

TEST_F(OpsRegisterAccessTest, WriteCmdSendsTheReportUnframed) {
    ScriptedHid hid(kTlcFramingV2);
    const uint8_t one[1] = {0x0E};
    const uint8_t restart[6] = {0x0E, 0x13, 0x00, 0x00, 0x01, 0x01};
    EXPECT_EQ(writeCmd(one, 1), 0);
    EXPECT_EQ(writeCmd(restart, 6), 0);
    ASSERT_EQ(hid.writes.size(), 2u);
    EXPECT_EQ(hid.writes[0], Bytes(one, one + 1));
    EXPECT_EQ(hid.writes[1], Bytes(restart, restart + 6));
    EXPECT_EQ(countLine("    [Info] <TlcConnection::write0> Write 1 byte successfully.\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <TlcConnection::write0> Write 6 bytes successfully.\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <writeCmd> Write reg successfully.\n"), 2u);
}

// ---- checkChipRegValueEx ---------------------------------------------------------------------

TEST_F(OpsRegisterAccessTest, CheckMatchesAtOnce) {
    ScriptedHid hid(kTlcFramingV2);
    hid.setRegs(0x10174, {0x80, 0x80});
    TlcConnection connection;
    const uint8_t expected[2] = {0x80, 0x80};
    EXPECT_EQ(checkChipRegValueEx(connection, 0x10174, expected, 2), 0);
    EXPECT_EQ(hid.readRequestsAt(0x10174), 1u);
    EXPECT_TRUE(clock_.waits().empty());
    EXPECT_EQ(logLines().back(), "   [Debug]  <checkChipRegValueEx> checkChipRegValueEx exit:0.\n");
}

TEST_F(OpsRegisterAccessTest, CheckThatNeverMatchesDoesNotWait) {
    ScriptedHid hid(kTlcFramingV2);
    hid.setRegs(0x10011, {0x55});
    TlcConnection connection;
    const uint8_t expected[1] = {0xAA};
    EXPECT_EQ(checkChipRegValueEx(connection, 0x10011, expected, 1), -1);
    EXPECT_EQ(hid.readRequestsAt(0x10011), 5u);
    EXPECT_TRUE(clock_.waits().empty());
    for (int left = 4; left >= 0; --left) {
        EXPECT_EQ(countLine("   [Error] <checkChipRegValueEx> <checkChipRegValueEx> Reg 0x10011 is "
                            "0x55 != 0xAA. Retry remaining: " +
                            std::to_string(left) + ".total cmp len:1.\n"),
                  1u);
    }
    EXPECT_EQ(countLine("   [Error] <checkChipRegValueEx> <checkChipRegValueEx> Reg 0x10011 != "
                        "0xAA.\n"),
              1u);
    EXPECT_EQ(logLines().back(),
              "   [Debug]  <checkChipRegValueEx> checkChipRegValueEx exit:-1.\n");
}

TEST_F(OpsRegisterAccessTest, CheckWaitsOnlyAfterFailedReads) {
    ScriptedHid hid(kTlcFramingV2);
    hid.failReadAt(0x10174);
    hid.answerAt(0x10174, {0x80, 0x00});  // second byte wrong
    hid.failReadAt(0x10174);
    hid.answerAt(0x10174, {0x80, 0x80});
    TlcConnection connection;
    const uint8_t expected[2] = {0x80, 0x80};
    EXPECT_EQ(checkChipRegValueEx(connection, 0x10174, expected, 2), 0);
    EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{30, 30}));
    EXPECT_EQ(countLine("   [Error] <checkChipRegValueEx> <checkChipRegValueEx> Read reg 0x10174 "
                        "failed. ret = -1. Retry remaining: 4.\n"),
              1u);
    // A mismatch lists every byte, the matching one too.
    EXPECT_EQ(
        countLine("   [Error] <checkChipRegValueEx> <checkChipRegValueEx> Reg 0x10174 is 0x80 "
                  "!= 0x80. Retry remaining: 3.total cmp len:2.\n"),
        1u);
    EXPECT_EQ(
        countLine("   [Error] <checkChipRegValueEx> <checkChipRegValueEx> Reg 0x10175 is 0x00 "
                  "!= 0x80. Retry remaining: 3.total cmp len:2.\n"),
        1u);
}

TEST_F(OpsRegisterAccessTest, CheckWhoseReadsAlwaysFail) {
    ScriptedHid hid(kTlcFramingV2);
    hid.failWritesTo(0x10174);
    TlcConnection connection;
    const uint8_t expected[2] = {0x80, 0x80};
    EXPECT_EQ(checkChipRegValueEx(connection, 0x10174, expected, 2), -1);
    EXPECT_EQ(clock_.waits(), std::vector<uint32_t>(5, 30));
    EXPECT_EQ(log_->count("<checkChipRegValueEx> Read reg 0x10174 failed. ret = -1."), 5u);
    EXPECT_EQ(log_->count("<checkChipRegValueEx> Reg 0x10174 != 0x80."), 1u);
    EXPECT_EQ(log_->count("<checkChipRegValueEx> Reg 0x10175 != 0x80."), 1u);
}

TEST_F(OpsRegisterAccessTest, CheckRefusesRunsLongerThanItsBuffer) {
    ScriptedHid hid(kTlcFramingV2);
    TlcConnection connection;
    const Bytes expected(65, 0);
    EXPECT_EQ(checkChipRegValueEx(connection, 0x10000, expected.data(), 65), -1);
    EXPECT_EQ(checkChipRegValueEx(connection, 0x10000, expected.data(), -1), -1);
    EXPECT_TRUE(hid.events.empty());
    EXPECT_EQ(checkChipRegValueEx(connection, 0x10000, expected.data(), 64), 0);
}

// ---- FjordKSendCfgCmd ------------------------------------------------------------------------

const uint8_t kReadStart[6] = {0x00, 0x00, 0x04, 0x07, 0x0B, 0x00};
const uint8_t kAck[2] = {0x80, 0x80};

TEST_F(OpsRegisterAccessTest, CfgCommandOutcomes) {
    struct Case {
        const char* name;
        std::function<void(ScriptedHid&)> script;
        int32_t expected;
        std::vector<uint32_t> waits;
        size_t commandsWritten;
    } cases[] = {
        {"acknowledged at once",
         [](ScriptedHid& h) {
             h.setRegs(0x10174, {0x80, 0x80});
         },
         0,
         {10},
         1},
        {"acknowledged on the second attempt",
         [](ScriptedHid& h) {
             for (int i = 0; i < 5; ++i)
                 h.answerAt(0x10174, {0x80, 0x00});
             h.setRegs(0x10174, {0x80, 0x80});
         },
         0,
         {10, 5, 10},
         2},
        {"never acknowledged", [](ScriptedHid&) {}, -1, {10, 5, 10, 5, 10, 5}, 3},
        {"command never written",
         [](ScriptedHid& h) { h.failWritesTo(0x10174); },
         -1,
         {5, 5, 5},
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log_->clear();
        clock_.clearWaits();
        ScriptedHid hid(kTlcFramingV2);
        c.script(hid);
        TlcConnection connection;
        EXPECT_EQ(FjordKSendCfgCmd(connection, 0x10174, kReadStart, 6, 0x10174, kAck, 2, 10),
                  c.expected);
        EXPECT_EQ(clock_.waits(), c.waits);
        const std::vector<Bytes> commands = hid.writesTo(0x10174);
        EXPECT_EQ(commands.size(), c.commandsWritten);
        for (const Bytes& command : commands)
            EXPECT_EQ(command, Bytes(kReadStart, kReadStart + 6));
    }
    // The last case: every attempt lists the command bytes.
    EXPECT_EQ(countLine("   [Error] <FjordKSendCfgCmd> send cfg cmd to ic failed.retry:3.\n"), 1u);
    EXPECT_EQ(countLine("   [Error] <FjordKSendCfgCmd> send cfg cmd i:4=0xb\n"), 3u);
    EXPECT_EQ(log_->count("send cfg cmd i:"), 18u);
}

TEST_F(OpsRegisterAccessTest, CfgCommandLogsEachUnacknowledgedAttempt) {
    ScriptedHid hid(kTlcFramingV2);
    TlcConnection connection;
    EXPECT_EQ(FjordKSendCfgCmd(connection, 0x10174, kReadStart, 6, 0x10174, kAck, 2, 10), -1);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        EXPECT_EQ(countLine("   [Error] <FjordKSendCfgCmd> check value failed.retry:" +
                            std::to_string(attempt) + ".\n"),
                  1u);
    }
    EXPECT_EQ(hid.readRequestsAt(0x10174), 15u);
}

}  // namespace
