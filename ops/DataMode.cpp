#include "ops/DataMode.h"

#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "ops/ReportControl.h"
#include "sys/Clock.h"
#include "tlc/TlcConnection.h"

namespace {

constexpr int kSwitchAttempts = 3;
constexpr int k5410Polls = 5;
constexpr uint32_t k5410CmdWaitMs = 5;
constexpr uint32_t k5410PollWaitMs = 2;
constexpr uint32_t kFjordCmdWaitMs = 50;
constexpr uint32_t kNormalModeWaitMs = 10;

// Clears the frame-ready flag; the result does not matter.
void clearDataReady(TlcConnection& connection) {
    const uint8_t zero = 0x00;
    connection.write(chipProfile.dataReadyAddr, &zero, 1, false);
}

// ackPoll: up to three attempts of command, 5 ms, up to five polls of cmdAddr
// 2 ms apart for dataModeAck.
bool switchWithAckPoll(TlcConnection& connection) {
    LOG_INFO("SwitchToDataMode5410", "Switch to data mode.\n");
    uint8_t readback = 0;
    int writeRet = 0;
    for (int attempt = 0; attempt < kSwitchAttempts; ++attempt) {
        writeRet = connection.writeSeq(chipProfile.cmdAddr, chipProfile.dataModeCmd, false);
        if (writeRet != 0) {
            continue;
        }
        sleepMs(k5410CmdWaitMs);
        for (int poll = 0; poll < k5410Polls; ++poll) {
            uint8_t value = 0;
            if (connection.read(chipProfile.cmdAddr, &value, 1, false) != 0) {
                continue;
            }
            readback = value;
            if (readback == chipProfile.dataModeAck) {
                clearDataReady(connection);
                return true;
            }
            sleepMs(k5410PollWaitMs);
        }
    }
    if (writeRet != 0) {
        LOG_ERROR("SwitchToDataMode5410", "Write data cmd failed, ret:%d\n", writeRet);
    } else {
        LOG_ERROR("SwitchToDataMode5410",
                  "switch to data model failed at readback,cmd value is:0x%x,need:0xff\n",
                  readback);
    }
    return false;
}

// cmdStatus: up to three attempts of command, 50 ms, CheckCmdStatus.
bool switchWithCmdStatus(TlcConnection& connection) {
    int ret = 0;
    for (int attempt = 0; attempt < kSwitchAttempts; ++attempt) {
        ret = connection.writeSeq(chipProfile.cmdAddr, chipProfile.dataModeCmd, false);
        sleepMs(kFjordCmdWaitMs);
        if (ret != 0) {
            LOG_ERROR("SwitchToDataModeFjord", "Send switch to rawdata mode cmd failed, retry:%d\n",
                      attempt);
            continue;
        }
        ret = CheckCmdStatus(connection);
        if (ret != 0) {
            LOG_ERROR("SwitchToDataModeFjord", "CheckCmdStatus failed, retry:%d\n", attempt);
            continue;
        }
        LOG_INFO("SwitchToDataModeFjord", "CheckCmdStatus success!\n");
        clearDataReady(connection);
        return true;
    }
    LOG_ERROR("SwitchToDataModeFjord", "SwitchToDataModeFjord failed, ret:%d\n", ret);
    return false;
}

// Indexed by DataModeKind.
bool (*const kDataModeWays[])(TlcConnection&) = {nullptr, switchWithAckPoll, switchWithCmdStatus};

}  // namespace

bool SwitchToDataModel(TlcConnection& connection) {
    const auto way = wayOf(kDataModeWays, familyOf(chipType).dataMode);
    if (way != nullptr)
        return way(connection);
    LOG_ERROR("SwitchToDataModel", "unsupport disable report ,chip type:%d.\n", chipType);
    return false;
}

int SwitchOutDataModel(TlcConnection& connection) {
    LOG_INFO("SwitchOutDataModel", "Switch to normal mode.\n");
    const int written = connection.writeSeq(chipProfile.cmdAddr, chipProfile.normalModeCmd, false);
    sleepMs(kNormalModeWaitMs);
    return written;
}
