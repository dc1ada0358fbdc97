#include "fw/FwDownload.h"

#include <algorithm>
#include <cstring>

#include "chip/ChipProfile.h"
#include "fw/FwImage.h"
#include "log/Log.h"
#include "log/Progress.h"
#include "ops/RegisterAccess.h"
#include "ops/ReportControl.h"
#include "ops/Reset.h"
#include "ops/SafePoint.h"
#include "sys/Bytes.h"
#include "sys/Clock.h"
#include "tlc/TlcConnection.h"

namespace {

// The sub-firmware before which the chip's flash preparation command (if any) goes.
constexpr int32_t kFlashPrepareSubFw = 5;
// Attempts at one flash block (buffer write, flash command, acknowledgement).
constexpr int kFlashBlockAttempts = 10;
// Time the chip takes to flash one block before its acknowledgement is read.
constexpr uint32_t kFlashBlockWaitMs = 80;
constexpr int kEnterUpdateAttempts = 3;
constexpr int kRamCheckAttempts = 3;
constexpr uint32_t kRamCheckRetryWaitMs = 10;
// Time the chip takes to switch to its patch before the patch status is read.
constexpr uint32_t kSwitchToPatchWaitMs = 250;
// Time the update program takes to start before the first block is sent.
constexpr uint32_t kUpdateProgramStartWaitMs = 100;
const uint8_t kRamCheckPattern[] = {0x55, 0x55, 0x55, 0x55, 0x55};

// Byte i of a block, 0 past its end (the odd last word of a block).
uint32_t byteAt(const uint8_t* block, uint32_t blockLen, uint32_t i) {
    return i < blockLen ? block[i] : 0;
}

}  // namespace

int32_t checkUpdateWithConnection(TlcConnection& connection, FwImage& image) {
    LOG_DEBUG("checkUpdateWithConnection", "<checkUpdateWithConnection> Function begins.\n");
    int32_t result;
    const size_t pidLen = std::min<size_t>(static_cast<size_t>(chipProfile.pidLen), 8);
    const size_t vidLen = std::min<size_t>(static_cast<size_t>(chipProfile.vidLen), 4);
    if (std::memcmp(connection.pid, image.pid, pidLen) != 0) {
        LOG_ERROR("checkUpdateWithConnection",
                  "<checkUpdateWithConnection> Pid from connection(%s) is different from Pid from "
                  "fwImage(%s).\n",
                  logSafeText(connection.pid).c_str(), logSafeText(image.pid).c_str());
        result = -1;
    } else if (std::memcmp(connection.vid, image.vid, vidLen) == 0) {
        LOG_INFO("checkUpdateWithConnection",
                 "<checkUpdateWithConnection> Vid equals(%s), do NOT need update.\n",
                 vidText(connection.vid).c_str());
        result = -2;
    } else {
        LOG_INFO("checkUpdateWithConnection",
                 "<checkUpdateWithConnection> Vid from connection(%s) is different from Vid from "
                 "fwImage(%s), an update needed.\n",
                 vidText(connection.vid).c_str(), vidText(image.vid).c_str());
        result = 0;
    }
    LOG_DEBUG("checkUpdateWithConnection", "<checkUpdateWithConnection> Function ends.\n");
    return result;
}

int buildFlashBlockCmd(const uint8_t* block, uint32_t blockLen, uint32_t flashAddr, uint8_t* out) {
    const Seq12& head = chipProfile.flashBlockCmd;
    // The family's image layout sets the announcement: layout A carries a
    // 24-bit address and a big-endian 16-bit word sum, layout B a 32-bit
    // address and a little-endian 32-bit word sum.
    const FwImageLayout* layout = fwImageLayout(chipType);
    if (layout == nullptr) {
        return 0;
    }
    if (layout->kind == FwLayoutKind::A) {
        uint16_t sum = 0;  // big-endian words, modulo 65536
        for (uint32_t i = 0; i < blockLen; i += 2) {
            sum = static_cast<uint16_t>(sum + (byteAt(block, blockLen, i) << 8) +
                                        byteAt(block, blockLen, i + 1));
        }
        std::memcpy(out, head.data, 5);
        writeBe16(out + 5, blockLen);
        writeBe16(out + 7, flashAddr >> 8);  // the address's upper two of three bytes
        writeBe16(out + 9, sum);
        return 11;
    }
    const uint32_t sum = fwChecksumLayoutB(block, blockLen);  // the image's own word sum
    std::memcpy(out, head.data, 5);
    writeBe16(out + 5, blockLen);
    writeBe32(out + 7, flashAddr);
    writeBe32(out + 11, sum);
    return 15;
}

namespace {

// One block of a sub-firmware on its way to flash.
struct FlashBlock {
    const uint8_t* data;
    uint32_t len;
    uint32_t addr;
    uint32_t totalLen;  // the whole sub-firmware's length, for the log
};

// One attempt at a block: RAM buffer, load-flash command, acknowledgement.
bool flashBlockOnce(TlcConnection& connection, const FlashBlock& block, int remaining) {
    LOG_INFO("loadSubFw",
             "Writing sub fw, total length: %d, flashAddr: 0x%04X, now write len: %d.\n",
             static_cast<int>(block.totalLen), block.addr, static_cast<int>(block.len));
    int ret =
        connection.write(chipProfile.fwBufAddr, block.data, static_cast<int32_t>(block.len), false);
    if (ret != 0) {
        LOG_ERROR("loadSubFw",
                  "Failed to write sub fw, total length: %d, flashAddr: 0x%04X, now write "
                  "len: %d. ret = %d. Retry remaining: %d.\n",
                  static_cast<int>(block.totalLen), block.addr, static_cast<int>(block.len), ret,
                  remaining);
        return false;
    }
    uint8_t cmd[kFlashBlockCmdMaxLen] = {0};
    const int cmdLen = buildFlashBlockCmd(block.data, block.len, block.addr, cmd);
    ret = connection.write0(cmd, cmdLen, false);
    if (ret != 0) {
        LOG_ERROR("loadSubFw", "Failed write load flash command. ret = %d. Retry remaining: %d.\n",
                  ret, remaining);
        return false;
    }
    sleepMs(kFlashBlockWaitMs);
    ret =
        checkChipRegValueEx(connection, chipProfile.flashStatusAddr, &chipProfile.flashAckValue, 1);
    if (ret != 0) {
        LOG_ERROR("loadSubFw", "Write load flash command error. ret = %d. Retry remaining: %d.\n",
                  ret, remaining);
        return false;
    }
    const uint8_t clear = 0x00;
    connection.write(chipProfile.flashStatusAddr, &clear, 1, false);
    return true;
}

bool flashBlock(TlcConnection& connection, const FlashBlock& block) {
    for (int remaining = kFlashBlockAttempts - 1; remaining >= 0; --remaining) {
        if (flashBlockOnce(connection, block, remaining)) {
            return true;
        }
    }
    LOG_ERROR("loadSubFw", "Write load flash command error.\n");
    return false;
}

}  // namespace

int32_t loadSubFw(TlcConnection& connection, uint32_t flashAddr, const uint8_t* data,
                  uint32_t length) {
    LOG_DEBUG("loadSubFw", "<%s> Function begins.\n", "loadSubFw");
    int32_t result = 0;
    if (data == nullptr && length > 0) {
        LOG_ERROR("loadSubFw", "No data for the %u bytes to flash at 0x%04X.\n", length, flashAddr);
        result = -1;
    }
    for (uint32_t sent = 0; result == 0 && sent < length;) {
        // An interrupt does not stop the download; it shows in the log now.
        logInterruptNotes();
        const uint32_t blockLen = std::min(length - sent, kFlashBlockSize);
        const FlashBlock block{data + sent, blockLen, flashAddr + sent, length};
        if (!flashBlock(connection, block)) {
            result = -1;
        }
        sent += blockLen;
    }
    if (result == 0) {
        LOG_INFO("loadSubFw", "Load sub firmware data successfully.\n");
    }
    LOG_DEBUG("loadSubFw", "Function ends.\n");
    return result;
}

int32_t NotifyICEnterUpdate(TlcConnection& connection) {
    int32_t result = -3;
    for (int attempt = 0; attempt < kEnterUpdateAttempts; ++attempt) {
        const int ret =
            connection.write0(chipProfile.enterUpdateCmd.data,
                              static_cast<int32_t>(chipProfile.enterUpdateCmd.size()), true);
        if (ret == 0) {
            result = 0;
            break;
        }
        LOG_ERROR("NotifyICEnterUpdate",
                  "<NotifyICEnterUpdate> Failed to start updating. ret = %d.\n", ret);
    }
    if (!familyOf(chipType).has(TRAIT_UPDATE_RAM_CHECK)) {
        return result;
    }
    // The update program proves it runs by echoing a RAM pattern.
    uint8_t readBack[sizeof kRamCheckPattern] = {0};
    for (int attempt = 0; attempt < kRamCheckAttempts; ++attempt) {
        connection.write(chipProfile.fwBufAddr, kRamCheckPattern, sizeof kRamCheckPattern, false);
        connection.read(chipProfile.fwBufAddr, readBack, sizeof readBack, false);
        if (std::memcmp(readBack, kRamCheckPattern, sizeof readBack) == 0) {
            return 0;
        }
        sleepMs(kRamCheckRetryWaitMs);
    }
    return -1;
}

namespace {

// Results of fwUpdateWithConnection's steps (the driver returns them as they are).
constexpr int32_t kDownloadSwitchNotSent = -1;
constexpr int32_t kDownloadPatchNotReady = -2;
constexpr int32_t kDownloadNotEntered = -3;
constexpr int32_t kDownloadNoImage = -4;
constexpr int32_t kDownloadSubFwFailed = -5;
constexpr int32_t kDownloadResetFailed = -6;
// A sub-firmware whose type fwFlag does not select: not flashed, no progress.
constexpr int32_t kSubFwSkipped = 1;

const char* const kDownloadFn = "fwUpdateWithConnection";

// Switches the chip to its update patch and checks that the patch runs.
int32_t switchToPatch(TlcConnection& connection) {
    LOG_INFO(kDownloadFn, "Start switching to patch.\n");
    const int ret =
        connection.write0(chipProfile.switchToPatchCmd.data,
                          static_cast<int32_t>(chipProfile.switchToPatchCmd.size()), true);
    if (ret != 0) {
        LOG_ERROR(kDownloadFn, "Failed switching to patch. ret = %d.\n", ret);
        return kDownloadSwitchNotSent;
    }
    sleepMs(kSwitchToPatchWaitMs);
    if (DisableReport(connection) != 0) {
        LOG_ERROR(kDownloadFn, "fwUpdateWithConnection disable report failed.\n");
        return kDownloadPatchNotReady;
    }
    if (checkChipRegValueEx(connection, chipProfile.patchStatusAddr, &chipProfile.patchReadyValue,
                            1) != 0) {
        LOG_ERROR(kDownloadFn, "Switch to patch failed.\n");
        return kDownloadPatchNotReady;
    }
    LOG_INFO(kDownloadFn, "Switch to patch successfully.\n");
    return 0;
}

// Has the patch start the update program.
int32_t enterUpdateProgram(TlcConnection& connection) {
    LOG_INFO(kDownloadFn, "Start updating. Notifying IC to run update program.\n");
    const int ret = NotifyICEnterUpdate(connection);
    if (ret != 0) {
        LOG_ERROR(kDownloadFn, "Failed to start updating. ret = %d.\n", ret);
        return kDownloadNotEntered;
    }
    LOG_INFO(kDownloadFn, "IC runs update program.\n");
    sleepMs(kUpdateProgramStartWaitMs);
    return 0;
}

// Before sub-firmware kFlashPrepareSubFw, a family with a flash preparation
// command sends it and waits for its acknowledgement.
void prepareFlash(TlcConnection& connection, int32_t index) {
    if (index != kFlashPrepareSubFw || chipProfile.flashPrepareCmd.empty()) {
        return;
    }
    LOG_INFO(kDownloadFn, "send 0x40 cmd.\n");
    connection.write0(chipProfile.flashPrepareCmd.data,
                      static_cast<int32_t>(chipProfile.flashPrepareCmd.size()), false);
    const uint8_t expected = 0x01;
    checkChipRegValueEx(connection, chipProfile.flashStatusAddr, &expected, 1);
}

// Flashes sub-firmware `index` when fwFlag selects its type: 0 flashed,
// kSubFwSkipped not selected, kDownloadSubFwFailed failed.
int32_t loadSelectedSubFw(TlcConnection& connection, FwImage& image, uint32_t fwFlag,
                          int32_t index) {
    const uint8_t type = image.getFwSubFwType(index);
    const uint32_t len = image.getFwSubFwLen(index);
    const uint32_t addr = image.getFwSubFwAddr(index);
    LOG_INFO(kDownloadFn,
             "Load sub firmware. i:%d,subFwType = 0x%02X, subFwLen = %d, addr:0x%04x\n", index,
             type, static_cast<int>(len), addr);
    prepareFlash(connection, index);
    if ((fwFlag & (1u << (type % 32))) == 0) {
        LOG_WARNING(kDownloadFn,
                    "Sub firmware type does not math. i(subFwNum) = %d, subFwType = "
                    "0x%02X. flag:0x%x\n",
                    index, type, fwFlag);
        return kSubFwSkipped;
    }
    LOG_INFO(kDownloadFn, "Found a valid sub subsystem start loading, subFwType = 0x%02X.\n", type);
    LOG_INFO(kDownloadFn, "subFwFlashAddr = 0x%02X, subFwLen = %d bytes.\n", addr,
             static_cast<int>(len));
    const int ret = loadSubFw(connection, addr, image.getFwSubFwData(index), len);
    if (ret != 0) {
        LOG_ERROR(kDownloadFn, "Failed to load sub firmware, subFwType = 0x%02X. ret = %d.\n", type,
                  ret);
        LOG_ERROR(kDownloadFn, "Load sub firmware failed.\n");
        return kDownloadSubFwFailed;
    }
    return 0;
}

// Flashes every selected sub-firmware of the image, showing the progress.
int32_t loadImage(TlcConnection& connection, FwImage& image, uint32_t fwFlag) {
    LOG_INFO(kDownloadFn, "Start loading firmware.\n");
    if (!image.isLoaded || image.fwData.empty()) {
        LOG_ERROR(kDownloadFn, "No valid fwData.\n");
        return kDownloadNoImage;
    }
    const int32_t subFwNum = image.getFwSubFwNum();
    LOG_INFO(kDownloadFn, "Load firmware successfully, subFwNum = %d.\n", subFwNum);
    int32_t lastPercent = -1;
    for (int32_t i = 0; i < subFwNum; ++i) {
        const int32_t ret = loadSelectedSubFw(connection, image, fwFlag, i);
        if (ret == kSubFwSkipped) {
            continue;
        }
        if (ret != 0) {
            return ret;
        }
        // With a single sub-firmware the download is complete after it.
        const int32_t percent = subFwNum > 1 ? i * 100 / (subFwNum - 1) : 100;
        if (percent != lastPercent) {
            showProgress(static_cast<unsigned int>(percent));
            lastPercent = percent;
        }
    }
    return 0;
}

// Flashes the configuration block when there is one; loadSubFw's result.
int32_t flashCfg(TlcConnection& connection, const uint8_t* cfgData, uint32_t cfgLen) {
    if (cfgData == nullptr || cfgLen == 0) {
        LOG_INFO(kDownloadFn, "no need flash cfg to ic,cfg len:%d.\n", static_cast<int>(cfgLen));
        return 0;
    }
    LOG_INFO(kDownloadFn, "start flash cfg to ic.cfg len:%d\n", static_cast<int>(cfgLen));
    const int32_t ret = loadSubFw(connection, chipProfile.cfgFlashAddr, cfgData, cfgLen);
    if (ret != 0) {
        LOG_ERROR(kDownloadFn, "flash cfg failed.\n");
    }
    return ret;
}

// Restarts the chip into its new firmware.
int32_t restartChip() {
    const int ret = resetIC();
    if (ret != 0) {
        LOG_ERROR(kDownloadFn, "Reset IC failed. ret = %d.\n", ret);
        return kDownloadResetFailed;
    }
    LOG_INFO(kDownloadFn, "Update firmware successfully.\n");
    return 0;
}

}  // namespace

int32_t fwUpdateWithConnection(TlcConnection& connection, FwImage& image, uint32_t fwFlag,
                               const uint8_t* cfgData, uint32_t cfgLen) {
    LOG_DEBUG(kDownloadFn, "Function begins.\n");
    int32_t result = switchToPatch(connection);
    if (result == 0) {
        result = enterUpdateProgram(connection);
    }
    if (result == 0) {
        result = loadImage(connection, image, fwFlag);
    }
    if (result == 0) {
        result = flashCfg(connection, cfgData, cfgLen);
    }
    if (result == 0) {
        result = restartChip();
    }
    LOG_DEBUG(kDownloadFn, "Function ends.\n");
    return result;
}
