// Firmware update driver: one complete update from an image file.
#pragma once

#include <cstdint>

// cfgFile may be nullptr (no configuration flashed with the firmware). Both
// files are loaded and checked before the device is opened: -3 the image did
// not load; -4 the configuration did not load or its block fails the chip's
// configuration check.
int32_t fwUpdateWithFile(const char* binFile, bool ignoreVer, uint32_t fwFlag, const char* cfgFile);

class FwImage;

// The update of a loaded image over a connection it opens itself: identity
// read and version decision, up to three downloads, verification of the new
// version. 0 success or nothing to do; -1 open, report control, Pid or
// configuration version read failed; -2 identity read failed; -5 every
// download failed; -6 identity read after the update failed; -7 the chip's
// version after the update differs from the image's; -8 the update (or the
// finding that none was needed) succeeded but touch reporting could not be
// enabled again.
int32_t fwUpdateHelper(FwImage& image, bool ignoreVer, uint32_t fwFlag, const uint8_t* cfgData,
                       uint32_t cfgLen);
