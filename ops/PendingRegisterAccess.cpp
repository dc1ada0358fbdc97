// Placeholder until this device operation is built: it fails, never succeeds.
#include "log/Log.h"
#include "ops/RegisterAccess.h"

int32_t readReg(uint32_t, uint8_t*, int32_t) {
    LOG_ERROR("readReg", "readReg is not available in this build.\n");
    return -1;
}

int32_t writeReg(uint32_t, const uint8_t*, int32_t) {
    LOG_ERROR("writeReg", "writeReg is not available in this build.\n");
    return -1;
}

int32_t writeCmd(const uint8_t*, int32_t) {
    LOG_ERROR("writeCmd", "writeCmd is not available in this build.\n");
    return -1;
}
