#include <gtest/gtest.h>

#include <cstring>

#include "chip/ChipProfile.h"
#include "tests/ScriptedHid.h"
#include "tests/TestSupport.h"
#include "tlc/TlcConnection.h"

namespace {

using testsupport::Bytes;
using testsupport::countLine;
using testsupport::ScriptedHid;

class TlcBasicPropertiesTest : public testsupport::ProcessFixture {
  protected:
    void SetUp() override {
        ProcessFixture::SetUp();
        chipType = CHIP_FJORDK;  // pid 0x1001E, vid 0x10026, sid 0x1002B, framing 2
        initChipProfile();
    }
};

TEST_F(TlcBasicPropertiesTest, ReadsAllThreeValues) {
    ScriptedHid hid(kTlcFramingV2);
    hid.setRegs(0x1001E, {'K', '1', '2', '3'});
    hid.setRegs(0x10026, {0x01, 0x02, 0xA3, 0xB4});
    hid.setRegs(0x1002B, {0x07});
    TlcConnection connection;
    EXPECT_EQ(connection.getBasicProperties(), 0);
    EXPECT_STREQ(connection.pid, "K123");
    EXPECT_EQ(Bytes(connection.vid, connection.vid + 5), (Bytes{0x01, 0x02, 0xA3, 0xB4, 0x00}));
    EXPECT_EQ(connection.sensorId, 7);
    ASSERT_EQ(hid.writes.size(), 3u);  // one request per value, in this order
    EXPECT_EQ(hid.frame(0).addr, 0x1001Eu);
    EXPECT_EQ(hid.frame(0).len, 4);
    EXPECT_EQ(hid.frame(1).addr, 0x10026u);
    EXPECT_EQ(hid.frame(1).len, 4);
    EXPECT_EQ(hid.frame(2).addr, 0x1002Bu);
    EXPECT_EQ(hid.frame(2).len, 1);
    EXPECT_EQ(countLine("    [Info] <TlcConnection::getBasicProperties>  Read Pid(K123), Vid(01 02 "
                        "A3 B4) and Sid(7) successfully.\n"),
              1u);
    EXPECT_EQ(countLine("    [Info] <TlcConnection::readV2> Read 4 bytes from reg 0x1001E.\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <TlcConnection::readV2> Read 4 bytes from reg 0x10026.\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <TlcConnection::readV2> Read 1 byte from reg 0x1002B.\n"), 1u);
    EXPECT_TRUE(clock_.waits().empty());
}

TEST_F(TlcBasicPropertiesTest, FailureKeepsValuesReadBefore) {
    struct Case {
        const char* name;
        uint32_t failingAddr;
        int expected;
        const char* retryText;
        bool pidRead, vidRead;
    } cases[] = {
        {"pid never answers", 0x1001E, -1, "Read Pid failed. Retry remaining: ", false, false},
        {"vid never answers", 0x10026, -2, "Read Vid failed. Retry remaining: ", true, false},
        {"sid never answers", 0x1002B, -3, "Read Sid failed. Retry remaining: ", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log_->clear();
        clock_.clearWaits();
        ScriptedHid hid(kTlcFramingV2);
        hid.setRegs(0x1001E, {'P', 'I', 'D', '4'});
        hid.setRegs(0x10026, {1, 2, 3, 4});
        hid.setRegs(0x1002B, {9});
        for (int i = 0; i < 6; ++i)
            hid.failReadAt(c.failingAddr);
        TlcConnection connection;
        EXPECT_EQ(connection.getBasicProperties(), c.expected);
        EXPECT_EQ(hid.readRequestsAt(c.failingAddr), 5u);
        EXPECT_EQ(clock_.waits(), std::vector<uint32_t>(5, 20));
        EXPECT_STREQ(connection.pid, c.pidRead ? "PID4" : "");
        const Bytes vidExpected = c.vidRead ? Bytes{1, 2, 3, 4} : Bytes(4, 0);
        EXPECT_EQ(Bytes(connection.vid, connection.vid + 4), vidExpected);
        EXPECT_EQ(connection.sensorId, 16);
        for (int left = 4; left >= 0; --left) {
            EXPECT_EQ(log_->count(c.retryText + std::to_string(left) + "."), 1u) << left;
        }
        // The later values are not even asked for.
        if (!c.pidRead) {
            EXPECT_EQ(hid.readRequestsAt(0x10026), 0u);
        }
        if (!c.vidRead) {
            EXPECT_EQ(hid.readRequestsAt(0x1002B), 0u);
        }
        EXPECT_FALSE(log_->contains("successfully"));
        EXPECT_EQ(testsupport::logLines().back(),
                  "   [Debug]  <TlcConnection::getBasicProperties> Function ends.\n");
    }
    // The sensor id has no final failure line of its own.
    EXPECT_EQ(countLine("   [Error] <TlcConnection::getBasicProperties> Read Sid failed.\n"), 0u);
}

TEST_F(TlcBasicPropertiesTest, FinalLineAfterFiveFailures) {
    ScriptedHid hid(kTlcFramingV2);
    for (int i = 0; i < 5; ++i)
        hid.failReadAt(0x10026);
    TlcConnection connection;
    EXPECT_EQ(connection.getBasicProperties(), -2);
    EXPECT_EQ(countLine("   [Error] <TlcConnection::getBasicProperties> Read Vid failed.\n"), 1u);
}

TEST_F(TlcBasicPropertiesTest, LateSuccessLogsEachFailedAttemptFirst) {
    ScriptedHid hid(kTlcFramingV2);
    hid.setRegs(0x1001E, {'A', 'B', 'C', 'D'});
    hid.failReadAt(0x1001E);
    hid.failReadAt(0x1001E);
    TlcConnection connection;
    EXPECT_EQ(connection.getBasicProperties(), 0);
    EXPECT_STREQ(connection.pid, "ABCD");
    EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{20, 20}));
    const std::vector<std::string> lines = testsupport::logLines();
    auto first = std::find(lines.begin(), lines.end(),
                           "   [Error] <TlcConnection::getBasicProperties> Read Pid failed. Retry "
                           "remaining: 4.\n");
    auto done = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("Read Pid(ABCD)") != std::string::npos;
    });
    ASSERT_NE(first, lines.end());
    ASSERT_NE(done, lines.end());
    EXPECT_LT(first - lines.begin(), done - lines.begin());
    EXPECT_EQ(log_->count("Read Pid failed. Retry remaining: 3."), 1u);
}

TEST_F(TlcBasicPropertiesTest, ProductIdBytesAreKeptAsRead) {
    ScriptedHid hid(kTlcFramingV2);
    hid.setRegs(0x1001E, {'A', 0x00, 0x7F, 'Z'});
    TlcConnection connection;
    EXPECT_EQ(connection.getBasicProperties(), 0);
    EXPECT_EQ(Bytes(connection.pid, connection.pid + 5), (Bytes{'A', 0x00, 0x7F, 'Z', 0x00}));
    EXPECT_TRUE(log_->contains(" Read Pid(A), Vid(00 00 00 00) and Sid(0) successfully."));
}

}  // namespace
