#include "ops/ReportControl.h"

#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "sys/Clock.h"
#include "tlc/TlcConnection.h"

namespace {

constexpr int kStatusPolls = 10;
constexpr uint32_t kStatusPollWaitMs = 10;
constexpr uint8_t kCmdAccepted = 0x80;

constexpr int kRepeatWrites = 3;
constexpr uint32_t kRepeatWriteWaitMs = 10;

// 5410 report status query.
constexpr int k5410Attempts = 3;
constexpr uint32_t k5410QueryWaitMs = 10;
constexpr uint32_t k5410AnswerWaitMs = 50;

constexpr int kSequenceAttempts = 3;
constexpr uint32_t kSequenceWaitMs = 50;
constexpr int32_t kStatusDisabled = 1;
constexpr int32_t kStatusEnabled = 0;

template <typename Seq>
int writeSeq(TlcConnection& connection, uint32_t addr, const Seq& seq) {
    return connection.write(addr, seq.data, static_cast<int32_t>(seq.size()), false);
}

// Writes a command three times, 10 ms apart, whatever each write gives: 0
// when at least one of them went through, else the last write's result.
int writeThreeTimes(TlcConnection& connection, const Seq10& cmd) {
    int result = -1;
    for (int i = 0; i < kRepeatWrites; ++i) {
        const int written = writeSeq(connection, chipProfile.reportCmdAddr, cmd);
        if (result != 0)
            result = written;
        sleepMs(kRepeatWriteWaitMs);
    }
    return result;
}

struct StatusFamily {
    const char* statusName;  // name of the status read, for the attempt lines
    int32_t (*getStatus)(TlcConnection&);
    bool pollAfterCommand;  // Corvina: the command status is polled after the command too
};

const StatusFamily kFjordH3Status{"GetReportStatusFjordH3", GetReportStatusFjordH3, false};
const StatusFamily kCorvinaStatus{"GetReportStatusCorvina", GetReportStatusCorvina, true};

// The attempts shared by the fjordH3 and Corvina disable and enable: command,
// (command status), report query, command status, status answer. Stops at the
// first attempt whose answer carries the wanted status; true when one did.
bool runStatusSequence(TlcConnection& connection, const char* fn, const char* verb,
                       const Seq10& cmd, const StatusFamily& family, int32_t wanted) {
    for (int attempt = 0; attempt < kSequenceAttempts; ++attempt) {
        const int written = writeSeq(connection, chipProfile.reportCmdAddr, cmd);
        sleepMs(kSequenceWaitMs);
        if (written != 0) {
            LOG_ERROR(fn, "%s send %s report cmd failed, retry:%d\n", fn, verb, attempt);
            continue;
        }
        if (family.pollAfterCommand && CheckCmdStatus(connection) != 0) {
            LOG_ERROR(fn, "CheckCmdStatus failed, retry:%d\n", attempt);
            continue;
        }
        const int queried =
            writeSeq(connection, chipProfile.reportCmdAddr, chipProfile.reportQueryCmd);
        sleepMs(kSequenceWaitMs);
        if (queried != 0) {
            LOG_ERROR(fn, "%s send report query cmd failed, retry:%d\n", fn, attempt);
            continue;
        }
        if (CheckCmdStatus(connection) != 0) {
            LOG_ERROR(fn, "CheckCmdStatus failed, retry:%d\n", attempt);
            continue;
        }
        if (family.getStatus(connection) != wanted) {
            LOG_ERROR(fn, "%s failed, retry:%d\n", family.statusName, attempt);
            continue;
        }
        LOG_INFO(fn, "%s success, exit.\n", family.statusName);
        return true;
    }
    return false;
}

}  // namespace

int32_t CheckCmdStatus(TlcConnection& connection) {
    int32_t code = -1;
    for (int attempt = 0; attempt < kStatusPolls; ++attempt) {
        uint8_t status = 0;
        if (connection.read(chipProfile.reportCmdAddr, &status, 1, false) != 0) {
            LOG_ERROR("CheckCmdStatus", "CheckCmdStatus read report status failed, retry:%d\n",
                      attempt);
            code = -1;
        } else if (status == kCmdAccepted) {
            LOG_INFO("CheckCmdStatus", "CheckCmdStatus success, exit.\n");
            return 0;
        } else {
            LOG_ERROR("CheckCmdStatus",
                      "CheckCmdStatus report status is invalid:0x%02x, retry:%d.\n", status,
                      attempt);
            code = -2;
        }
        sleepMs(kStatusPollWaitMs);
    }
    return code;
}

int32_t DisableReport5410(TlcConnection& connection) {
    LOG_INFO("DisableReport5410", "5410 disable report\n");
    int last = 0;  // result of the last register transfer of the last attempt
    for (int attempt = 0; attempt < k5410Attempts; ++attempt) {
        for (int i = 0; i < kRepeatWrites; ++i) {
            if (writeSeq(connection, chipProfile.reportCmdAddr, chipProfile.disableReportCmd) !=
                0) {
                LOG_ERROR("DisableReport5410",
                          "DisableReport5410 send disable report cmd failed.\n");
            }
            sleepMs(kRepeatWriteWaitMs);
        }
        sleepMs(k5410QueryWaitMs);
        last = connection.write(chipProfile.reportCmdAddr, chipProfile.reportQueryCmd.data,
                                static_cast<int32_t>(chipProfile.reportQueryCmd.size()), false);
        if (last != 0) {
            LOG_ERROR("DisableReport5410", "DisableReport5410 send read report cmd failed.\n");
            continue;
        }
        sleepMs(k5410AnswerWaitMs);
        uint8_t answer[3] = {0};
        last = connection.read(chipProfile.reportCmdAddr, answer, sizeof answer, false);
        if (last != 0) {
            LOG_ERROR("DisableReport5410", "DisableReport5410 read report status failed.\n");
            continue;
        }
        const uint8_t check =
            static_cast<uint8_t>(chipProfile.reportCheckSeed + answer[1] + answer[2]);
        if (check != 0) {
            LOG_ERROR("DisableReport5410", "DisableReport5410 checksum is invalid:0x%02x,\n",
                      check);
            LOG_ERROR("DisableReport5410", "DisableReport5410 read data:0x%02x,0x%02x,0x%02x,\n",
                      chipProfile.reportCheckSeed, answer[1], answer[2]);
            continue;
        }
        if (answer[1] == kStatusDisabled) {
            LOG_INFO("DisableReport5410", "5410 disable report exit,success.\n");
            return 0;
        }
        LOG_ERROR("DisableReport5410", "DisableReport5410 report status is invalid:0x%02x.\n",
                  answer[1]);
    }
    LOG_INFO("DisableReport5410", "5410 disable report exit,failed.\n");
    // A wrong answer after good transfers counts as done: reporting is most
    // likely off, and the caller goes on.
    return last;
}

int32_t DisableReport5415R(TlcConnection& connection) {
    LOG_INFO("DisableReport5415R", "5415R disable report\n");
    writeThreeTimes(connection, chipProfile.disableReportCmd);
    LOG_INFO("DisableReport5415R", "5415R disable report end\n");
    return 0;
}

int32_t EnableReport5410(TlcConnection& connection) {
    LOG_DEBUG("EnableReport5410", "EnableReport5410 run.\n");
    const int32_t result = writeThreeTimes(connection, chipProfile.enableReportCmd);
    LOG_DEBUG("EnableReport5410", "EnableReport5410 exit.\n");
    return result;
}

int32_t EnableReport5415R(TlcConnection& connection) {
    LOG_DEBUG("EnableReport5415R", "EnableReport5415R run.\n");
    const int32_t result = writeThreeTimes(connection, chipProfile.enableReportCmd);
    LOG_DEBUG("EnableReport5415R", "EnableReport5415R exit.\n");
    return result;
}

int32_t GetReportStatusFjordH3(TlcConnection& connection) {
    uint8_t answer[5] = {0};
    const int r = connection.read(chipProfile.reportStatusAddr, answer, sizeof answer, false);
    if (r != 0) {
        LOG_ERROR("GetReportStatusFjordH3",
                  "GetReportStatusFjordH3 read report status failed,ret:%d\n", r);
        return -1;
    }
    const unsigned calChecksum = answer[0] + answer[1] + answer[2] + 5u;
    const unsigned readChecksum = answer[3] | (answer[4] << 8);
    if (readChecksum != calChecksum) {
        LOG_ERROR("GetReportStatusFjordH3",
                  "GetReportStatusFjordH3 readChecksum(0x%X) not equal to calChecksum(0x%X)\n",
                  readChecksum, calChecksum);
        return -2;
    }
    return answer[2];
}

int32_t GetReportStatusCorvina(TlcConnection& connection) {
    uint8_t answer[4] = {0};
    const int r = connection.read(chipProfile.reportStatusAddr, answer, sizeof answer, false);
    if (r != 0) {
        LOG_ERROR("GetReportStatusCorvina",
                  "GetReportStatusCorvina read report status failed,ret:%d\n", r);
        return -1;
    }
    const unsigned calChecksum = static_cast<unsigned>(answer[0] + answer[1]);
    const unsigned readChecksum = answer[2] | (answer[3] << 8);
    if (readChecksum != calChecksum) {
        LOG_ERROR("GetReportStatusCorvina",
                  "GetReportStatusCorvina readChecksum(0x%X) not equal to calChecksum(0x%X)\n",
                  readChecksum, calChecksum);
        return -2;
    }
    return answer[1];
}

int32_t DisableReportFjordH3(TlcConnection& connection) {
    LOG_INFO("DisableReportFjordH3", "fjordH3 disable report\n");
    runStatusSequence(connection, "DisableReportFjordH3", "disable", chipProfile.disableReportCmd,
                      kFjordH3Status, kStatusDisabled);
    LOG_INFO("DisableReportFjordH3", "fjordH3 disable report end\n");
    return 0;
}

int32_t DisableReportCorvina(TlcConnection& connection) {
    LOG_INFO("DisableReportCorvina", "Corvina disable report\n");
    runStatusSequence(connection, "DisableReportCorvina", "disable", chipProfile.disableReportCmd,
                      kCorvinaStatus, kStatusDisabled);
    LOG_INFO("DisableReportCorvina", "Corvina disable report end\n");
    return 0;
}

int32_t EnableReportFjordH3(TlcConnection& connection) {
    LOG_DEBUG("EnableReportFjordH3", "EnableReportFjordH3 run.\n");
    const bool enabled =
        runStatusSequence(connection, "EnableReportFjordH3", "enable", chipProfile.enableReportCmd,
                          kFjordH3Status, kStatusEnabled);
    LOG_DEBUG("EnableReportFjordH3", "EnableReportFjordH3 exit.\n");
    return enabled ? 0 : -1;
}

int32_t EnableReportCorvina(TlcConnection& connection) {
    LOG_DEBUG("EnableReportCorvina", "EnableReportCorvina run.\n");
    const bool enabled =
        runStatusSequence(connection, "EnableReportCorvina", "enable", chipProfile.enableReportCmd,
                          kCorvinaStatus, kStatusEnabled);
    LOG_DEBUG("EnableReportCorvina", "EnableReportCorvina exit.\n");
    return enabled ? 0 : -1;
}

int32_t DisableReport(TlcConnection& connection) {
    switch (familyOf(chipType).reportControl) {
        case ReportControlKind::rc5410:
            return DisableReport5410(connection);
        case ReportControlKind::rc5415R:
            return DisableReport5415R(connection);
        case ReportControlKind::none:
            return 0;
        case ReportControlKind::fjordH3:
            return DisableReportFjordH3(connection);
        case ReportControlKind::corvina:
            return DisableReportCorvina(connection);
        case ReportControlKind::unsupported:
            break;
    }
    LOG_ERROR("DisableReport", "unsupport disable report ,chip type:%d.\n", chipType);
    return -1;
}

int32_t EnableReport(TlcConnection& connection) {
    switch (familyOf(chipType).reportControl) {
        case ReportControlKind::rc5410:
            return EnableReport5410(connection);
        case ReportControlKind::rc5415R:
            return EnableReport5415R(connection);
        case ReportControlKind::none:
            return 0;
        case ReportControlKind::fjordH3:
            return EnableReportFjordH3(connection);
        case ReportControlKind::corvina:
            return EnableReportCorvina(connection);
        case ReportControlKind::unsupported:
            break;
    }
    LOG_ERROR("EnableReport", "unsupport disable report ,chip type:%d.\n", chipType);
    return -1;
}

int32_t resumeReporting(TlcConnection& connection, const char* fn) {
    const int32_t result = EnableReport(connection);
    if (result != 0) {
        LOG_ERROR(fn, "Touch reporting could not be enabled again. ret = %d.\n", result);
    }
    return result;
}
