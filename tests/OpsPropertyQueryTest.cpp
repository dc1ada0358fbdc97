#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "chip/ChipProfile.h"
#include "ops/PropertyQuery.h"
#include "tests/ScriptedHid.h"
#include "tests/TestSupport.h"
#include "tlc/TlcConnection.h"

namespace {

using testsupport::Bytes;
using testsupport::countLine;
using testsupport::logLines;
using testsupport::ScriptedHid;

const Bytes kReadStart{0x00, 0x00, 0x04, 0x07, 0x0B, 0x00};
const Bytes kReadEnd{0x00, 0x00, 0x04, 0x08, 0x0C, 0x00};

class OpsPropertyQueryTest : public testsupport::ProcessFixture {
  protected:
    void useChip(int32_t type) {
        chipType = type;
        initChipProfile();
    }
};

struct Query {
    const char* name;
    std::function<int32_t(uint8_t*)> call;
};

const Query kQueries[] = {
    {"getPid", [](uint8_t* out) { return getPid(reinterpret_cast<char*>(out)); }},
    {"getVid", [](uint8_t* out) { return getVid(out); }},
    {"getChipSensorID", [](uint8_t* out) { return getChipSensorID(out); }},
    {"getCfgVer", [](uint8_t* out) { return getCfgVer(out); }},
};

TEST_F(OpsPropertyQueryTest, NullBufferAndClosedDevice) {
    for (const Query& q : kQueries) {
        SCOPED_TRACE(q.name);
        useChip(CHIP_FJORDH3);
        log_->clear();
        ScriptedHid hid(kTlcFramingV2);
        EXPECT_EQ(q.call(nullptr), -1);
        EXPECT_TRUE(hid.events.empty());
        EXPECT_EQ(
            countLine("   [Error] <" + std::string(q.name) + "> The pointer cannot be NULL.\n"),
            1u);

        hid.openResults = {-1, -1, -1};
        uint8_t out[16] = {0};
        EXPECT_EQ(q.call(out), -2);
        // No report control and no close after a failed open.
        EXPECT_EQ(hid.events, (std::vector<std::string>{"open", "open", "open"}));
    }
}

TEST_F(OpsPropertyQueryTest, IdentityReadIsBracketedByReportControl) {
    useChip(CHIP_5415R);  // disable and enable are plain writes to 0x4160
    ScriptedHid hid(kTlcFramingV1);
    hid.setRegs(0x4022, {'R', '5', '1', '5'});
    hid.setRegs(0x402A, {0x11, 0x22, 0x33, 0x44});
    hid.setRegs(0x402F, {0x03});
    uint8_t vid[4] = {0};
    EXPECT_EQ(getVid(vid), 0);
    EXPECT_EQ(Bytes(vid, vid + 4), (Bytes{0x11, 0x22, 0x33, 0x44}));
    std::vector<std::pair<uint32_t, uint8_t>> wire;  // address, operation
    for (const testsupport::WireFrame& f : hid.frames())
        wire.emplace_back(f.addr, f.op);
    const std::vector<std::pair<uint32_t, uint8_t>> expected = {
        {0x4160, 0}, {0x4160, 0}, {0x4160, 0}, {0x4022, 1}, {0x402A, 1},
        {0x402F, 1}, {0x4160, 0}, {0x4160, 0}, {0x4160, 0}};
    EXPECT_EQ(wire, expected);
    EXPECT_EQ(hid.writesTo(0x4160)[3], (Bytes{0x34, 0x00, 0x00, 0x00, 0x34}));
    EXPECT_EQ(hid.events.front(), "open");
    EXPECT_EQ(hid.events.back(), "close");
    EXPECT_EQ(countLine("    [Info] <getVid> Get Vid successfully.\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <getVid> Vid: 11 22 33 44.\n"), 1u);
    EXPECT_EQ(logLines().back(), "   [Debug]  <getVid> Function ends.\n");
}

TEST_F(OpsPropertyQueryTest, PidAndSensorIdResults) {
    useChip(CHIP_FJORDK);
    ScriptedHid hid(kTlcFramingV2);
    hid.setRegs(0x1001E, {'F', 'K', '0', '1'});
    hid.setRegs(0x1002B, {0xC8});
    char pid[16];
    std::memset(pid, 0x7E, sizeof pid);
    EXPECT_EQ(getPid(pid), 0);
    // Four characters and five zero bytes; nothing beyond the 9-byte field.
    EXPECT_EQ(Bytes(pid, pid + 10), (Bytes{'F', 'K', '0', '1', 0, 0, 0, 0, 0, 0x7E}));
    EXPECT_EQ(countLine("    [Info] <getPid> Get Pid successfully.\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <getPid> Pid: FK01.\n"), 1u);

    uint8_t sid = 0;
    EXPECT_EQ(getChipSensorID(&sid), 0);
    EXPECT_EQ(sid, 0xC8);
    EXPECT_EQ(countLine("    [Info] <getChipSensorID> Read sensor ID successfully. Sid = 200.\n"),
              1u);
}

TEST_F(OpsPropertyQueryTest, FailedIdentityReadStillResumesAndCloses) {
    useChip(CHIP_5415R);
    ScriptedHid hid(kTlcFramingV1);
    for (int i = 0; i < 5; ++i)
        hid.failReadAt(0x402A);
    uint8_t sid = 0x5A;
    EXPECT_EQ(getChipSensorID(&sid), -3);
    EXPECT_EQ(sid, 0x5A);
    EXPECT_EQ(countLine("   [Error] <getChipSensorID> Read IC version failed. ret = -2.\n"), 1u);
    EXPECT_EQ(hid.writesTo(0x4160).size(), 6u);  // disabled and enabled again
    EXPECT_EQ(hid.events.back(), "close");
}

TEST_F(OpsPropertyQueryTest, DisableFailureDoesNotStopTheQuery) {
    useChip(CHIP_5410);
    ScriptedHid hid(kTlcFramingV1);
    for (int i = 0; i < 3; ++i)
        hid.failReadAt(0x60CC);  // report status never readable
    hid.setRegs(0x4535, {'5', '4', '1', '0'});
    char pid[16] = {0};
    EXPECT_EQ(getPid(pid), 0);
    EXPECT_STREQ(pid, "5410");
    EXPECT_TRUE(log_->contains("5410 disable report exit,failed."));
}

// ---- configuration version, 5410 and 5415R ---------------------------------------------------

TEST_F(OpsPropertyQueryTest, LegacyConfigVersionCheckBytes) {
    struct Case {
        const char* name;
        int32_t type;
        Bytes bytes;
        int32_t expected;
    } cases[] = {
        {"5410 sum wraps to zero", CHIP_5410, {0x05, 0x00, 0x00, 0xFB}, 0},
        {"5410 sum not zero", CHIP_5410, {0x05, 0x00, 0x00, 0xFA}, -1},
        {"5415R sums equal", CHIP_5415R, {0x10, 0x20, 0x30, 0x50, 0x10}, 0},
        {"5415R sums compared without wrapping", CHIP_5415R, {0x80, 0x80, 0x80, 0x80, 0x80}, -1},
        {"5415R sums equal only in 8 bits", CHIP_5415R, {0x80, 0x80, 0x80, 0x80, 0x00}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(c.type);
        log_->clear();
        ScriptedHid hid(kTlcFramingV1);
        hid.setRegs(chipProfile.cfgAddr, c.bytes);
        TlcConnection connection;
        uint8_t out = 0xEE;
        EXPECT_EQ(getCfgVerWithConnection(connection, &out), c.expected);
        EXPECT_EQ(out, c.expected == 0 ? c.bytes[0] : 0xEE);
        ASSERT_EQ(hid.writes.size(), 1u);
        EXPECT_EQ(hid.frame(0).len, static_cast<int>(c.bytes.size()));
        for (size_t i = 0; i < c.bytes.size(); ++i) {
            char line[128];
            std::snprintf(line, sizeof line,
                          "    [Info] <checkCfgCheckSum> <checkCfgCheckSum> Addr: 0x%04X; Value: "
                          "0x%02X.\n",
                          chipProfile.cfgAddr + static_cast<uint32_t>(i), c.bytes[i]);
            EXPECT_EQ(countLine(line), 1u) << line;
        }
        EXPECT_EQ(
            countLine("   [Error] <getCfgVerWithConnection> getCfgVerWithConnection,check cfg "
                      "data buf failed.\n"),
            c.expected == 0 ? 0u : 1u);
    }
}

TEST_F(OpsPropertyQueryTest, LegacyConfigVersionSuccessAndReadFailure) {
    useChip(CHIP_5415R);
    {
        ScriptedHid hid(kTlcFramingV1);
        hid.setRegs(0x96F8, {0x10, 0x20, 0x30, 0x50, 0x10});
        uint8_t out = 0;
        EXPECT_EQ(getCfgVer(&out), 0);
        EXPECT_EQ(out, 0x10);
        EXPECT_EQ(countLine("    [Info] <getCfgVerWithConnection> <getCfgVerWithConnection> Read "
                            "firmware cfg version success, cfg version: 0x10.\n"),
                  1u);
    }
    {
        ScriptedHid hid(kTlcFramingV1);
        hid.failReadAt(0x96F8);
        TlcConnection connection;
        uint8_t out = 0xEE;
        EXPECT_EQ(getCfgVerWithConnection(connection, &out), -3);
        EXPECT_EQ(out, 0xEE);
        EXPECT_EQ(
            countLine("   [Error] <getCfgVerWithConnection> <getCfgVerWithConnection> Read cfg "
                      "version failed. ret = -1.\n"),
            1u);
    }
}

// ---- configuration version, fjord family -----------------------------------------------------

// A 64-byte configuration block whose bytes 0..61 sum to `sum` (0 to 15810).
Bytes cfgBlock(unsigned sum, uint8_t lo, uint8_t hi) {
    Bytes block(64, 0);
    for (int i = 0; i < 62 && sum > 0; ++i) {
        block[static_cast<size_t>(i)] = static_cast<uint8_t>(sum > 255 ? 255 : sum);
        sum -= block[static_cast<size_t>(i)];
    }
    block[62] = lo;
    block[63] = hi;
    return block;
}

TEST_F(OpsPropertyQueryTest, FjordConfigBlockChecksum) {
    struct Case {
        const char* name;
        Bytes block;
        int32_t expected;
        const char* line;
    } cases[] = {
        {"sum 0x1234 stored little-endian", cfgBlock(0x1234, 0x34, 0x12), 0,
         "    [Info] <getCfgVerWithConnection> Read firmware cfg version success, cfg version: "
         "0x00.\n"},
        {"sum 0x1234 stored big-endian", cfgBlock(0x1234, 0x12, 0x34), -1,
         "   [Error] <getCfgVerWithConnection> cfg data checksum error,cal checksum:0x1234,read "
         "checksum:3412\n"},
        {"62 bytes of 0xFF", cfgBlock(62 * 255, 0xC2, 0x3D), 0,
         "    [Info] <getCfgVerWithConnection> Read firmware cfg version success, cfg version: "
         "0xFF.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(CHIP_FJORDK);
        log_->clear();
        clock_.clearWaits();
        ScriptedHid hid(kTlcFramingV2);
        hid.setRegs(0x10174, {0x80, 0x80});  // every command acknowledged
        hid.setRegs(0x13B74, c.block);
        TlcConnection connection;
        uint8_t out = 0xEE;
        EXPECT_EQ(getCfgVerWithConnection(connection, &out), c.expected);
        EXPECT_EQ(out, c.expected == 0 ? c.block[34] : 0xEE);
        EXPECT_EQ(countLine(c.line), 1u);
        // Start command, two 32-byte reads, end command, each command acknowledged.
        EXPECT_EQ(hid.writesTo(0x10174), (std::vector<Bytes>{kReadStart, kReadEnd}));
        EXPECT_EQ(hid.readRequestsAt(0x10174), 2u);
        EXPECT_EQ(hid.readRequestsAt(0x13B74), 1u);
        EXPECT_EQ(hid.readRequestsAt(0x13B94), 1u);
        EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{10, 10}));
    }
}

TEST_F(OpsPropertyQueryTest, FjordConfigVersionByteIsByte34) {
    useChip(CHIP_FJORDK8);  // 268-byte framing
    ScriptedHid hid(kTlcFramingV3);
    Bytes block(64, 0);
    block[34] = 0x2C;
    block[5] = 0x01;
    block[62] = 0x2D;  // 0x2C + 0x01
    hid.setRegs(0x10174, {0x80, 0x80});
    hid.setRegs(0x13B74, block);
    uint8_t out = 0;
    EXPECT_EQ(getCfgVer(&out), 0);
    EXPECT_EQ(out, 0x2C);
}

TEST_F(OpsPropertyQueryTest, FjordReadFailures) {
    struct Case {
        const char* name;
        std::function<void(ScriptedHid&)> script;
        int32_t expected;
        std::vector<Bytes> commands;
        size_t blockReads;
        const char* line;
    } cases[] = {
        {"start command never acknowledged",
         [](ScriptedHid& h) {
             h.setRegs(0x10174, {0x80, 0x00});
         },
         -1,
         {kReadStart, kReadStart, kReadStart},
         0,
         "   [Error] <getCfgVerWithConnection> start read cfg at send start read cfg cmd "
         "failed.\n"},
        {"first half unreadable",
         [](ScriptedHid& h) {
             h.setRegs(0x10174, {0x80, 0x80});
             h.failReadAt(0x13B74);
         },
         -3,
         {kReadStart, kReadEnd},
         2,
         "   [Error] <getCfgVerWithConnection> Read cfg version failed. ret = -1.\n"},
        {"second half unreadable, end command not acknowledged",
         [](ScriptedHid& h) {
             h.setRegs(0x10174, {0x80, 0x00});
             h.answerAt(0x10174, {0x80, 0x80});  // only the start command is acknowledged
             h.failReadAt(0x13B94);
         },
         -3,
         {kReadStart, kReadEnd, kReadEnd, kReadEnd},
         2,
         "   [Error] <getCfgVerWithConnection> Read cfg version failed. ret = -1.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(CHIP_FJORDK);
        log_->clear();
        ScriptedHid hid(kTlcFramingV2);
        c.script(hid);
        TlcConnection connection;
        uint8_t out = 0xEE;
        EXPECT_EQ(getCfgVerWithConnection(connection, &out), c.expected);
        EXPECT_EQ(out, 0xEE);
        EXPECT_EQ(hid.writesTo(0x10174), c.commands);
        EXPECT_EQ(hid.readRequestsAt(0x13B74) + hid.readRequestsAt(0x13B94), c.blockReads);
        EXPECT_EQ(countLine(c.line), 1u);
    }
}

TEST_F(OpsPropertyQueryTest, ConfigVersionOfUnknownChipType) {
    ScriptedHid hid(kTlcFramingV2);
    TlcConnection connection;
    uint8_t out = 0xEE;
    EXPECT_EQ(getCfgVerWithConnection(connection, &out), -1);
    EXPECT_TRUE(hid.events.empty());
    EXPECT_EQ(countLine("   [Error] <getCfgVerWithConnection> unsuppor this ic type:0x0.\n"), 1u);
}

TEST_F(OpsPropertyQueryTest, GetCfgVerPassesTheCodeUp) {
    useChip(CHIP_FJORDH3);
    ScriptedHid hid(kTlcFramingV2);
    hid.setRegs(0x10180, {0x80, 0x80});  // commands acknowledged, command status accepted
    hid.setRegs(0x10182, {0x00, 0x00, 0x01, 0x06, 0x00});  // reporting disabled
    hid.setRegs(0x15EB4, cfgBlock(100, 0x00, 0x00));       // checksum wrong
    uint8_t out = 0xEE;
    EXPECT_EQ(getCfgVer(&out), -1);
    EXPECT_EQ(out, 0xEE);
    EXPECT_EQ(hid.events.back(), "close");
}

}  // namespace
