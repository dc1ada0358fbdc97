#include "fw/FwUpdate.h"

#include <cstring>
#include <memory>
#include <string>

#include "cfg/CfgImage.h"
#include "cfg/CfgVerify.h"
#include "chip/CfgBlock.h"
#include "chip/ChipProfile.h"
#include "fw/FwDownload.h"
#include "fw/FwImage.h"
#include "log/Log.h"
#include "log/RunReason.h"
#include "ops/PropertyQuery.h"
#include "ops/ReportControl.h"
#include "ops/SafePoint.h"
#include "sys/Clock.h"
#include "sys/Interrupt.h"
#include "tlc/TlcConnection.h"

namespace {

FwUpdateFacts facts;
// The file of the update under way, for the reasons that name it.
std::string imageFile;

// Attempts at the whole download when it fails part way.
constexpr int kDownloadAttempts = 3;
constexpr uint32_t kDownloadRetryWaitMs = 50;
// Time the chip takes to start its new firmware before it is read again.
constexpr uint32_t kNewFirmwareStartWaitMs = 500;

// The configuration version carried by configuration data of this chip type.
uint8_t dataCfgVersion(const uint8_t* cfgData, uint32_t cfgLen, uint8_t chipCfgVersion) {
    const ChipFamily& family = familyOf(chipType);
    if (family.has(TRAIT_CHIP_CFG_VERSION)) {
        return chipCfgVersion;  // the chip's own version stands for the data's
    }
    const size_t at = cfgVersionAt(chipType);
    return at < cfgLen ? cfgData[at] : 0;
}

// Results of fwUpdateHelper's steps (the driver returns them as they are).
constexpr int32_t kHelperFailed = -1;  // open, report control, Pid or cfg version read
constexpr int32_t kHelperIdentityBeforeFailed = -2;
constexpr int32_t kHelperDownloadFailed = -5;
constexpr int32_t kHelperIdentityAfterFailed = -6;
constexpr int32_t kHelperVidMismatch = -7;
constexpr int32_t kHelperReportingNotResumed = -11;  // the final enable failed
// The version check found nothing to write: the driver ends with success.
constexpr int32_t kHelperUpToDate = 1;

const char* const kHelperFn = "fwUpdateHelper";

// Stops reporting on the open device and reads the chip's identity.
int32_t readIdentityBefore(TlcConnection& connection) {
    int ret = DisableReport(connection);
    if (ret != 0) {
        LOG_ERROR(kHelperFn, "fw update failed at disable report:%d.\n", ret);
        return kHelperFailed;
    }
    ret = connection.getBasicProperties();
    if (ret != 0) {
        LOG_ERROR(kHelperFn, "Read IC version failed. ret = %d.\n", ret);
        noteRunReason(kReasonGeneral,
                      "the chip's product id and version could not be read before the update; "
                      "nothing was written");
        return kHelperIdentityBeforeFailed;
    }
    facts.chipReadBefore = true;
    std::memcpy(facts.chipPid, connection.pid, sizeof facts.chipPid - 1);
    std::memcpy(facts.chipVidBefore, connection.vid, 4);
    LOG_INFO(kHelperFn, "Before update, read IC version successfully.\n");
    LOG_INFO(kHelperFn, "Vid before update: %s.\n", vidText(connection.vid).c_str());
    LOG_INFO(kHelperFn, "fwImage initialize successfully.\n");
    return 0;
}

// With equal firmware versions: whether the configuration still differs.
int32_t checkCfgVersion(TlcConnection& connection, const uint8_t* cfgData, uint32_t cfgLen) {
    if (cfgData == nullptr || cfgLen < 1) {
        LOG_INFO(kHelperFn, "There's no need to update FW.\n");
        noteRunNotice("firmware not written: the chip already has version %s (-i writes it anyway)",
                      vidText(connection.vid).c_str());
        return kHelperUpToDate;
    }
    uint8_t chipCfgVersion = 0;
    if (getCfgVerWithConnection(connection, &chipCfgVersion) < 0) {
        LOG_ERROR("checkCfgVersion", "read cfg version failed at check cfg version.\n");
        return kHelperFailed;
    }
    const uint8_t dataVersion = dataCfgVersion(cfgData, cfgLen, chipCfgVersion);
    LOG_INFO("checkCfgVersion", "read ic cfg version:0x%02x, data cfg ver:0x%02x.\n",
             chipCfgVersion, dataVersion);
    if (chipCfgVersion == dataVersion) {
        LOG_INFO(kHelperFn, "There's no need to update FW & cfg, version is equal.\n");
        noteRunNotice(
            "firmware and configuration not written: the chip already has this firmware "
            "version and configuration version %u (-i writes them anyway)",
            static_cast<unsigned>(chipCfgVersion));
        return kHelperUpToDate;
    }
    return 0;
}

// Whether the chip needs the image (0) or already holds it (kHelperUpToDate).
int32_t checkNeedsUpdate(TlcConnection& connection, FwImage& image, const uint8_t* cfgData,
                         uint32_t cfgLen) {
    const int ret = checkUpdateWithConnection(connection, image);
    if (ret == -1) {
        LOG_ERROR(kHelperFn, "pid is invalid.\n");
        noteRunReason(kReasonSpecific,
                      "%s is for product id \"%s\" but the chip reports \"%s\"; nothing was "
                      "written (check the file and --chip)",
                      imageFile.c_str(), logSafeText(image.pid).c_str(),
                      logSafeText(connection.pid).c_str());
        return kHelperFailed;
    }
    if (ret == -2) {
        return checkCfgVersion(connection, cfgData, cfgLen);
    }
    return 0;
}

// Runs the download, again after a failure, up to kDownloadAttempts times.
// An attempt is never cut short by an interrupt, and only a second one
// gives up the attempts left.
int32_t downloadWithRetries(TlcConnection& connection, FwImage& image, uint32_t fwFlag,
                            const uint8_t* cfgData, uint32_t cfgLen) {
    for (int remaining = kDownloadAttempts - 1; remaining >= 0; --remaining) {
        int ret;
        {
            InterruptHold download(InterruptHoldKind::firmwareDownload);
            ret = fwUpdateWithConnection(connection, image, fwFlag, cfgData, cfgLen);
        }
        if (ret == 0) {
            LOG_INFO(kHelperFn, "Write firmware data successfully.\n");
            return 0;
        }
        LOG_ERROR(kHelperFn, "Write firmware data failed. ret = %d. Retry remaining: %d.\n", ret,
                  remaining);
        sleepMs(kDownloadRetryWaitMs);
        if (remaining == 0) {
            LOG_ERROR(kHelperFn, "Write firmware data failed. ret = %d.\n", ret);
            noteRunReason(kReasonGeneral,
                          "the firmware download failed %d times; the chip may hold no working "
                          "firmware now: run the update again",
                          kDownloadAttempts);
        } else if (!retryAllowed()) {
            return kStoppedByInterrupt;
        }
    }
    return kHelperDownloadFailed;
}

// Reads the identity of the restarted chip and compares its Vid with the image's.
int32_t verifyNewFirmware(TlcConnection& connection, FwImage& image) {
    sleepMs(kNewFirmwareStartWaitMs);
    if (DisableReport(connection) != 0) {
        LOG_ERROR(kHelperFn, "fwUpdateHelper disable report failed after update fw.\n");
        return kHelperFailed;
    }
    const int ret = connection.getBasicProperties();
    if (ret != 0) {
        LOG_ERROR(kHelperFn, " After update, read IC version failed. ret = %d.\n", ret);
        noteRunReason(kReasonGeneral,
                      "the chip did not answer after the new firmware was started, so its "
                      "version could not be checked");
        return kHelperIdentityAfterFailed;
    }
    LOG_INFO(kHelperFn, "After update, read IC version successfully.\n");
    LOG_INFO(kHelperFn, "Firmware file Vid: %s.\n", vidText(image.vid).c_str());
    LOG_INFO(kHelperFn, "Vid after update: %s.\n", vidText(connection.vid).c_str());
    facts.chipReadAfter = true;
    std::memcpy(facts.chipVidAfter, connection.vid, 4);
    if (std::memcmp(image.vid, connection.vid, 4) != 0) {
        LOG_ERROR(kHelperFn, "Vid version verify after updating failed.\n");
        noteRunReason(kReasonSpecific,
                      "after the update the chip reports version %s, not the image's %s",
                      vidText(connection.vid).c_str(), vidText(image.vid).c_str());
        return kHelperVidMismatch;
    }
    LOG_INFO(kHelperFn, "Update firmware successfully.\n");
    return 0;
}

// The reason a firmware file was refused. A file that is a valid image of
// other families is named as such; the load of each family's layout is
// tried with the log quiet, since those failures are expected.
void noteImageRefused(const char* binFile, int32_t loadResult) {
    const std::string file = logSafeText(binFile);
    const char* chip = familyOf(chipType).name;
    if (loadResult == -2 || loadResult == -1) {
        noteRunReason(kReasonGeneral, "cannot open the firmware file %s", file.c_str());
        return;
    }
    if (loadResult != -6) {
        noteRunReason(kReasonGeneral, "cannot read the firmware file %s", file.c_str());
        return;
    }
    std::string fits;
    const FwImageLayout* own = fwImageLayout(chipType);
    const uint32_t savedLevel = logLevel;
    logLevel = 0;
    forEachFamilyImage([&](const ChipFamily& family, FwImage& other) {
        if (other.layout() != own && other.load(binFile) == 0)
            fits += (fits.empty() ? "" : " or ") + std::string(family.name);
    });
    logLevel = savedLevel;
    if (!fits.empty()) {
        noteRunReason(kReasonSpecific,
                      "%s is a %s image but the chip is %s; nothing was written (check the file "
                      "and --chip)",
                      file.c_str(), fits.c_str(), chip);
    } else {
        noteRunReason(kReasonGeneral,
                      "%s is not a valid %s firmware image (its length, checksum or table is "
                      "wrong); nothing was written",
                      file.c_str(), chip);
    }
}

}  // namespace

const FwUpdateFacts& lastFwUpdateFacts() {
    return facts;
}

void resetFwUpdateFacts() {
    facts = FwUpdateFacts{};
}

int32_t fwUpdateHelper(FwImage& image, bool ignoreVer, uint32_t fwFlag, const uint8_t* cfgData,
                       uint32_t cfgLen, bool verify) {
    LOG_DEBUG(kHelperFn, "Function begins.\n");
    // An interrupt stops the update before the download or after it, never
    // inside; reporting is enabled again and the device closed either way.
    InterruptHold hold(InterruptHoldKind::operation);
    TlcConnection connection;
    const bool opened = connection.openTLC() == 0;
    int32_t result = opened ? readIdentityBefore(connection) : kHelperFailed;
    if (result == 0 && !ignoreVer) {
        result = checkNeedsUpdate(connection, image, cfgData, cfgLen);
    }
    if (result == 0 && stopRequested()) {
        LOG_ERROR(kHelperFn,
                  "Stopped by an interrupt before the download; the firmware is unchanged.\n");
        result = kStoppedByInterrupt;
    }
    if (result == 0) {
        facts.written = true;
        result = downloadWithRetries(connection, image, fwFlag, cfgData, cfgLen);
    }
    if (result == 0 && stopRequested()) {
        LOG_ERROR(kHelperFn,
                  "Stopped by an interrupt after the download: the chip was restarted, its "
                  "version was not read back.\n");
        result = kStoppedByInterrupt;
    }
    if (result == 0) {
        result = verifyNewFirmware(connection, image);
    }
    if (result == kHelperUpToDate) {
        result = 0;
    }
    // --verify: the configuration the restarted chip holds (reporting is
    // still paused), also when nothing had to be written.
    if (result == 0 && verify && cfgData != nullptr && cfgLen > 0) {
        result = cfgVerifyWithConnection(connection, cfgData, cfgLen);
    }
    if (!opened) {
        EnableReport(connection);  // nothing was paused; the writes fail at once
    } else if (resumeReporting(connection, kHelperFn) != 0 && result == 0) {
        result = kHelperReportingNotResumed;
    }
    connection.close();
    if (result == 0 && stopRequested()) {
        LOG_ERROR(kHelperFn, "Stopped by an interrupt; the update itself was finished.\n");
        result = kStoppedByInterrupt;
    }
    LOG_DEBUG(kHelperFn, "Function ends.\n");
    return result;
}

int32_t fwUpdateWithFile(const char* binFile, bool ignoreVer, uint32_t fwFlag, const char* cfgFile,
                         bool verify) {
    static const char* const fn = "fwUpdateWithFile";
    LOG_DEBUG(fn, "Function begins.\n");
    std::unique_ptr<FwImage> image = createFwImage(chipType);
    if (!image) {
        LOG_ERROR(fn, "unsupport this type:%d.\n", chipType);
        LOG_DEBUG(fn, "Function ends,ret:%d\n", -1);
        return -1;
    }
    std::unique_ptr<CfgImage> cfgImage;
    if (familyOf(chipType).has(TRAIT_CFG_WITH_FIRMWARE)) {
        cfgImage = createCfgImage(chipType);
    }
    int32_t result = 0;
    imageFile = logSafeText(binFile);
    do {
        int ret = image->load(binFile);
        if (ret != 0) {
            LOG_ERROR(fn, "Failed read firmware file %s. ret = %d.\n", logSafeText(binFile).c_str(),
                      ret);
            noteImageRefused(binFile, ret);
            result = -3;
            break;
        }
        facts.imageLoaded = true;
        std::memcpy(facts.imagePid, image->pid, sizeof facts.imagePid);
        std::memcpy(facts.imageVid, image->vid, 4);
        const bool withCfg = cfgFile != nullptr && cfgImage;
        if (withCfg) {
            LOG_INFO(fn, "find cfg flash to ic:%s\n", logSafeText(cfgFile).c_str());
            // The chip's own check must accept the block before it is flashed.
            if (cfgImage->load(cfgFile) != 0 || cfgImage->checkBlock(chipType) != 0) {
                LOG_ERROR(fn, "load cfg from file failed.\n");
                noteRunReason(kReasonGeneral,
                              "%s is not a valid %s configuration file; nothing was written",
                              logSafeText(cfgFile).c_str(), familyOf(chipType).name);
                result = -4;
                break;
            }
        } else {
            LOG_INFO(fn, "can't find cfg flash to ic\n");
        }
        LOG_INFO(fn, "\n");
        const uint8_t* cfgData = withCfg ? cfgImage->getCfgData() : nullptr;
        const uint32_t cfgLen = withCfg ? cfgImage->cfgSize : 0;
        result = fwUpdateHelper(*image, ignoreVer, fwFlag, cfgData, cfgLen, verify);
    } while (false);
    image->releaseData();
    if (cfgImage) {
        cfgImage->freeData();
    }
    LOG_DEBUG(fn, "Function ends,ret:%d\n", result);
    return result;
}
