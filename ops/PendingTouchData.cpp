// Placeholder until this device operation is built: it fails, never succeeds.
#include "log/Log.h"
#include "ops/TouchData.h"

int32_t GetSomeData(bool, bool, bool, int32_t, int32_t, int32_t, int32_t) {
    LOG_ERROR("GetSomeData", "GetSomeData is not available in this build.\n");
    return -1;
}
