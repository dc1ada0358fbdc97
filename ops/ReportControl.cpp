#include "ops/ReportControl.h"

#include <numeric>

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

// How a family pauses and resumes touch reporting: a row of this table per
// report control kind. The names are the family's, for the log lines.
struct ReportControlWay {
    const char* label;        // "<label> disable report"
    const char* disableName;  // the log names of the two steps
    const char* enableName;
    int32_t (*disable)(TlcConnection&, const ReportControlWay&);
    int32_t (*enable)(TlcConnection&, const ReportControlWay&);
    // Families with a status answer: its name, its layout, and whether the
    // command status is polled after the command too.
    const char* statusName;
    int32_t statusLength;  // the answer: ..., status at statusAt, 16-bit LE checksum
    int32_t statusAt;      // of the bytes before it plus checksumAddend
    uint32_t checksumAddend;
    bool pollAfterCommand;
};

// Reads the report status answer at reportStatusAddr and checks its
// checksum. The status byte (0 or above) on success; -1 when the read
// failed, -2 when the checksum is wrong.
int32_t getReportStatus(TlcConnection& connection, const ReportControlWay& way) {
    const char* fn = way.statusName;
    uint8_t answer[8] = {0};
    const int r = connection.read(chipProfile.reportStatusAddr, answer, way.statusLength, false);
    if (r != 0) {
        LOG_ERROR(fn, "%s read report status failed,ret:%d\n", fn, r);
        return -1;
    }
    const int32_t checksumAt = way.statusLength - 2;
    const unsigned calChecksum = std::accumulate(answer, answer + checksumAt, way.checksumAddend);
    const unsigned readChecksum = answer[checksumAt] | (answer[checksumAt + 1] << 8);
    if (readChecksum != calChecksum) {
        LOG_ERROR(fn, "%s readChecksum(0x%X) not equal to calChecksum(0x%X)\n", fn, readChecksum,
                  calChecksum);
        return -2;
    }
    return answer[way.statusAt];
}

// Writes a command three times, 10 ms apart, whatever each write gives: 0
// when at least one of them went through, else the last write's result.
int writeThreeTimes(TlcConnection& connection, const Seq10& cmd) {
    int result = -1;
    for (int i = 0; i < kRepeatWrites; ++i) {
        const int written = connection.writeSeq(chipProfile.reportCmdAddr, cmd, false);
        if (result != 0)
            result = written;
        sleepMs(kRepeatWriteWaitMs);
    }
    return result;
}

// The attempts of the families with a status answer: command, (command
// status), report query, command status, status answer. Stops at the first
// attempt whose answer carries the wanted status; true when one did.
bool runStatusSequence(TlcConnection& connection, const char* fn, const char* verb,
                       const Seq10& cmd, const ReportControlWay& way, int32_t wanted) {
    for (int attempt = 0; attempt < kSequenceAttempts; ++attempt) {
        const int written = connection.writeSeq(chipProfile.reportCmdAddr, cmd, false);
        sleepMs(kSequenceWaitMs);
        if (written != 0) {
            LOG_ERROR(fn, "%s send %s report cmd failed, retry:%d\n", fn, verb, attempt);
            continue;
        }
        if (way.pollAfterCommand && CheckCmdStatus(connection) != 0) {
            LOG_ERROR(fn, "CheckCmdStatus failed, retry:%d\n", attempt);
            continue;
        }
        const int queried =
            connection.writeSeq(chipProfile.reportCmdAddr, chipProfile.reportQueryCmd, false);
        sleepMs(kSequenceWaitMs);
        if (queried != 0) {
            LOG_ERROR(fn, "%s send report query cmd failed, retry:%d\n", fn, attempt);
            continue;
        }
        if (CheckCmdStatus(connection) != 0) {
            LOG_ERROR(fn, "CheckCmdStatus failed, retry:%d\n", attempt);
            continue;
        }
        if (getReportStatus(connection, way) != wanted) {
            LOG_ERROR(fn, "%s failed, retry:%d\n", way.statusName, attempt);
            continue;
        }
        LOG_INFO(fn, "%s success, exit.\n", way.statusName);
        return true;
    }
    return false;
}

// 5410: disable written three times, then a report status query whose answer
// (check seed, status 1, check byte) is checked, up to three attempts.
int32_t disableWithQuery(TlcConnection& connection, const ReportControlWay& way) {
    const char* fn = way.disableName;
    LOG_INFO(fn, "%s disable report\n", way.label);
    int last = 0;  // result of the last register transfer of the last attempt
    for (int attempt = 0; attempt < k5410Attempts; ++attempt) {
        for (int i = 0; i < kRepeatWrites; ++i) {
            if (connection.writeSeq(chipProfile.reportCmdAddr, chipProfile.disableReportCmd,
                                    false) != 0) {
                LOG_ERROR(fn, "%s send disable report cmd failed.\n", fn);
            }
            sleepMs(kRepeatWriteWaitMs);
        }
        sleepMs(k5410QueryWaitMs);
        last = connection.writeSeq(chipProfile.reportCmdAddr, chipProfile.reportQueryCmd, false);
        if (last != 0) {
            LOG_ERROR(fn, "%s send read report cmd failed.\n", fn);
            continue;
        }
        sleepMs(k5410AnswerWaitMs);
        uint8_t answer[3] = {0};
        last = connection.read(chipProfile.reportCmdAddr, answer, sizeof answer, false);
        if (last != 0) {
            LOG_ERROR(fn, "%s read report status failed.\n", fn);
            continue;
        }
        const uint8_t check =
            static_cast<uint8_t>(chipProfile.reportCheckSeed + answer[1] + answer[2]);
        if (check != 0) {
            LOG_ERROR(fn, "%s checksum is invalid:0x%02x,\n", fn, check);
            LOG_ERROR(fn, "%s read data:0x%02x,0x%02x,0x%02x,\n", fn, chipProfile.reportCheckSeed,
                      answer[1], answer[2]);
            continue;
        }
        if (answer[1] == kStatusDisabled) {
            LOG_INFO(fn, "%s disable report exit,success.\n", way.label);
            return 0;
        }
        LOG_ERROR(fn, "%s report status is invalid:0x%02x.\n", fn, answer[1]);
    }
    LOG_INFO(fn, "%s disable report exit,failed.\n", way.label);
    // A wrong answer after good transfers counts as done: reporting is most
    // likely off, and the caller goes on.
    return last;
}

// 5415R: disable written three times, nothing checked.
int32_t disableThreeTimes(TlcConnection& connection, const ReportControlWay& way) {
    LOG_INFO(way.disableName, "%s disable report\n", way.label);
    writeThreeTimes(connection, chipProfile.disableReportCmd);
    LOG_INFO(way.disableName, "%s disable report end\n", way.label);
    return 0;
}

// 5410, 5415R: enable written three times.
int32_t enableThreeTimes(TlcConnection& connection, const ReportControlWay& way) {
    LOG_DEBUG(way.enableName, "%s run.\n", way.enableName);
    const int32_t result = writeThreeTimes(connection, chipProfile.enableReportCmd);
    LOG_DEBUG(way.enableName, "%s exit.\n", way.enableName);
    return result;
}

int32_t disableWithStatus(TlcConnection& connection, const ReportControlWay& way) {
    LOG_INFO(way.disableName, "%s disable report\n", way.label);
    runStatusSequence(connection, way.disableName, "disable", chipProfile.disableReportCmd, way,
                      kStatusDisabled);
    LOG_INFO(way.disableName, "%s disable report end\n", way.label);
    return 0;
}

int32_t enableWithStatus(TlcConnection& connection, const ReportControlWay& way) {
    LOG_DEBUG(way.enableName, "%s run.\n", way.enableName);
    const bool enabled = runStatusSequence(connection, way.enableName, "enable",
                                           chipProfile.enableReportCmd, way, kStatusEnabled);
    LOG_DEBUG(way.enableName, "%s exit.\n", way.enableName);
    return enabled ? 0 : -1;
}

int32_t nothingToSend(TlcConnection&, const ReportControlWay&) {
    return 0;
}

// Indexed by ReportControlKind.
const ReportControlWay kReportControlWays[] = {
    {"", "DisableReport", "EnableReport", nullptr, nullptr, "", 0, 0, 0, false},  // unsupported
    {"", "", "", nothingToSend, nothingToSend, "", 0, 0, 0, false},               // none
    {"5410", "DisableReport5410", "EnableReport5410", disableWithQuery, enableThreeTimes, "", 0, 0,
     0, false},
    {"5415R", "DisableReport5415R", "EnableReport5415R", disableThreeTimes, enableThreeTimes, "", 0,
     0, 0, false},
    {"fjordH3", "DisableReportFjordH3", "EnableReportFjordH3", disableWithStatus, enableWithStatus,
     "GetReportStatusFjordH3", 5, 2, 5, false},
    {"Corvina", "DisableReportCorvina", "EnableReportCorvina", disableWithStatus, enableWithStatus,
     "GetReportStatusCorvina", 4, 1, 0, true},
};

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

int32_t DisableReport(TlcConnection& connection) {
    const ReportControlWay& way = wayOf(kReportControlWays, familyOf(chipType).reportControl);
    if (way.disable != nullptr)
        return way.disable(connection, way);
    LOG_ERROR("DisableReport", "unsupport disable report ,chip type:%d.\n", chipType);
    return -1;
}

int32_t EnableReport(TlcConnection& connection) {
    const ReportControlWay& way = wayOf(kReportControlWays, familyOf(chipType).reportControl);
    if (way.enable != nullptr)
        return way.enable(connection, way);
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
