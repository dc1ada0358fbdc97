#include "fw/FwUpdate.h"

#include <cstring>
#include <memory>

#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "fw/FwDownload.h"
#include "fw/FwImage.h"
#include "log/Log.h"
#include "ops/PropertyQuery.h"
#include "ops/ReportControl.h"
#include "sys/Clock.h"
#include "tlc/TlcConnection.h"

namespace {

// Attempts at the whole download when it fails part way.
constexpr int kDownloadAttempts = 3;
constexpr uint32_t kDownloadRetryWaitMs = 50;
// Time the chip takes to start its new firmware before it is read again.
constexpr uint32_t kNewFirmwareStartWaitMs = 500;
// Where configuration data of the fjord family and Corvina holds its version.
constexpr uint32_t kCfgDataVersionOffset = 34;

// The configuration version carried by configuration data of this chip type.
uint8_t dataCfgVersion(const uint8_t* cfgData, uint32_t cfgLen, uint8_t chipCfgVersion) {
    if (chipType == CHIP_FJORDK8) {
        return chipCfgVersion;  // fjordK8 reports the version it holds itself
    }
    const uint32_t at =
        (chipType == CHIP_5410 || chipType == CHIP_5415R) ? 0 : kCfgDataVersionOffset;
    return at < cfgLen ? cfgData[at] : 0;
}

void logVid(const char* text, const uint8_t* vid) {
    LOG_INFO("fwUpdateHelper", "%s: %02X %02X %02X %02X.\n", text, vid[0], vid[1], vid[2], vid[3]);
}

}  // namespace

int32_t fwUpdateHelper(FwImage& image, bool ignoreVer, uint32_t fwFlag, const uint8_t* cfgData,
                       uint32_t cfgLen) {
    static const char* const fn = "fwUpdateHelper";
    LOG_DEBUG(fn, "Function begins.\n");
    TlcConnection connection;
    int32_t result = 0;
    do {
        if (connection.openTLC() != 0) {
            result = -1;
            break;
        }
        int ret = DisableReport(connection);
        if (ret != 0) {
            LOG_ERROR(fn, "fw update failed at disable report:%d.\n", ret);
            result = -1;
            break;
        }
        ret = connection.getBasicProperties();
        if (ret != 0) {
            LOG_ERROR(fn, "Read IC version failed. ret = %d.\n", ret);
            result = -2;
            break;
        }
        LOG_INFO(fn, "Before update, read IC version successfully.\n");
        logVid("Vid before update", connection.vid);
        LOG_INFO(fn, "fwImage initialize successfully.\n");
        if (!ignoreVer) {
            ret = checkUpdateWithConnection(connection, image);
            if (ret == -1) {
                LOG_ERROR(fn, "pid is invalid.\n");
                result = -1;
                break;
            }
            if (ret == -2) {
                if (cfgData == nullptr || cfgLen < 1) {
                    LOG_INFO(fn, "There's no need to update FW.\n");
                    result = 0;
                    break;
                }
                uint8_t chipCfgVersion = 0;
                if (getCfgVerWithConnection(connection, &chipCfgVersion) < 0) {
                    LOG_ERROR("checkCfgVersion", "read cfg version failed at check cfg version.\n");
                    result = -1;
                    break;
                }
                const uint8_t dataVersion = dataCfgVersion(cfgData, cfgLen, chipCfgVersion);
                LOG_INFO("checkCfgVersion", "read ic cfg version:0x%02x, data cfg ver:0x%02x.\n",
                         chipCfgVersion, dataVersion);
                if (chipCfgVersion == dataVersion) {
                    LOG_INFO(fn, "There's no need to update FW & cfg, version is equal.\n");
                    result = 0;
                    break;
                }
            }
        }
        result = -5;
        for (int remaining = kDownloadAttempts - 1; remaining >= 0; --remaining) {
            ret = fwUpdateWithConnection(connection, image, fwFlag, cfgData, cfgLen);
            if (ret == 0) {
                result = 0;
                break;
            }
            LOG_ERROR(fn, "Write firmware data failed. ret = %d. Retry remaining: %d.\n", ret,
                      remaining);
            sleepMs(kDownloadRetryWaitMs);
            if (remaining == 0) {
                LOG_ERROR(fn, "Write firmware data failed. ret = %d.\n", ret);
            }
        }
        if (result != 0) {
            break;
        }
        LOG_INFO(fn, "Write firmware data successfully.\n");
        sleepMs(kNewFirmwareStartWaitMs);
        if (DisableReport(connection) != 0) {
            LOG_ERROR(fn, "fwUpdateHelper disable report failed after update fw.\n");
            result = -1;
            break;
        }
        ret = connection.getBasicProperties();
        if (ret != 0) {
            LOG_ERROR(fn, " After update, read IC version failed. ret = %d.\n", ret);
            result = -6;
            break;
        }
        LOG_INFO(fn, "After update, read IC version successfully.\n");
        logVid("Firmware file Vid", image.vid);
        logVid("Vid after update", connection.vid);
        if (std::memcmp(image.vid, connection.vid, 4) != 0) {
            LOG_ERROR(fn, "Vid version verify after updating failed.\n");
            result = -7;
            break;
        }
        LOG_INFO(fn, "Update firmware successfully.\n");
        result = 0;
    } while (false);
    EnableReport(connection);
    connection.close();
    LOG_DEBUG(fn, "Function ends.\n");
    return result;
}

int32_t fwUpdateWithFile(const char* binFile, bool ignoreVer, uint32_t fwFlag,
                         const char* cfgFile) {
    static const char* const fn = "fwUpdateWithFile";
    LOG_DEBUG(fn, "Function begins.\n");
    std::unique_ptr<FwImage> image = createFwImage(chipType);
    if (!image) {
        LOG_ERROR(fn, "unsupport this type:%d.\n", chipType);
        LOG_DEBUG(fn, "Function ends,ret:%d\n", -1);
        return -1;
    }
    std::unique_ptr<CfgImage> cfgImage;
    if (isFjordFamily(chipType)) {
        cfgImage = std::make_unique<CfgImageFjordK>();
    }
    int32_t result = 0;
    do {
        int ret = image->load(binFile);
        if (ret != 0) {
            LOG_ERROR(fn, "Failed read firmware file %s. ret = %d.\n", logSafeText(binFile).c_str(),
                      ret);
            result = -3;
            break;
        }
        const bool withCfg = cfgFile != nullptr && cfgImage;
        if (withCfg) {
            LOG_INFO(fn, "find cfg flash to ic:%s\n", logSafeText(cfgFile).c_str());
            // The chip's own check must accept the block before it is flashed.
            if (cfgImage->load(cfgFile) != 0 || cfgImage->checkBlock(chipType) != 0) {
                LOG_ERROR(fn, "load cfg from file failed.\n");
                result = -4;
                break;
            }
        } else {
            LOG_INFO(fn, "can't find cfg flash to ic\n");
        }
        LOG_INFO(fn, "\n");
        const uint8_t* cfgData = withCfg ? cfgImage->getCfgData() : nullptr;
        const uint32_t cfgLen = withCfg ? cfgImage->cfgSize : 0;
        result = fwUpdateHelper(*image, ignoreVer, fwFlag, cfgData, cfgLen);
    } while (false);
    image->releaseData();
    if (cfgImage) {
        cfgImage->freeData();
    }
    LOG_DEBUG(fn, "Function ends,ret:%d\n", result);
    return result;
}
