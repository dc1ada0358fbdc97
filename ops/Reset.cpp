#include "ops/Reset.h"

#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "sys/Clock.h"
#include "tlc/TlcConnection.h"

int32_t resetIC() {
    LOG_DEBUG("resetIC", "Function begins.\n");
    LOG_INFO("resetIC", "Reseting IC.\n");
    TlcConnection connection;
    int32_t result = -1;
    for (int remaining = 2; remaining >= 0; --remaining) {
        const int ret = connection.write0(
            chipProfile.restartCmd.data, static_cast<int32_t>(chipProfile.restartCmd.size()), true);
        if (ret == 0) {
            LOG_INFO("resetIC", "Reset ic successfully.\n");
            result = 0;
            break;
        }
        LOG_ERROR("resetIC", "Failed write restart command. ret = %d. Retry remaining: %d.\n", ret,
                  remaining);
        sleepMs(300);
    }
    if (result != 0) {
        LOG_ERROR("resetIC", "Reset ic failed.\n");
    }
    sleepMs(200);
    LOG_DEBUG("resetIC", "Function ends.\n");
    return result;
}
