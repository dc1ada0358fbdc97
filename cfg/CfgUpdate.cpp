#include "cfg/CfgUpdate.h"

#include <cstring>
#include <memory>

#include "cfg/CfgImage.h"
#include "cfg/CfgVerify.h"
#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "log/RunReason.h"
#include "ops/PropertyQuery.h"
#include "ops/RegisterAccess.h"
#include "ops/ReportControl.h"
#include "ops/Reset.h"
#include "ops/SafePoint.h"
#include "sys/Clock.h"
#include "sys/Interrupt.h"
#include "tlc/TlcConnection.h"

namespace {

constexpr uint32_t kStartWaitMs = 100;      // 5410 / 5415R: before the start check
constexpr uint32_t kFjordStartWaitMs = 10;  // fjord: before the start acknowledgement
constexpr uint32_t kFinishWaitMs = 80;      // before the finish (or write-done) check
constexpr uint32_t kFjordFinishWaitMs = 10;
constexpr int kAttempts = 5;
constexpr uint32_t kAttemptWaitMs = 200;
constexpr size_t kVersionBufferSize = 65;

// 5410, 5415R: the start command, 100 ms, the start ready value at cmdAddr.
int32_t startLegacy(TlcConnection& connection, const char* fn) {
    const int r = connection.writeSeq(chipProfile.cmdAddr, chipProfile.cfgStartCmd, true);
    if (r != 0) {
        LOG_ERROR(fn, "Write send cfg cmd failed. ret = %d.\n", r);
        return -1;
    }
    LOG_INFO(fn, "Write send cfg cmd successfully.\n");
    sleepMs(kStartWaitMs);
    const int32_t check =
        checkChipRegValueEx(connection, chipProfile.cmdAddr, &chipProfile.cfgStartReadyValue, 1);
    if (check != 0) {
        LOG_ERROR(fn, "Chip write cfg cmd is NOT ready. ret = %d.\n", check);
        return -2;
    }
    return 0;
}

// Fjord family: the acknowledged start command.
int32_t startFjord(TlcConnection& connection, const char* fn) {
    const int32_t r = sendCfgCmd(connection, chipProfile.cfgStartCmd, kFjordStartWaitMs);
    if (r != 0) {
        LOG_ERROR(fn, "Chip write cfg cmd is NOT ready. ret = %d.\n", r);
        return -2;
    }
    return 0;
}

// 5410, 5415R: the finish command; -5 when it could not be sent.
int32_t sendLegacyFinishCmd(TlcConnection& connection, const char* fn, const char* label) {
    const int r = connection.writeSeq(chipProfile.cmdAddr, chipProfile.cfgFinishCmd, true);
    if (r != 0) {
        LOG_ERROR(fn, "%s,Write send cfg finish cmd failed. ret = %d.\n", label, r);
        return -5;
    }
    LOG_INFO(fn, "%s,Write send cfg finish cmd successfully.\n", label);
    sleepMs(kFinishWaitMs);
    return 0;
}

// 5410: the finish ready value at cmdAddr.
int32_t finish5410(TlcConnection& connection, const char* fn) {
    const int r = sendLegacyFinishCmd(connection, fn, "5410");
    if (r != 0)
        return r;
    const int32_t check =
        checkChipRegValueEx(connection, chipProfile.cmdAddr, &chipProfile.cfgFinishReadyValue, 1);
    if (check != 0) {
        LOG_ERROR(fn, "5410,Chip write cfg finish cmd is NOT ready. ret = %d.\n", check);
        return -6;
    }
    return 0;
}

// 5415R: a three-byte answer that starts with the ready value or is the
// alternative finish answer.
int32_t finish5415R(TlcConnection& connection, const char* fn) {
    const int r = sendLegacyFinishCmd(connection, fn, "5415R");
    if (r != 0)
        return r;
    uint8_t answer[3] = {0};
    if (connection.read(chipProfile.cmdAddr, answer, sizeof answer, true) != 0) {
        return -1;
    }
    const Seq10& alt = chipProfile.cfgFinishAltAnswer;
    const bool ready =
        answer[0] == chipProfile.cfgFinishReadyValue ||
        (alt.size() == sizeof answer && std::memcmp(answer, alt.data, sizeof answer) == 0);
    if (!ready) {
        LOG_ERROR(fn, "Chip write cfg finish cmd is NOT ready,0x%x:0x%02x,0x%02x,0x%02x\n",
                  chipProfile.cmdAddr, answer[0], answer[1], answer[2]);
        return -1;
    }
    LOG_INFO(fn, "Chip write cfg finish cmd is sucess,0x%x:0x%02x,0x%02x,0x%02x\n",
             chipProfile.cmdAddr, answer[0], answer[1], answer[2]);
    return 0;
}

// Fjord family: write-done, then finish, both acknowledged.
int32_t finishFjord(TlcConnection& connection, const char* fn) {
    if (sendCfgCmd(connection, chipProfile.cfgWriteDoneCmd, kFinishWaitMs) != 0) {
        LOG_ERROR(fn, "read back write buf finished cmd failed.\n");
        return -1;
    }
    const int32_t r = sendCfgCmd(connection, chipProfile.cfgFinishCmd, kFjordFinishWaitMs);
    if (r != 0) {
        LOG_ERROR(fn, "Chip write cfg finish cmd is NOT ready. ret = %d.\n", r);
        return -2;
    }
    return 0;
}

// How a family starts and finishes a configuration download; a row per
// configuration kind.
struct CfgUpdateWay {
    int32_t (*start)(TlcConnection&, const char* fn);
    int32_t (*finish)(TlcConnection&, const char* fn);
};

// Indexed by CfgKind.
const CfgUpdateWay kCfgUpdateWays[] = {
    {nullptr, nullptr},
    {startLegacy, finish5410},
    {startLegacy, finish5415R},
    {startFjord, finishFjord},
};

}  // namespace

int32_t cfgUpdateStartUpdateCfg(TlcConnection& connection) {
    static const char* const fn = "cfgUpdateStartUpdateCfg";
    const CfgUpdateWay& way = wayOf(kCfgUpdateWays, familyOf(chipType).cfg);
    if (way.start == nullptr) {
        LOG_ERROR(fn, "cfgUpdateStartUpdateCfg unsupport this chip:%d.\n", chipType);
        return -1;
    }
    const int32_t result = way.start(connection, fn);
    LOG_DEBUG(fn, "cfgUpdateStartUpdateCfg exit:%d.\n", result);
    return result;
}

int32_t cfgUpdateSendFinish(TlcConnection& connection) {
    const CfgUpdateWay& way = wayOf(kCfgUpdateWays, familyOf(chipType).cfg);
    if (way.finish != nullptr)
        return way.finish(connection, "cfgUpdateSendFinish");
    LOG_ERROR("cfgUpdateSendFinish", "send cfg finish,unsupport this type:%d\n", chipType);
    return -1;
}

int32_t cfgUpdateWithConnection(TlcConnection& connection, CfgImage& image) {
    static const char* const fn = "cfgUpdateWithConnection";
    LOG_DEBUG(fn, "Function begins.\n");
    int32_t result = 0;
    do {
        int32_t r = cfgUpdateStartUpdateCfg(connection);
        if (r != 0) {
            LOG_ERROR(fn, "start update cfg faild:%d.\n", r);
            result = r;
            break;
        }
        LOG_INFO(fn, "Chip write cfg cmd is ready.\n");
        const uint8_t* data = image.getCfgData();
        // The block is written whole; a size beyond the data held is refused
        // rather than read past.
        if (data == nullptr || image.cfgSize > image.cfgData.size()) {
            LOG_ERROR(fn, "No valid cfg data.\n");
            result = -3;
            break;
        }
        LOG_INFO(fn, "Load cfg data successfully.\n");
        r = connection.write(chipProfile.cfgAddr, data, static_cast<int32_t>(image.cfgSize), true);
        if (r != 0) {
            LOG_ERROR(fn, "Write cfg data to 0x%04X failed. ret = %d.\n", chipProfile.cfgAddr, r);
            result = -4;
            break;
        }
        LOG_INFO(fn, "Write cfg data to 0x%04X successfully.\n", chipProfile.cfgAddr);
        r = cfgUpdateSendFinish(connection);
        if (r != 0) {
            LOG_ERROR(fn, "update cfg,send finish cmd failed:%d.\n", r);
            result = r;
            break;
        }
        LOG_INFO(fn, "Download cfg successfully.\n");
    } while (false);
    LOG_DEBUG(fn, "Function ends.\n");
    return result;
}

namespace {

// Results of cfgUpdateHelper's steps (the driver returns them as they are).
constexpr int32_t kHelperFailed = -1;  // open or report control
constexpr int32_t kHelperVersionUnread = -2;
constexpr int32_t kHelperNotUpdated = -5;
// The chip holds the configuration but was not put back: its session could
// not be closed, the restart or the final enable failed.
constexpr int32_t kHelperNotPutBack = -6;
// The chip already holds the file's version: the driver ends with success.
constexpr int32_t kHelperUpToDate = 1;

const char* const kHelperFn = "cfgUpdateHelper";

CfgUpdateFacts facts;

int32_t pauseReports(TlcConnection& connection) {
    if (DisableReport(connection) != 0) {
        LOG_ERROR(kHelperFn, "cfgUpdateHelper disable report failed.\n");
        return kHelperFailed;
    }
    return 0;
}

// Reads the chip's configuration version into `version` (unless ignoreVer)
// and decides whether the file must be written.
int32_t checkNeedsUpdate(TlcConnection& connection, bool ignoreVer, uint8_t fileVersion,
                         uint8_t* version) {
    if (!ignoreVer) {
        LOG_INFO(kHelperFn, "Before updating cfg, check the checkSum.\n");
        if (getCfgVerWithConnection(connection, version) != 0) {
            LOG_ERROR(kHelperFn, "read cfg version failed at send cfg.\n");
            noteRunReason(kReasonGeneral,
                          "the chip's configuration version could not be read before the "
                          "update; nothing was written");
            return kHelperVersionUnread;
        }
        facts.chipReadBefore = true;
        facts.chipVersionBefore = version[0];
    }
    LOG_INFO(kHelperFn, "Cfg file before update from chip checksum correct.\n");
    LOG_INFO(kHelperFn, "cfgImage initialize successfully.\n");
    if (!ignoreVer && version[0] == fileVersion) {
        LOG_INFO(kHelperFn,
                 "Chip cfg version(%d) equals to input cfg file(%d), no need to update "
                 "config.\n",
                 version[0], fileVersion);
        noteRunNotice(
            "configuration not written: the chip already has version %u (-i writes it anyway)",
            static_cast<unsigned>(fileVersion));
        return kHelperUpToDate;
    }
    LOG_INFO(kHelperFn, "Chip cfg version(%d) does not equal to input cfg file(%d).\n", version[0],
             fileVersion);
    return 0;
}

// One download and read-back, reporting already paused; true when the chip
// then reports the file's version. An interrupt never cuts it short.
// *sessionLeftOpen: the command that ends the session (5415R) failed.
bool attemptUpdate(TlcConnection& connection, CfgImage& image, uint8_t fileVersion,
                   uint8_t* version, int remaining, bool* sessionLeftOpen) {
    InterruptHold download(InterruptHoldKind::configurationDownload);
    const int32_t r = cfgUpdateWithConnection(connection, image);
    sleepMs(kAttemptWaitMs);
    *sessionLeftOpen = !chipProfile.cfgResetCmd.empty() &&
                       connection.writeSeq(chipProfile.cmdAddr, chipProfile.cfgResetCmd, true) != 0;
    if (r != 0) {
        LOG_ERROR(kHelperFn, "Cannot update new cfg data. ret = %d. Retry remaining: %d.\n", r,
                  remaining);
        sleepMs(kAttemptWaitMs);
        return false;
    }
    LOG_INFO(kHelperFn, "Update cfg Complete.\n");
    if (getCfgVerWithConnection(connection, version) != 0) {
        LOG_ERROR(kHelperFn, "error reading version after update cfg,retry:%d.\n", remaining);
        return false;
    }
    facts.chipReadAfter = true;
    facts.chipVersionAfter = version[0];
    if (version[0] == fileVersion) {
        LOG_INFO(kHelperFn, "Update cfg successfully. Cfg version is 0x%02X.\n", version[0]);
        return true;
    }
    LOG_ERROR(kHelperFn,
              "After config update, chip cfg version(%d) does not equal to cfg file "
              "version(%d). Retry remaining: %d.\n",
              version[0], fileVersion, remaining);
    sleepMs(kAttemptWaitMs);
    return false;
}

// An interrupt before the first download stops the update there; after a
// failed attempt only a second one gives up the attempts left.
int32_t updateWithRetries(TlcConnection& connection, CfgImage& image, uint8_t fileVersion,
                          uint8_t* version, bool* sessionLeftOpen) {
    for (int remaining = kAttempts - 1; remaining >= 0; --remaining) {
        DisableReport(connection);
        if (remaining == kAttempts - 1 && stopRequested()) {
            LOG_ERROR(kHelperFn,
                      "Stopped by an interrupt before the download; the configuration is "
                      "unchanged.\n");
            return kStoppedByInterrupt;
        }
        if (attemptUpdate(connection, image, fileVersion, version, remaining, sessionLeftOpen)) {
            return 0;
        }
        if (remaining > 0 && !retryAllowed()) {
            return kStoppedByInterrupt;
        }
    }
    LOG_ERROR(kHelperFn, "Update cfg failed.\n");
    if (facts.chipReadAfter && facts.chipVersionAfter != fileVersion) {
        noteRunReason(kReasonSpecific,
                      "after %d attempts the chip reports configuration version %u, not the "
                      "file's %u",
                      kAttempts, static_cast<unsigned>(facts.chipVersionAfter),
                      static_cast<unsigned>(fileVersion));
    } else {
        noteRunReason(kReasonGeneral, "the configuration download failed %d times", kAttempts);
    }
    return kHelperNotUpdated;
}

// --verify: the configuration area of the restarted chip against the block
// sent, with reporting paused as for every configuration read (the restart
// resumes it; the clean-up enables it again).
int32_t verifyAfterRestart(TlcConnection& connection, CfgImage& image) {
    DisableReport(connection);
    return cfgVerifyWithConnection(connection, image.getCfgData(), image.cfgSize);
}

// The clean-up of every run: restart, reporting on. After a failed open
// nothing reaches the chip and only the steps' own lines are logged;
// otherwise each step the tool sees fail gets its Error line, and a run
// that had succeeded fails with kHelperNotPutBack. With --verify the restarted
// chip's configuration is read back before reporting is resumed.
int32_t putChipBack(TlcConnection& connection, CfgImage& image, bool opened, bool sessionLeftOpen,
                    bool verify, int32_t result) {
    const int32_t reset = resetIC();
    if (!opened) {
        EnableReport(connection);
        return result;
    }
    if (result == 0 && reset == 0 && verify) {
        result = verifyAfterRestart(connection, image);
    }
    const int32_t enabled = resumeReporting(connection, kHelperFn);
    if (sessionLeftOpen) {
        LOG_ERROR(kHelperFn, "The configuration session could not be closed.\n");
    }
    if (reset != 0) {
        LOG_ERROR(kHelperFn, "The chip could not be restarted after the configuration update.\n");
    }
    if (result == 0 && (sessionLeftOpen || reset != 0 || enabled != 0)) {
        result = kHelperNotPutBack;
    }
    return result;
}

}  // namespace

int32_t cfgUpdateHelper(CfgImage& image, bool ignoreVer, bool verify) {
    // An interrupt stops the update before the download or after it, never
    // inside; the restart, reporting and the close follow either way.
    InterruptHold hold(InterruptHoldKind::operation);
    TlcConnection connection;
    uint8_t version[kVersionBufferSize] = {0};
    LOG_DEBUG(kHelperFn, "Function begins.\n");
    const bool opened = connection.openTLC() == 0;
    int32_t result = opened ? pauseReports(connection) : kHelperFailed;
    bool sessionLeftOpen = false;
    if (result == 0) {
        const uint8_t fileVersion = image.getCfgVersion();
        result = checkNeedsUpdate(connection, ignoreVer, fileVersion, version);
        facts.fileVersion = fileVersion;
        if (result == 0) {
            facts.written = true;
            result = updateWithRetries(connection, image, fileVersion, version, &sessionLeftOpen);
        }
    }
    if (result == kHelperUpToDate) {
        result = 0;
    }
    result = putChipBack(connection, image, opened, sessionLeftOpen, verify, result);
    connection.close();
    if (result == 0 && stopRequested()) {
        LOG_ERROR(kHelperFn, "Stopped by an interrupt; the update itself was finished.\n");
        result = kStoppedByInterrupt;
    }
    image.freeData();
    LOG_DEBUG(kHelperFn, "Function ends.\n");
    return result;
}

const CfgUpdateFacts& lastCfgUpdateFacts() {
    return facts;
}

void resetCfgUpdateFacts() {
    facts = CfgUpdateFacts{};
}

int32_t cfgUpdateWithFile(const char* cfgFile, bool ignoreVer, bool verify) {
    static const char* const fn = "cfgUpdateWithFile";
    LOG_DEBUG(fn, "Function begins.\n");
    int32_t result;
    std::unique_ptr<CfgImage> image = createCfgImage(chipType);
    if (!image) {
        LOG_ERROR(fn, "cfgUpdateWithFile unsupport this chip type:%d.\n", chipType);
        result = -1;
    } else {
        int32_t b = image->load(cfgFile);
        // A block the chip's own check would reject is never sent: written,
        // it would leave a chip whose configuration version cannot be read.
        if (b == 0)
            b = image->checkBlock(chipType);
        if (b != 0) {
            LOG_ERROR(fn, "Failed read cfg file: %s. ret = %d.\n", logSafeText(cfgFile).c_str(), b);
            noteRunReason(kReasonGeneral,
                          "%s is not a valid %s configuration file; nothing was written",
                          logSafeText(cfgFile).c_str(), familyOf(chipType).name);
            result = -3;
        } else {
            facts.fileLoaded = true;
            result = cfgUpdateHelper(*image, ignoreVer, verify);
        }
    }
    LOG_DEBUG(fn, "Function ends:%d.\n", result);
    return result;
}
