// Configuration update: one complete configuration download from a file.
#pragma once

#include <cstdint>

int32_t cfgUpdateWithFile(const char* cfgFile, bool ignoreVer);
