// Placeholder until this device operation is built: it fails, never succeeds.
#include "cfg/CfgUpdate.h"
#include "log/Log.h"

int32_t cfgUpdateWithFile(const char*, bool) {
    LOG_ERROR("cfgUpdateWithFile", "cfgUpdateWithFile is not available in this build.\n");
    return -1;
}
