// Firmware update driver: one complete update from an image file.
#pragma once

#include <cstdint>

// cfgFile may be nullptr (no configuration flashed with the firmware).
int32_t fwUpdateWithFile(const char* binFile, bool ignoreVer, uint32_t fwFlag, const char* cfgFile);
