#include <gtest/gtest.h>

#include <numeric>

#include "chip/ChipProfile.h"
#include "hid/HidInterface.h"
#include "tests/ScriptedHid.h"
#include "tests/TestSupport.h"
#include "tlc/TlcConnection.h"

namespace {

using testsupport::Bytes;
using testsupport::countLine;
using testsupport::ScriptedHid;

Bytes counting(size_t n, uint8_t first = 1) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), first);
    return b;
}

Bytes slice(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

class TlcConnectionTest : public testsupport::ProcessFixture {
  protected:
    // A connection of the given framing.
    static void useFraming(TlcConnection& connection, int32_t framing) {
        connection.protoType = framing;
    }
};

// ---- register writes on the wire ------------------------------------------------------------

struct WireReport {
    size_t size;  // bytes handed to the HID layer
    Bytes header;
    size_t payloadFrom;  // offset of this report's payload in the written data
    size_t payloadLen;
};

struct WriteCase {
    const char* name;
    TlcFraming version;
    uint32_t addr;
    size_t len;
    std::vector<WireReport> reports;
};

TEST_F(TlcConnectionTest, WritesAreSplitIntoFramesOfTheVersion) {
    const WriteCase cases[] = {
        {"v1 110 bytes",
         kTlcFramingV1,
         0x1234,
         110,
         {{65, {0x0E, 0x20, 1, 0, 60, 0x00, 0x12, 0x34, 0, 55}, 0, 55},
          {65, {0x0E, 0x20, 0, 1, 60, 0x00, 0x12, 0x6B, 0, 55}, 55, 55}}},
        {"v1 address above 0xFFFF keeps the low 16 bits and wraps",
         kTlcFramingV1,
         0x1FFF0,
         60,
         {{65, {0x0E, 0x20, 1, 0, 60, 0x00, 0xFF, 0xF0, 0, 55}, 0, 55},
          {15, {0x0E, 0x20, 0, 1, 10, 0x00, 0x00, 0x27, 0, 5}, 55, 5}}},
        {"v2 53 bytes",
         kTlcFramingV2,
         0x10174,
         53,
         {{65, {0x0E, 0x20, 0, 0, 60, 0x00, 0x00, 0x01, 0x01, 0x74, 0, 53}, 0, 53}}},
        {"v2 54 bytes",
         kTlcFramingV2,
         0x10174,
         54,
         {{65, {0x0E, 0x20, 1, 0, 60, 0x00, 0x00, 0x01, 0x01, 0x74, 0, 53}, 0, 53},
          {13, {0x0E, 0x20, 0, 1, 8, 0x00, 0x00, 0x01, 0x01, 0xA9, 0, 1}, 53, 1}}},
        {"v3 300 bytes",
         kTlcFramingV3,
         0x10011000,
         300,
         {{268, {0x0E, 0x20, 0, 0, 0, 0x00, 0x10, 0x01, 0x10, 0x00, 0x01, 0x00}, 0, 256},
          {268, {0x0E, 0x20, 0, 0, 0, 0x00, 0x10, 0x01, 0x11, 0x00, 0x00, 44}, 256, 44}}},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHid hid(c.version);
        TlcConnection connection;
        useFraming(connection, c.version);
        const Bytes data = counting(c.len);
        ASSERT_EQ(connection.write(c.addr, data.data(), static_cast<int32_t>(c.len), false), 0);
        ASSERT_EQ(hid.writes.size(), c.reports.size());
        for (size_t i = 0; i < c.reports.size(); ++i) {
            const Bytes& wire = hid.writes[i];
            const WireReport& expected = c.reports[i];
            ASSERT_EQ(wire.size(), expected.size) << "report " << i;
            EXPECT_EQ(slice(wire, 0, expected.header.size()), expected.header) << "report " << i;
            EXPECT_EQ(slice(wire, expected.header.size(), expected.payloadLen),
                      slice(data, expected.payloadFrom, expected.payloadLen))
                << "report " << i;
        }
    }
}

TEST_F(TlcConnectionTest, WriteSuccessLineOnlyWhenAsked) {
    ScriptedHid hid(kTlcFramingV1);
    TlcConnection connection;
    useFraming(connection, kTlcFramingV1);
    const Bytes data = counting(2);
    ASSERT_EQ(connection.write(0x4535, data.data(), 2, false), 0);
    EXPECT_FALSE(log_->contains("to reg from"));
    ASSERT_EQ(connection.write(0x4535, data.data(), 1, true), 0);
    ASSERT_EQ(connection.write(0x4535, data.data(), 2, true), 0);
    EXPECT_EQ(countLine("    [Info] <TlcConnection::writeV1> Write 1 byte to reg from 0x4535.\n"),
              1u);
    EXPECT_EQ(countLine("    [Info] <TlcConnection::writeV1> Write 2 bytes to reg from 0x4535.\n"),
              1u);
}

TEST_F(TlcConnectionTest, ZeroLengthWriteSendsNothing) {
    for (const TlcFraming version : {kTlcFramingV1, kTlcFramingV2, kTlcFramingV3}) {
        ScriptedHid hid(version);
        TlcConnection connection;
        useFraming(connection, version);
        const uint8_t none[1] = {0};
        EXPECT_EQ(connection.write(0x10, none, 0, true), 0) << "version " << version;
        EXPECT_TRUE(hid.writes.empty()) << "version " << version;
    }
    EXPECT_EQ(log_->count("Write 0 byte to reg from 0x0010."), 3u);
}

TEST_F(TlcConnectionTest, FailedReportEndsTheWrite) {
    struct Case {
        TlcFraming version;
        size_t len;
        const char* line;
    } cases[] = {
        {kTlcFramingV1, 110,
         "   [Error] <TlcConnection::writeV1> Failed when writing data to reg 0x1237. "
         "transferLength = 55, ret = -2.\n"},
        {kTlcFramingV2, 200,
         "   [Error] <TlcConnection::writeV2> Failed when writing data to reg 0x10037. "
         "transferLength = 53, ret = -2.\n"},
        {kTlcFramingV3, 600,
         "   [Error] <TlcConnection::writeV3> Failed when writing data to reg 0x10102. "
         "transferLength = 256, ret = -2.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        log_->clear();
        ScriptedHid hid(c.version);
        hid.failWrite(1);
        TlcConnection connection;
        useFraming(connection, c.version);
        const Bytes data = counting(c.len);
        const uint32_t addr = c.version == kTlcFramingV1 ? 0x11200 : 0x10002;
        EXPECT_EQ(connection.write(addr, data.data(), static_cast<int32_t>(c.len), true), -1);
        EXPECT_EQ(hid.writes.size(), 2u);  // nothing after the failed report
        EXPECT_EQ(countLine(c.line), 1u);
        EXPECT_FALSE(log_->contains("to reg from"));
    }
    EXPECT_TRUE(log_->contains("TlcConnection::writeV3 exit:-1."));
}

TEST_F(TlcConnectionTest, UnsupportedFramingVersionFailsWithoutTraffic) {
    ScriptedHid hid(kTlcFramingV2);
    TlcConnection connection;
    useFraming(connection, 0);
    uint8_t buffer[4] = {0};
    EXPECT_EQ(connection.write(0x10, buffer, 4, true), -1);
    EXPECT_EQ(connection.read(0x10, buffer, 4, true), -1);
    EXPECT_TRUE(hid.events.empty());
    EXPECT_EQ(
        countLine("   [Error] <TlcConnection::write> unsupport this proto type:0 to write.\n"), 1u);
    EXPECT_EQ(countLine("   [Error] <TlcConnection::read> unsupport this proto type:0 for read\n"),
              1u);
}

// ---- register reads -------------------------------------------------------------------------

TEST_F(TlcConnectionTest, LongReadsAreSplitIntoChunks) {
    struct Case {
        TlcFraming version;
        uint32_t addr;
        int32_t len;
        std::vector<std::pair<uint32_t, int>> requests;  // address, length
        size_t requestSize;
        int responseSize;
        Bytes requestHeader;  // bytes 0..5 of every request
    } cases[] = {
        {kTlcFramingV1, 0x14535, 61, {{0x4535, 60}, {0x4571, 1}}, 10, 65, {0x0E, 0x20, 0, 0, 5, 1}},
        {kTlcFramingV2,
         0x10174,
         61,
         {{0x10174, 60}, {0x101B0, 1}},
         12,
         65,
         {0x0E, 0x20, 0, 0, 7, 1}},
        {kTlcFramingV3,
         0x10174,
         257,
         {{0x10174, 256}, {0x10274, 1}},
         268,
         268,
         {0x0E, 0x20, 0, 0, 0, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        ScriptedHid hid(c.version);
        const Bytes regs = counting(static_cast<size_t>(c.len), 7);
        hid.setRegs(c.requests[0].first, regs);
        TlcConnection connection;
        useFraming(connection, c.version);
        Bytes buffer(static_cast<size_t>(c.len), 0xEE);
        ASSERT_EQ(connection.read(c.addr, buffer.data(), c.len, false), 0);
        EXPECT_EQ(buffer, regs);
        ASSERT_EQ(hid.writes.size(), c.requests.size());
        for (size_t i = 0; i < c.requests.size(); ++i) {
            EXPECT_EQ(hid.writes[i].size(), c.requestSize);
            EXPECT_EQ(slice(hid.writes[i], 0, 6), c.requestHeader);
            EXPECT_EQ(hid.frame(i).addr, c.requests[i].first);
            EXPECT_EQ(hid.frame(i).len, c.requests[i].second);
            EXPECT_EQ(hid.readLengths[i], c.responseSize);
        }
        EXPECT_EQ(hid.events, (std::vector<std::string>{"write", "read", "write", "read"}));
    }
}

TEST_F(TlcConnectionTest, WorkersRefuseMoreThanOneChunk) {
    ScriptedHid hid(kTlcFramingV2);
    TlcConnection connection;
    Bytes buffer(300);
    useFraming(connection, kTlcFramingV1);
    EXPECT_EQ(connection.readFramed(0, buffer.data(), 61, false), -1);
    useFraming(connection, kTlcFramingV2);
    EXPECT_EQ(connection.readFramed(0, buffer.data(), 61, false), -1);
    useFraming(connection, kTlcFramingV3);
    EXPECT_EQ(connection.readFramed(0, buffer.data(), 257, false), -1);
    EXPECT_TRUE(hid.events.empty());
    EXPECT_EQ(
        countLine("   [Error] <TlcConnection::readV2> Read failed, readLen(61) is bigger than "
                  "max(60).\n"),
        1u);
    EXPECT_EQ(
        countLine("   [Error] <TlcConnection::readV3> Read failed, readLen(257) is bigger than "
                  "max(256).\n"),
        1u);
}

TEST_F(TlcConnectionTest, FailingSecondChunkReportsBytesAlreadyRead) {
    ScriptedHid hid(kTlcFramingV2);
    const Bytes regs = counting(60);
    hid.answerAt(0x10000, regs);
    hid.failReadAt(0x1003C);
    TlcConnection connection;
    useFraming(connection, kTlcFramingV2);
    Bytes buffer(61, 0);
    EXPECT_EQ(connection.read(0x10000, buffer.data(), 61, true), -1);
    EXPECT_EQ(slice(buffer, 0, 60), regs);
    EXPECT_EQ(
        countLine("   [Error] <TlcConnection::read> read failed at addr:0x10000,len:61,already "
                  "read len:60.\n"),
        1u);
    EXPECT_EQ(
        countLine("   [Error] <TlcConnection::readV2> Read failed, because native read method "
                  "failed.\n"),
        1u);
    EXPECT_EQ(countLine("    [Info] <TlcConnection::readV2> Read 60 bytes from reg 0x10000.\n"),
              1u);
}

TEST_F(TlcConnectionTest, WorkerCodesForEachFailure) {
    struct Case {
        const char* name;
        TlcFraming version;
        int expected;
        const char* line;
    } cases[] = {
        {"request not sent", kTlcFramingV1, -2,
         "   [Error] <TlcConnection::readV1> Read failed, because write operation failed (Address "
         "and length cannot be sent). ret = -2.\n"},
        {"no response", kTlcFramingV3, -3,
         "   [Error] <TlcConnection::readV3> Read failed, because native read method failed.\n"},
        {"wrong length", kTlcFramingV2, -4,
         "   [Error] <TlcConnection::readV2> Valid data length from firmware verify failed. "
         "readLen = 4, fw_data_len = 5.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedHid hid(c.version);
        if (c.expected == -2)
            hid.failWrite(0);
        if (c.expected == -3)
            hid.queueReadFailure();
        if (c.expected == -4)
            hid.answerAt(0x40, {1, 2, 3, 4, 5}, 5);
        TlcConnection connection;
        useFraming(connection, c.version);
        uint8_t buffer[4] = {9, 9, 9, 9};
        const int r = connection.readFramed(0x40, buffer, 4, true);
        EXPECT_EQ(r, c.expected);
        EXPECT_EQ(countLine(c.line), 1u);
        EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes(4, 9)) << "buffer untouched";
        EXPECT_FALSE(log_->contains("from reg"));
    }
}

TEST_F(TlcConnectionTest, Version3LengthMismatchDumpsTheWholeResponse) {
    ScriptedHid hid(kTlcFramingV3);
    Bytes report(268);
    std::iota(report.begin(), report.end(), 0);  // byte i holds i (mod 256)
    report[0] = 0x0E;
    report[10] = 0x00;
    report[11] = 0x03;  // 3 bytes claimed, 2 asked
    hid.queueReport(report);
    TlcConnection connection;
    useFraming(connection, kTlcFramingV3);
    uint8_t buffer[2] = {0};
    EXPECT_EQ(connection.read(0x10, buffer, 2, false), -1);

    const std::vector<std::string> lines = testsupport::logLines();
    auto at = std::find(lines.begin(), lines.end(), "array len:268\n");
    ASSERT_NE(at, lines.end());
    std::vector<std::string> dump(at + 1, at + 1 + 27);
    ASSERT_EQ(dump.size(), 27u);
    EXPECT_EQ(dump[0], "0x0e,0x01,0x02,0x03,0x04,0x05,0x06,0x07,0x08,0x09,\n");
    EXPECT_EQ(dump[1], "0x00,0x03,0x0c,0x0d,0x0e,0x0f,0x10,0x11,0x12,0x13,\n");
    for (size_t i = 0; i < 26; ++i)
        EXPECT_EQ(dump[i].size(), 51u) << "line " << i;
    EXPECT_EQ(dump[26], "0x04,0x05,0x06,0x07,0x08,0x09,0x0a,0x0b,\n");  // bytes 260..267
    EXPECT_EQ(countLine("   [Error] <TlcConnection::readV3> Valid data length from firmware verify "
                        "failed. readLen = 2, fw_data_len = 3.\n"),
              1u);
    EXPECT_EQ(
        lines.back(),
        "   [Error] <TlcConnection::read> read failed at addr:0x0010,len:2,already read len:0.\n");
}

TEST_F(TlcConnectionTest, ReadSuccessLineLevelDependsOnVersion) {
    for (const TlcFraming version : {kTlcFramingV1, kTlcFramingV2, kTlcFramingV3}) {
        ScriptedHid hid(version);
        TlcConnection connection;
        useFraming(connection, version);
        uint8_t buffer[2];
        ASSERT_EQ(connection.read(0x402A, buffer, 2, true), 0);
        ASSERT_EQ(connection.read(0x402A, buffer, 1, false), 0);
    }
    EXPECT_EQ(countLine("    [Info] <TlcConnection::readV1> Read 2 bytes from reg 0x402A.\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <TlcConnection::readV2> Read 2 bytes from reg 0x402A.\n"), 1u);
    EXPECT_EQ(countLine("   [Debug]  <TlcConnection::readV3> Read 2 bytes from reg 0x402A.\n"), 1u);
    EXPECT_EQ(log_->count("from reg"), 3u);
}

// ---- open, close, raw reports ---------------------------------------------------------------

TEST_F(TlcConnectionTest, OpenRetriesThreeTimesWithWaits) {
    {
        ScriptedHid hid(kTlcFramingV2);
        hid.openResults = {5, 5};
        TlcConnection connection;
        EXPECT_EQ(connection.openTLC(), 0);
        EXPECT_EQ(hid.count("open"), 3u);
        EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{400, 400}));
        EXPECT_EQ(
            countLine("   [Error] <openTLC> Open TLC failed. ret = -2. Retry remaining: 1.\n"), 1u);
        EXPECT_EQ(countLine("    [Info] <openTLC> Open TLC successfully.\n"), 1u);
        EXPECT_EQ(
            countLine("   [Error] <TlcConnection::open> TLC connection open failed. ret = 5.\n"),
            2u);
    }
    clock_.clearWaits();
    log_->clear();
    {
        ScriptedHid hid(kTlcFramingV2);
        hid.openResults = {-1, -1, -1, 0};
        TlcConnection connection;
        EXPECT_EQ(connection.openTLC(), -1);
        EXPECT_EQ(hid.count("open"), 3u);
        EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{400, 400, 400}));
        EXPECT_EQ(
            countLine("   [Error] <openTLC> Open TLC failed. ret = -2. Retry remaining: 0.\n"), 1u);
        EXPECT_EQ(testsupport::logLines().back(), "   [Error] <openTLC> Open TLC failed.\n");
    }
}

TEST_F(TlcConnectionTest, UnconfiguredInterfaceFailsEveryCall) {
    TlcConnection connection;
    uint8_t report[4] = {0x0E, 1, 2, 3};
    EXPECT_EQ(connection.openTLC(), -1);
    EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{400, 400, 400}));
    EXPECT_EQ(countLine("   [Error] <openTLC> Open TLC failed. ret = -1. Retry remaining: 2.\n"),
              1u);
    EXPECT_EQ(connection.write0(report, 4, true), -1);
    EXPECT_EQ(connection.read0(report, 4), -1);
    connection.close();
    EXPECT_EQ(log_->count("Failed, because HID interface is not configured yet."), 3u + 3u);
    EXPECT_EQ(countLine("   [Error] <TlcConnection::close> Failed, because HID interface is not "
                        "configured yet.\n"),
              1u);
}

TEST_F(TlcConnectionTest, RawReportsPassThroughUnchanged) {
    ScriptedHid hid(kTlcFramingV2);
    TlcConnection connection;
    const uint8_t report[3] = {0x0E, 0x13, 0x00};
    EXPECT_EQ(connection.write0(report, 3, true), 0);
    EXPECT_EQ(connection.write0(report, 1, true), 0);
    ASSERT_EQ(hid.writes.size(), 2u);
    EXPECT_EQ(hid.writes[0], Bytes(report, report + 3));
    EXPECT_EQ(countLine("    [Info] <TlcConnection::write0> Write 3 bytes successfully.\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <TlcConnection::write0> Write 1 byte successfully.\n"), 1u);

    hid.failWrite(2, -3);
    EXPECT_EQ(connection.write0(report, 3, true), -2);
    EXPECT_EQ(
        countLine(
            "   [Error] <TlcConnection::write0> getHidInterface()->write failed. ret = -3.\n"),
        1u);
    hid.queueReadFailure(-1);
    uint8_t in[65];
    EXPECT_EQ(connection.read0(in, 65), -2);
    EXPECT_EQ(
        countLine("   [Error] <TlcConnection::read0> getHidInterface()->read failed. ret = -1.\n"),
        1u);
    hid.closeResult = -3;
    connection.close();
    EXPECT_EQ(
        countLine("   [Error] <TlcConnection::close> TLC connection close failed. ret = -3.\n"),
        1u);
}

TEST_F(TlcConnectionTest, NegativeLengthsNeverReachTheDevice) {
    ScriptedHid hid(kTlcFramingV2);
    TlcConnection connection;
    uint8_t buffer[4] = {0};
    EXPECT_EQ(connection.write0(buffer, -1, false), -2);
    EXPECT_EQ(connection.read0(buffer, -5), -2);
    EXPECT_TRUE(hid.events.empty());
}

TEST_F(TlcConnectionTest, ProtoTypeComesFromTheChipProfile) {
    const TlcFraming expected[] = {kTlcFramingV1, kTlcFramingV1, kTlcFramingV2, kTlcFramingV2,
                                   kTlcFramingV2, kTlcFramingV3, kTlcFramingV2};
    for (int type = 1; type <= 7; ++type) {
        chipType = type;
        initChipProfile();
        TlcConnection connection;
        EXPECT_EQ(connection.protoType, expected[type - 1]) << "chip type " << type;
        EXPECT_EQ(connection.sensorId, 16);
    }
}

}  // namespace
