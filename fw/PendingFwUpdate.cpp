// Placeholder until this device operation is built: it fails, never succeeds.
#include "fw/FwUpdate.h"
#include "log/Log.h"

int32_t fwUpdateWithFile(const char*, bool, uint32_t, const char*) {
    LOG_ERROR("fwUpdateWithFile", "fwUpdateWithFile is not available in this build.\n");
    return -1;
}
