// Property queries: product id text, version id, sensor id, configuration version.
#pragma once

#include <cstdint>

int32_t getPid(char* pid);     // at least 9 bytes; NUL-terminated text
int32_t getVid(uint8_t* vid);  // 4 bytes
int32_t getChipSensorID(uint8_t* sensorId);
int32_t getCfgVer(uint8_t* cfgVer);
