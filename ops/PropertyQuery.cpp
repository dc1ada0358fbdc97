#include "ops/PropertyQuery.h"

#include <algorithm>
#include <cstring>

#include "chip/CfgBlock.h"
#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "ops/RegisterAccess.h"
#include "ops/ReportControl.h"
#include "ops/SafePoint.h"
#include "sys/Clock.h"
#include "sys/Interrupt.h"
#include "tlc/TlcConnection.h"

namespace {

constexpr uint32_t kCfgCmdWaitMs = 10;
// The fjord-family block is read in two halves.
constexpr int kCfgBlockHalf = static_cast<int>(kCfgBlockBytesFjord / 2);
constexpr int kCfgVerMaxLen = 16;
// Reads of the whole configuration area (read-back of --verify).
constexpr int kCfgAreaReadAttempts = 3;
constexpr uint32_t kCfgAreaReadRetryWaitMs = 20;

// Results of the queries beyond those of their steps.
constexpr int32_t kReportingNotResumed = -4;  // the final enable failed
constexpr int32_t kCfgReadNotEnded = -5;      // the configuration read stayed open

// The frame shared by the four run modes: open, pause reporting, read, resume,
// close. `readStep` returns the operation's code. An interrupt waits until
// reporting is on again: before the read it skips the read, and in any
// case the query fails.
template <typename ReadStep>
int32_t runPropertyQuery(const char* fn, const void* out, ReadStep readStep) {
    LOG_DEBUG(fn, "Function begins.\n");
    if (out == nullptr) {
        LOG_ERROR(fn, "The pointer cannot be NULL.\n");
        return -1;
    }
    InterruptHold hold(InterruptHoldKind::operation);
    TlcConnection connection;
    if (connection.openTLC() != 0) {
        return -2;
    }
    DisableReport(connection);
    int32_t ret;
    if (stopRequested()) {
        LOG_ERROR(fn, "Stopped by an interrupt before the read.\n");
        ret = kStoppedByInterrupt;
    } else {
        ret = readStep(connection);
    }
    if (resumeReporting(connection, fn) != 0 && ret == 0) {
        ret = kReportingNotResumed;
    }
    connection.close();
    if (ret == 0 && stopRequested()) {
        LOG_ERROR(fn, "Stopped by an interrupt that came during the read.\n");
        ret = kStoppedByInterrupt;
    }
    LOG_DEBUG(fn, "Function ends.\n");
    return ret;
}

// The queries of the chip's identity: getBasicProperties (its failure logged
// and mapped to -3), then `take` hands the caller what it asked for.
template <typename Take>
int32_t runIdentityQuery(const char* fn, const void* out, Take take) {
    return runPropertyQuery(fn, out, [&](TlcConnection& connection) {
        const int r = connection.getBasicProperties();
        if (r != 0) {
            LOG_ERROR(fn, "Read IC version failed. ret = %d.\n", r);
            return -3;
        }
        take(connection);
        return 0;
    });
}

// Logs every byte of the 5410 / 5415R configuration version run and checks
// its check bytes.
bool checkCfgCheckSum(const uint8_t* bytes, int len) {
    for (int i = 0; i < len; ++i) {
        LOG_INFO("checkCfgCheckSum", "<checkCfgCheckSum> Addr: 0x%04X; Value: 0x%02X.\n",
                 (chipProfile.cfgAddr + static_cast<uint32_t>(i)) & 0xFFFF, bytes[i]);
    }
    return checkCfgBlock(chipType, bytes, static_cast<size_t>(len)).passed;
}

int32_t cfgVerLegacy(TlcConnection& connection, uint8_t* out) {
    uint8_t bytes[kCfgVerMaxLen] = {0};
    // cfgVerLen is the length of the family's check (chip/CfgBlock.h).
    const int32_t len = std::clamp<int32_t>(chipProfile.cfgVerLen, 0, kCfgVerMaxLen);
    const int r = connection.read(chipProfile.cfgAddr, bytes, len, true);
    if (r != 0) {
        LOG_ERROR("getCfgVerWithConnection",
                  "<getCfgVerWithConnection> Read cfg version failed. ret = %d.\n", r);
        return -3;
    }
    if (!checkCfgCheckSum(bytes, len)) {
        LOG_ERROR("getCfgVerWithConnection",
                  "getCfgVerWithConnection,check cfg data buf failed.\n");
        return -1;
    }
    *out = bytes[cfgVersionAt(chipType)];
    LOG_INFO("getCfgVerWithConnection",
             "<getCfgVerWithConnection> Read firmware cfg version success, cfg version: 0x%02X.\n",
             *out);
    return 0;
}

// The fjord family's configuration read window: the read-start command,
// acknowledged, opens it; the read-end command closes it (its acknowledgement
// is not looked at).
bool openCfgReadWindow(TlcConnection& connection) {
    return sendCfgCmd(connection, chipProfile.cfgReadStartCmd, kCfgCmdWaitMs) == 0;
}

// False (after its Error line) when the chip did not acknowledge the end of
// the read: it is then still in its configuration read.
bool closeCfgReadWindow(TlcConnection& connection) {
    if (sendCfgCmd(connection, chipProfile.cfgReadEndCmd, kCfgCmdWaitMs,
                   chipProfile.cfgReadEndAck) == 0) {
        return true;
    }
    LOG_ERROR("getCfgVerWithConnection", "The configuration read could not be ended.\n");
    return false;
}

int32_t cfgVerFjord(TlcConnection& connection, uint8_t* out) {
    const ChipProfile& p = chipProfile;
    if (!openCfgReadWindow(connection)) {
        LOG_ERROR("getCfgVerWithConnection", "start read cfg at send start read cfg cmd failed.\n");
        return -1;
    }
    uint8_t block[kCfgBlockBytesFjord] = {0};
    const int first = connection.read(p.cfgAddr, block, kCfgBlockHalf, true);
    const int second =
        connection.read(p.cfgAddr + kCfgBlockHalf, block + kCfgBlockHalf, kCfgBlockHalf, true);
    int32_t code;
    uint8_t version = 0;
    if (first != 0 || second != 0) {
        LOG_ERROR("getCfgVerWithConnection", "Read cfg version failed. ret = %d.\n",
                  first | second);
        code = -3;
    } else {
        const CfgBlockCheck check = checkCfgBlock(chipType, block, sizeof block);
        if (check.passed) {
            version = block[cfgVersionAt(chipType)];
            LOG_INFO("getCfgVerWithConnection",
                     "Read firmware cfg version success, cfg version: 0x%02X.\n", version);
            code = 0;
        } else {
            LOG_ERROR("getCfgVerWithConnection",
                      "cfg data checksum error,cal checksum:0x%x,read checksum:%x\n",
                      check.computed, check.expected);
            code = -1;
        }
    }
    // A read that cannot be ended leaves the chip in its configuration read.
    if (!closeCfgReadWindow(connection) && code == 0) {
        code = kCfgReadNotEnded;
    }
    if (code == 0)
        *out = version;
    return code;
}

// Reads len bytes at addr, again after a failure, up to kCfgAreaReadAttempts times.
int32_t readCfgArea(TlcConnection& connection, uint8_t* out, int32_t len) {
    static const char* const fn = "readCfgAreaWithConnection";
    for (int remaining = kCfgAreaReadAttempts - 1; remaining >= 0; --remaining) {
        const int r = connection.read(chipProfile.cfgAddr, out, len, false);
        if (r == 0) {
            return 0;
        }
        LOG_ERROR(fn, "Read cfg area failed. ret = %d. Retry remaining: %d.\n", r, remaining);
        sleepMs(kCfgAreaReadRetryWaitMs);
    }
    return -3;
}

}  // namespace

int32_t getPid(char* pid) {
    return runIdentityQuery("getPid", pid, [&](TlcConnection& connection) {
        LOG_INFO("getPid", "Get Pid successfully.\n");
        std::memcpy(pid, connection.pid, sizeof connection.pid);
        LOG_INFO("getPid", "Pid: %s.\n", logSafeText(pid).c_str());
    });
}

int32_t getVid(uint8_t* vid) {
    return runIdentityQuery("getVid", vid, [&](TlcConnection& connection) {
        LOG_INFO("getVid", "Get Vid successfully.\n");
        std::memcpy(vid, connection.vid, 4);
        LOG_INFO("getVid", "Vid: %02X %02X %02X %02X.\n", vid[0], vid[1], vid[2], vid[3]);
    });
}

int32_t getChipSensorID(uint8_t* sensorId) {
    return runIdentityQuery("getChipSensorID", sensorId, [&](TlcConnection& connection) {
        *sensorId = connection.sensorId;
        LOG_INFO("getChipSensorID", "Read sensor ID successfully. Sid = %d.\n", *sensorId);
    });
}

int32_t getCfgVer(uint8_t* cfgVer) {
    return runPropertyQuery("getCfgVer", cfgVer, [&](TlcConnection& connection) {
        return getCfgVerWithConnection(connection, cfgVer);
    });
}

namespace {

// How a family's configuration is read: a row per configuration kind.
struct CfgReadWay {
    int32_t (*version)(TlcConnection&, uint8_t* out);  // nullptr: no configuration
    bool window;  // the configuration area is read inside the read window
};

// Indexed by CfgKind.
const CfgReadWay kCfgReadWays[] = {
    {nullptr, false},
    {cfgVerLegacy, false},
    {cfgVerLegacy, false},
    {cfgVerFjord, true},
};

const CfgReadWay& cfgReadWay() {
    return wayOf(kCfgReadWays, familyOf(chipType).cfg);
}

}  // namespace

int32_t getCfgVerWithConnection(TlcConnection& connection, uint8_t* out) {
    if (cfgReadWay().version != nullptr)
        return cfgReadWay().version(connection, out);
    LOG_ERROR("getCfgVerWithConnection", "unsuppor this ic type:0x%x.\n", chipType);
    return -1;
}

int32_t readCfgAreaWithConnection(TlcConnection& connection, uint8_t* out, int32_t len) {
    static const char* const fn = "readCfgAreaWithConnection";
    const uint64_t last = uint64_t{chipProfile.cfgAddr} + static_cast<uint64_t>(len) - 1;
    if (cfgReadWay().version == nullptr || out == nullptr || len < 1 ||
        last > tlcMaxAddress(chipProfile.protoType)) {
        LOG_ERROR(fn, "Cannot read %d bytes of cfg area at 0x%04X on ic type 0x%x.\n", len,
                  chipProfile.cfgAddr, chipType);
        return -1;
    }
    const bool window = cfgReadWay().window;
    if (window && !openCfgReadWindow(connection)) {
        LOG_ERROR(fn, "start read cfg at send start read cfg cmd failed.\n");
        return -1;
    }
    int32_t code = readCfgArea(connection, out, len);
    if (window && !closeCfgReadWindow(connection) && code == 0) {
        code = kCfgReadNotEnded;
    }
    return code;
}
