#include <gtest/gtest.h>

#include <functional>

#include "chip/ChipProfile.h"
#include "ops/ReportControl.h"
#include "tests/ScriptedHid.h"
#include "tests/TestSupport.h"
#include "tlc/TlcConnection.h"

namespace {

using testsupport::Bytes;
using testsupport::countLine;
using testsupport::logLines;
using testsupport::ScriptedHid;

const Bytes k5410Disable{0x33, 0x00, 0xCD};
const Bytes k5410Enable{0x34, 0x00, 0xCC};
const Bytes k5410Query{0x35, 0x00, 0xCB};
const Bytes kFjordDisable{0x00, 0x00, 0x04, 0x33, 0x37, 0x00};
const Bytes kFjordEnable{0x00, 0x00, 0x04, 0x34, 0x38, 0x00};
const Bytes kFjordQuery{0x00, 0x00, 0x04, 0x35, 0x39, 0x00};

constexpr uint32_t kH3Cmd = 0x10180;
constexpr uint32_t kH3Status = 0x10182;
constexpr uint32_t kCorvinaCmd = 0x10174;
constexpr uint32_t kCorvinaStatus = 0x10184;

class OpsReportControlTest : public testsupport::ProcessFixture {
  protected:
    void useChip(int32_t type) {
        chipType = type;
        initChipProfile();
    }
};

TEST_F(OpsReportControlTest, FamiliesWithoutReportControlSendNothing) {
    for (int32_t type : {CHIP_FJORDK, CHIP_FJORDK8, CHIP_FJORDK4}) {
        useChip(type);
        ScriptedHid hid(chipProfile.protoType);
        TlcConnection connection;
        EXPECT_EQ(DisableReport(connection), 0) << type;
        EnableReport(connection);
        EXPECT_TRUE(hid.events.empty()) << type;
    }
    EXPECT_TRUE(log_->lines().empty());
}

TEST_F(OpsReportControlTest, UnknownChipTypeIsRefused) {
    ScriptedHid hid(kTlcFramingV2);
    TlcConnection connection;
    EXPECT_EQ(DisableReport(connection), -1);
    EnableReport(connection);
    EXPECT_TRUE(hid.events.empty());
    EXPECT_EQ(logLines(),
              (std::vector<std::string>{
                  "   [Error] <DisableReport> unsupport disable report ,chip type:0.\n",
                  "   [Error] <EnableReport> unsupport disable report ,chip type:0.\n"}));
}

// ---- 5410 ------------------------------------------------------------------------------------

TEST_F(OpsReportControlTest, Disable5410ChecksTheAnswer) {
    struct Case {
        const char* name;
        std::vector<Bytes> answers;  // one per attempt
        int32_t expected;
        size_t attempts;
        const char* line;  // a line the case must log
        size_t lineCount;
    } cases[] = {
        {"status 1, check byte right",
         {{0x36, 0x01, 0xC9}},
         0,
         1,
         "    [Info] <DisableReport5410> 5410 disable report exit,success.\n",
         1},
        {"byte 0 is not examined",
         {{0x00, 0x01, 0xC9}},
         0,
         1,
         "    [Info] <DisableReport5410> 5410 disable report exit,success.\n",
         1},
        {"late success",
         {{0x36, 0x02, 0xC8}, {0x36, 0x01, 0xC9}},
         0,
         2,
         "   [Error] <DisableReport5410> DisableReport5410 report status is invalid:0x02.\n",
         1},
        {"wrong status every time counts as done",
         {{0x36, 0x02, 0xC8}, {0x36, 0x02, 0xC8}, {0x36, 0x02, 0xC8}},
         0,
         3,
         "    [Info] <DisableReport5410> 5410 disable report exit,failed.\n",
         1},
        {"bad check byte",
         {{0x36, 0x01, 0x00}, {0x36, 0x01, 0x00}, {0x36, 0x01, 0x00}},
         0,
         3,
         "   [Error] <DisableReport5410> DisableReport5410 checksum is invalid:0x37,\n",
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(CHIP_5410);
        log_->clear();
        clock_.clearWaits();
        ScriptedHid hid(kTlcFramingV1);
        for (const Bytes& a : c.answers)
            hid.answerAt(0x60CC, a);
        TlcConnection connection;
        EXPECT_EQ(DisableReport(connection), c.expected);
        EXPECT_EQ(countLine(c.line), c.lineCount);
        // Per attempt: three disable commands, the query, then the status read.
        std::vector<Bytes> expectedWrites;
        std::vector<uint32_t> expectedWaits;
        for (size_t i = 0; i < c.attempts; ++i) {
            expectedWrites.insert(expectedWrites.end(),
                                  {k5410Disable, k5410Disable, k5410Disable, k5410Query});
            expectedWaits.insert(expectedWaits.end(), {10, 10, 10, 10, 50});
        }
        EXPECT_EQ(hid.writesTo(0x60CC), expectedWrites);
        EXPECT_EQ(hid.readRequestsAt(0x60CC), c.attempts);
        EXPECT_EQ(hid.frame(hid.writes.size() - 1).len, 3);
        EXPECT_EQ(clock_.waits(), expectedWaits);
    }
    EXPECT_EQ(
        countLine("   [Error] <DisableReport5410> DisableReport5410 read data:0x36,0x01,0x00,\n"),
        3u);
}

TEST_F(OpsReportControlTest, Disable5410ReturnsTheLastTransferFailure) {
    struct Case {
        const char* name;
        std::function<void(ScriptedHid&)> script;
        int32_t expected;
        const char* line;
    } cases[] = {
        {"status read fails every time",
         [](ScriptedHid& h) {
             for (int i = 0; i < 3; ++i)
                 h.failReadAt(0x60CC);
         },
         -1, "   [Error] <DisableReport5410> DisableReport5410 read report status failed.\n"},
        {"query never sent", [](ScriptedHid& h) { h.failWritesTo(0x60CC); }, -1,
         "   [Error] <DisableReport5410> DisableReport5410 send read report cmd failed.\n"},
        {"earlier failures, last attempt only wrong",
         [](ScriptedHid& h) {
             h.failReadAt(0x60CC);
             h.failReadAt(0x60CC);
             h.answerAt(0x60CC, {0x36, 0x00, 0xCA});
         },
         0, "   [Error] <DisableReport5410> DisableReport5410 report status is invalid:0x00.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(CHIP_5410);
        log_->clear();
        ScriptedHid hid(kTlcFramingV1);
        c.script(hid);
        TlcConnection connection;
        EXPECT_EQ(DisableReport(connection), c.expected);
        EXPECT_GE(countLine(c.line), 1u);
        EXPECT_EQ(countLine("    [Info] <DisableReport5410> 5410 disable report exit,failed.\n"),
                  1u);
    }
}

TEST_F(OpsReportControlTest, Disable5410ReportsEachFailedDisableWrite) {
    useChip(CHIP_5410);
    ScriptedHid hid(kTlcFramingV1);
    hid.failWritesTo(0x60CC);
    TlcConnection connection;
    EXPECT_EQ(DisableReport(connection), -1);
    EXPECT_EQ(
        countLine(
            "   [Error] <DisableReport5410> DisableReport5410 send disable report cmd failed.\n"),
        9u);
    EXPECT_EQ(hid.readRequestsAt(0x60CC), 0u);
}

TEST_F(OpsReportControlTest, RepeatedCommandsOf5410And5415R) {
    struct Case {
        int32_t type;
        bool disable;
        uint32_t addr;
        Bytes command;
        std::vector<std::string> lines;
    } cases[] = {
        {CHIP_5410,
         false,
         0x60CC,
         k5410Enable,
         {"   [Debug]  <EnableReport5410> EnableReport5410 run.\n",
          "   [Debug]  <EnableReport5410> EnableReport5410 exit.\n"}},
        {CHIP_5415R,
         true,
         0x4160,
         {0x33, 0x00, 0x00, 0x00, 0x33},
         {"    [Info] <DisableReport5415R> 5415R disable report\n",
          "    [Info] <DisableReport5415R> 5415R disable report end\n"}},
        {CHIP_5415R,
         false,
         0x4160,
         {0x34, 0x00, 0x00, 0x00, 0x34},
         {"   [Debug]  <EnableReport5415R> EnableReport5415R run.\n",
          "   [Debug]  <EnableReport5415R> EnableReport5415R exit.\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type * 10 + c.disable);
        useChip(c.type);
        log_->clear();
        clock_.clearWaits();
        ScriptedHid hid(kTlcFramingV1);
        hid.failWrite(0);  // a failed write changes nothing
        TlcConnection connection;
        if (c.disable) {
            EXPECT_EQ(DisableReport(connection), 0);
        } else {
            EnableReport(connection);
        }
        EXPECT_EQ(hid.writesTo(c.addr), std::vector<Bytes>(3, c.command));
        EXPECT_EQ(hid.count("read"), 0u);
        EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{10, 10, 10}));
        for (const std::string& line : c.lines)
            EXPECT_EQ(countLine(line), 1u) << line;
    }
}

// ---- fjordH3 and Corvina ---------------------------------------------------------------------

struct StatusCase {
    const char* name;
    int32_t type;
    bool disable;
    std::vector<Bytes> answers;  // status answers, one per attempt
    size_t attempts;
    bool success;
};

TEST_F(OpsReportControlTest, StatusAnswersOfFjordH3AndCorvina) {
    const StatusCase cases[] = {
        {"fjordH3 disable", CHIP_FJORDH3, true, {{0x10, 0x20, 0x01, 0x36, 0x00}}, 1, true},
        {"fjordH3 enable refuses status 1",
         CHIP_FJORDH3,
         false,
         {{0x10, 0x20, 0x01, 0x36, 0x00},
          {0x10, 0x20, 0x01, 0x36, 0x00},
          {0x10, 0x20, 0x01, 0x36, 0x00}},
         3,
         false},
        {"fjordH3 enable after a bad checksum",
         CHIP_FJORDH3,
         false,
         {{0x10, 0x20, 0x00, 0x00, 0x35}, {0x10, 0x20, 0x00, 0x35, 0x00}},
         2,
         true},
        {"Corvina disable", CHIP_CORVINA, true, {{0x05, 0x01, 0x06, 0x00}}, 1, true},
        {"Corvina enable", CHIP_CORVINA, false, {{0x05, 0x00, 0x05, 0x00}}, 1, true},
        {"Corvina disable, checksum over 8 bits",
         CHIP_CORVINA,
         true,
         {{0xFF, 0x01, 0x00, 0x00}, {0xFF, 0x01, 0x00, 0x01}},
         2,
         true},
    };
    for (const StatusCase& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(c.type);
        log_->clear();
        clock_.clearWaits();
        const bool h3 = c.type == CHIP_FJORDH3;
        const uint32_t cmdAddr = h3 ? kH3Cmd : kCorvinaCmd;
        const uint32_t statusAddr = h3 ? kH3Status : kCorvinaStatus;
        ScriptedHid hid(kTlcFramingV2);
        hid.setRegs(cmdAddr, {0x80});
        for (const Bytes& a : c.answers)
            hid.answerAt(statusAddr, a);
        TlcConnection connection;
        if (c.disable) {
            EXPECT_EQ(DisableReport(connection), 0);
        } else {
            EnableReport(connection);
        }
        std::vector<Bytes> expectedWrites;
        for (size_t i = 0; i < c.attempts; ++i) {
            expectedWrites.push_back(c.disable ? kFjordDisable : kFjordEnable);
            expectedWrites.push_back(kFjordQuery);
        }
        EXPECT_EQ(hid.writesTo(cmdAddr), expectedWrites);
        // Command status polls: after the query, and for Corvina after the command too.
        EXPECT_EQ(hid.readRequestsAt(cmdAddr), c.attempts * (h3 ? 1 : 2));
        EXPECT_EQ(hid.readRequestsAt(statusAddr), c.attempts);
        EXPECT_EQ(hid.frame(hid.writes.size() - 1).len, h3 ? 5 : 4);
        EXPECT_EQ(clock_.waits(), std::vector<uint32_t>(2 * c.attempts, 50));
        const std::string fn = std::string(c.disable ? "DisableReport" : "EnableReport") +
                               (h3 ? "FjordH3" : "Corvina");
        const std::string status = h3 ? "GetReportStatusFjordH3" : "GetReportStatusCorvina";
        EXPECT_EQ(countLine("    [Info] <" + fn + "> " + status + " success, exit.\n"),
                  c.success ? 1u : 0u);
        EXPECT_EQ(log_->count(status + " failed, retry:"), c.success ? c.attempts - 1 : 3u);
    }
}

TEST_F(OpsReportControlTest, StatusReadFailureLinesCarryTheStatusReadName) {
    useChip(CHIP_FJORDH3);
    ScriptedHid hid(kTlcFramingV2);
    hid.setRegs(kH3Cmd, {0x80});
    hid.answerAt(kH3Status, {0x10, 0x20, 0x01, 0x00, 0x36});
    hid.failReadAt(kH3Status);
    TlcConnection connection;
    EXPECT_EQ(DisableReport(connection), 0);
    EXPECT_EQ(countLine("   [Error] <GetReportStatusFjordH3> GetReportStatusFjordH3 "
                        "readChecksum(0x3600) not equal to calChecksum(0x36)\n"),
              1u);
    EXPECT_EQ(countLine("   [Error] <GetReportStatusFjordH3> GetReportStatusFjordH3 read report "
                        "status failed,ret:-1\n"),
              1u);
    EXPECT_EQ(
        countLine("   [Error] <DisableReportFjordH3> GetReportStatusFjordH3 failed, retry:0\n"),
        1u);
    EXPECT_EQ(
        countLine("   [Error] <DisableReportFjordH3> GetReportStatusFjordH3 failed, retry:1\n"),
        1u);
    EXPECT_EQ(
        countLine("    [Info] <DisableReportFjordH3> GetReportStatusFjordH3 success, exit.\n"),
        0u);  // the third answer (all zero) fails its checksum
    EXPECT_EQ(logLines().back(), "    [Info] <DisableReportFjordH3> fjordH3 disable report end\n");
}

TEST_F(OpsReportControlTest, FjordH3DisableThatNeverSucceedsStillReturnsZero) {
    useChip(CHIP_FJORDH3);
    ScriptedHid hid(kTlcFramingV2);
    hid.failWritesTo(kH3Cmd);
    TlcConnection connection;
    EXPECT_EQ(DisableReport(connection), 0);
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(countLine("   [Error] <DisableReportFjordH3> DisableReportFjordH3 send disable "
                            "report cmd failed, retry:" +
                            std::to_string(attempt) + "\n"),
                  1u);
    }
    EXPECT_EQ(hid.writesTo(kH3Cmd), std::vector<Bytes>(3, kFjordDisable));
    EXPECT_EQ(clock_.waits(), std::vector<uint32_t>(3, 50));  // the wait follows a failed write too
    EXPECT_EQ(countLine("    [Info] <DisableReportFjordH3> fjordH3 disable report\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <DisableReportFjordH3> fjordH3 disable report end\n"), 1u);
}

TEST_F(OpsReportControlTest, CorvinaStopsAnAttemptWhenTheCommandIsNotAccepted) {
    useChip(CHIP_CORVINA);
    ScriptedHid hid(kTlcFramingV2);
    for (int i = 0; i < 10; ++i)
        hid.answerAt(kCorvinaCmd, {0x00});  // first attempt: never 0x80
    hid.setRegs(kCorvinaCmd, {0x80});
    hid.setRegs(kCorvinaStatus, {0x05, 0x00, 0x05, 0x00});
    TlcConnection connection;
    EnableReport(connection);
    EXPECT_EQ(countLine("   [Error] <EnableReportCorvina> CheckCmdStatus failed, retry:0\n"), 1u);
    EXPECT_EQ(countLine("    [Info] <EnableReportCorvina> GetReportStatusCorvina success, exit.\n"),
              1u);
    // Attempt 0: command only. Attempt 1: command, query.
    EXPECT_EQ(hid.writesTo(kCorvinaCmd),
              (std::vector<Bytes>{kFjordEnable, kFjordEnable, kFjordQuery}));
}

TEST_F(OpsReportControlTest, EnableSendQueryFailureIsLogged) {
    useChip(CHIP_FJORDH3);
    ScriptedHid hid(kTlcFramingV2);
    hid.failWrite(1);  // the first query
    hid.setRegs(kH3Cmd, {0x80});
    hid.setRegs(kH3Status, {0x00, 0x00, 0x00, 0x05, 0x00});
    TlcConnection connection;
    EnableReport(connection);
    EXPECT_EQ(
        countLine("   [Error] <EnableReportFjordH3> EnableReportFjordH3 send report query cmd "
                  "failed, retry:0\n"),
        1u);
    EXPECT_EQ(countLine("    [Info] <EnableReportFjordH3> GetReportStatusFjordH3 success, exit.\n"),
              1u);
    EXPECT_EQ(countLine("   [Debug]  <EnableReportFjordH3> EnableReportFjordH3 run.\n"), 1u);
    EXPECT_EQ(logLines().back(), "   [Debug]  <EnableReportFjordH3> EnableReportFjordH3 exit.\n");
}

// ---- CheckCmdStatus --------------------------------------------------------------------------

TEST_F(OpsReportControlTest, CheckCmdStatusOutcomes) {
    struct Case {
        const char* name;
        std::function<void(ScriptedHid&)> script;
        int32_t expected;
        size_t polls;
    } cases[] = {
        {"accepted at once", [](ScriptedHid& h) { h.setRegs(kH3Cmd, {0x80}); }, 0, 1},
        {"accepted on the tenth poll",
         [](ScriptedHid& h) {
             for (int i = 0; i < 9; ++i)
                 h.answerAt(kH3Cmd, {0x81});
             h.setRegs(kH3Cmd, {0x80});
         },
         0, 10},
        {"never accepted", [](ScriptedHid& h) { h.setRegs(kH3Cmd, {0x01}); }, -2, 10},
        {"last poll unreadable",
         [](ScriptedHid& h) {
             for (int i = 0; i < 9; ++i)
                 h.answerAt(kH3Cmd, {0x01});
             h.failReadAt(kH3Cmd);
         },
         -1, 10},
        {"last poll wrong",
         [](ScriptedHid& h) {
             for (int i = 0; i < 9; ++i)
                 h.failReadAt(kH3Cmd);
             h.answerAt(kH3Cmd, {0x7F});
         },
         -2, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(CHIP_FJORDH3);
        log_->clear();
        clock_.clearWaits();
        ScriptedHid hid(kTlcFramingV2);
        c.script(hid);
        TlcConnection connection;
        EXPECT_EQ(CheckCmdStatus(connection), c.expected);
        EXPECT_EQ(hid.readRequestsAt(kH3Cmd), c.polls);
        EXPECT_EQ(clock_.waits().size(), c.expected == 0 ? c.polls - 1 : c.polls);
        for (uint32_t w : clock_.waits())
            EXPECT_EQ(w, 10u);
        EXPECT_EQ(countLine("    [Info] <CheckCmdStatus> CheckCmdStatus success, exit.\n"),
                  c.expected == 0 ? 1u : 0u);
    }
    EXPECT_EQ(countLine("   [Error] <CheckCmdStatus> CheckCmdStatus report status is invalid:0x7f, "
                        "retry:9.\n"),
              1u);
    EXPECT_EQ(countLine("   [Error] <CheckCmdStatus> CheckCmdStatus read report status failed, "
                        "retry:8\n"),
              1u);
}

}  // namespace
