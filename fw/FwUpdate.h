// Firmware update driver: one complete update from an image file.
#pragma once

#include <cstdint>

// cfgFile may be nullptr (no configuration flashed with the firmware). Both
// files are loaded and checked before the device is opened: -3 the image did
// not load; -4 the configuration did not load or its block fails the chip's
// configuration check. `verify` as for fwUpdateHelper.
int32_t fwUpdateWithFile(const char* binFile, bool ignoreVer, uint32_t fwFlag, const char* cfgFile,
                         bool verify = false);

// What the last update of this run found out, for the run's result: the
// identity of the image and of the chip before and after.
struct FwUpdateFacts {
    bool imageLoaded = false;
    bool chipReadBefore = false;
    bool chipReadAfter = false;
    bool written = false;  // a download was started
    char imagePid[12] = {};
    uint8_t imageVid[4] = {};
    char chipPid[12] = {};
    uint8_t chipVidBefore[4] = {};
    uint8_t chipVidAfter[4] = {};
};
const FwUpdateFacts& lastFwUpdateFacts();
void resetFwUpdateFacts();

class FwImage;

// The update of a loaded image over a connection it opens itself: identity
// read and version decision, up to three downloads, verification of the new
// version. 0 success or nothing to do; -1 open, report control, Pid or
// configuration version read failed; -2 identity read failed; -5 every
// download failed; -6 identity read after the update failed; -7 the chip's
// version after the update differs from the image's; -10 stopped by an
// interrupt (before the download, after it, or instead of a retry after a
// second one; never inside a download attempt). With `verify` and
// configuration data, a run that would succeed (updated or nothing to do)
// reads the chip's configuration area back and compares it with the data
// (cfg/CfgVerify.h): kCfgVerifyDiffers, kCfgVerifyUnread. -11 the update (or
// the finding that none was needed) succeeded but touch reporting could not
// be enabled again.
int32_t fwUpdateHelper(FwImage& image, bool ignoreVer, uint32_t fwFlag, const uint8_t* cfgData,
                       uint32_t cfgLen, bool verify = false);
