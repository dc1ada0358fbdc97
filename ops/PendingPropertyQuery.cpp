// Placeholder until this device operation is built: it fails, never succeeds.
#include "log/Log.h"
#include "ops/PropertyQuery.h"

int32_t getPid(char*) {
    LOG_ERROR("getPid", "getPid is not available in this build.\n");
    return -1;
}

int32_t getVid(uint8_t*) {
    LOG_ERROR("getVid", "getVid is not available in this build.\n");
    return -1;
}

int32_t getChipSensorID(uint8_t*) {
    LOG_ERROR("getChipSensorID", "getChipSensorID is not available in this build.\n");
    return -1;
}

int32_t getCfgVer(uint8_t*) {
    LOG_ERROR("getCfgVer", "getCfgVer is not available in this build.\n");
    return -1;
}
