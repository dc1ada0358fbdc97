#include "ops/Reset.h"

#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "sys/Clock.h"
#include "tlc/TlcConnection.h"

namespace {

constexpr int kRestartAttempts = 3;
constexpr uint32_t kRestartRetryWaitMs = 300;
// Time the chip takes to restart before anything else is sent to it.
constexpr uint32_t kRestartSettleWaitMs = 200;

}  // namespace

int32_t resetIC() {
    LOG_DEBUG("resetIC", "Function begins.\n");
    LOG_INFO("resetIC", "Reseting IC.\n");
    TlcConnection connection;
    int32_t result = -1;
    for (int remaining = kRestartAttempts - 1; remaining >= 0; --remaining) {
        const int ret = connection.write0(
            chipProfile.restartCmd.data, static_cast<int32_t>(chipProfile.restartCmd.size()), true);
        if (ret == 0) {
            LOG_INFO("resetIC", "Reset ic successfully.\n");
            result = 0;
            break;
        }
        LOG_ERROR("resetIC", "Failed write restart command. ret = %d. Retry remaining: %d.\n", ret,
                  remaining);
        sleepMs(kRestartRetryWaitMs);
    }
    if (result != 0) {
        LOG_ERROR("resetIC", "Reset ic failed.\n");
    }
    sleepMs(kRestartSettleWaitMs);
    LOG_DEBUG("resetIC", "Function ends.\n");
    return result;
}
