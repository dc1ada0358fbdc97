#include "ops/RegisterAccess.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

#include "log/Log.h"
#include "sys/Clock.h"
#include "tlc/TlcConnection.h"

namespace {

constexpr int kExchangeAttempts = 3;
constexpr uint32_t kExchangeRetryWaitMs = 20;
constexpr int kCheckAttempts = 5;
constexpr uint32_t kCheckReadRetryWaitMs = 30;
constexpr int kCfgCmdAttempts = 3;
constexpr uint32_t kCfgCmdRetryWaitMs = 5;

// The retry loop shared by the three run modes: up to three exchanges, a
// retry line and a 20 ms wait after each failure, the final line after the
// last. Returns 0 or failureCode.
int32_t exchangeWithRetries(const char* fn, const std::function<int()>& exchange, const char* what,
                            int32_t failureCode) {
    int r = 0;
    for (int attempt = 1; attempt <= kExchangeAttempts; ++attempt) {
        r = exchange();
        if (r == 0) {
            LOG_INFO(fn, "%s reg successfully.\n", what);
            return 0;
        }
        LOG_ERROR(fn, "%s reg failed. ret = %d. Retry remaining: %d.\n", what, r,
                  kExchangeAttempts - attempt);
        sleepMs(kExchangeRetryWaitMs);
    }
    LOG_ERROR(fn, "%s reg failed. ret = %d.\n", what, r);
    return failureCode;
}

// The frame the three run modes share: the null check, open, the exchange
// with its retries, close, and the begin/end lines. `prepare` runs before the
// open (readReg clears its buffer there, so it is cleared even when the open
// fails); `check`, when given, runs over the open connection after a
// successful exchange and its code becomes the result (the read-back of
// --verify).
int32_t registerRunMode(const char* fn, const void* dataBuf, const std::function<void()>& prepare,
                        const std::function<int(TlcConnection&)>& exchange, const char* what,
                        int32_t failureCode,
                        const std::function<int32_t(TlcConnection&)>& check = nullptr) {
    LOG_DEBUG(fn, "Function begins.\n");
    int32_t ret;
    if (dataBuf == nullptr) {
        LOG_ERROR(fn, "The dataBuf cannot be NULL.\n");
        ret = -1;
    } else {
        prepare();
        TlcConnection connection;
        if (connection.openTLC() != 0) {
            ret = -2;
        } else {
            ret = exchangeWithRetries(
                fn, [&] { return exchange(connection); }, what, failureCode);
            if (ret == 0 && check) {
                ret = check(connection);
            }
            connection.close();
        }
    }
    LOG_DEBUG(fn, "Function ends.\n");
    return ret;
}

}  // namespace

int32_t readReg(uint32_t addr, uint8_t* dataBuf, int32_t len) {
    return registerRunMode(
        "readReg", dataBuf,
        [&] {
            if (len > 0)
                std::memset(dataBuf, 0, static_cast<size_t>(len));
        },
        [&](TlcConnection& c) { return c.read(addr, dataBuf, len, true); }, "Read", -2);
}

namespace {

// --verify: reads the registers just written back (with the retries of a
// register read) and compares them with the data.
int32_t verifyWrittenRegs(TlcConnection& connection, uint32_t addr, const uint8_t* data,
                          int32_t len) {
    static const char* const fn = "writeReg";
    std::vector<uint8_t> readBack(static_cast<size_t>(std::max(len, 0)), 0);
    if (exchangeWithRetries(
            fn, [&] { return connection.read(addr, readBack.data(), len, true); }, "Read back",
            kWriteRegUnread) != 0) {
        return kWriteRegUnread;
    }
    const auto differs = std::mismatch(readBack.begin(), readBack.end(), data);
    if (differs.first != readBack.end()) {
        const int32_t at = static_cast<int32_t>(differs.first - readBack.begin());
        LOG_ERROR(fn,
                  "Reg read back differs from data written at reg 0x%04X (read 0x%02X, written "
                  "0x%02X).\n",
                  addr + static_cast<uint32_t>(at), *differs.first, *differs.second);
        return kWriteRegDiffers;
    }
    return 0;
}

}  // namespace

int32_t writeReg(uint32_t addr, const uint8_t* dataBuf, int32_t len, bool verify) {
    std::function<int32_t(TlcConnection&)> check;
    if (verify) {
        check = [&](TlcConnection& c) { return verifyWrittenRegs(c, addr, dataBuf, len); };
    }
    return registerRunMode(
        "writeReg", dataBuf, [] {},
        [&](TlcConnection& c) { return c.write(addr, dataBuf, len, true); }, "Write", -3, check);
}

int32_t writeCmd(const uint8_t* dataBuf, int32_t len) {
    return registerRunMode(
        "writeCmd", dataBuf, [] {}, [&](TlcConnection& c) { return c.write0(dataBuf, len, true); },
        "Write", -3);
}

int32_t checkChipRegValueEx(TlcConnection& connection, uint32_t addr, const uint8_t* expected,
                            int32_t len) {
    int32_t result = -1;
    if (len < 0 || len > kCheckRegMaxLen || (len > 0 && expected == nullptr)) {
        // The read-back buffer holds 64 bytes; a longer run would overflow it.
        LOG_ERROR("checkChipRegValueEx",
                  "<checkChipRegValueEx> Compare length %d is not supported (0 to %d).\n", len,
                  kCheckRegMaxLen);
    } else {
        uint8_t buffer[kCheckRegMaxLen] = {0};
        for (int attempt = 1; attempt <= kCheckAttempts; ++attempt) {
            const int remaining = kCheckAttempts - attempt;
            const int r = connection.read(addr, buffer, len, true);
            if (r != 0) {
                LOG_ERROR("checkChipRegValueEx",
                          "<checkChipRegValueEx> Read reg 0x%02X failed. ret = %d. Retry "
                          "remaining: %d.\n",
                          addr, r, remaining);
                sleepMs(kCheckReadRetryWaitMs);
                continue;
            }
            if (len == 0 || std::memcmp(buffer, expected, static_cast<size_t>(len)) == 0) {
                result = 0;
                break;
            }
            for (int32_t i = 0; i < len; ++i) {
                LOG_ERROR("checkChipRegValueEx",
                          "<checkChipRegValueEx> Reg 0x%02X is 0x%02X != 0x%02X. Retry remaining: "
                          "%d.total cmp len:%d.\n",
                          addr + static_cast<uint32_t>(i), buffer[i], expected[i], remaining, len);
            }
        }
        if (result != 0) {
            for (int32_t i = 0; i < len; ++i) {
                LOG_ERROR("checkChipRegValueEx", "<checkChipRegValueEx> Reg 0x%02X != 0x%02X.\n",
                          addr + static_cast<uint32_t>(i), expected[i]);
            }
        }
    }
    LOG_DEBUG("checkChipRegValueEx", "checkChipRegValueEx exit:%d.\n", result);
    return result;
}

int32_t FjordKSendCfgCmd(TlcConnection& connection, uint32_t cmdAddr, const uint8_t* cmd,
                         uint8_t cmdLen, uint32_t ackAddr, const uint8_t* ack, uint8_t ackLen,
                         uint32_t waitMs) {
    for (int attempt = 1; attempt <= kCfgCmdAttempts; ++attempt) {
        if (connection.write(cmdAddr, cmd, cmdLen, true) != 0) {
            LOG_ERROR("FjordKSendCfgCmd", "send cfg cmd to ic failed.retry:%d.\n", attempt);
            for (int j = 0; j < cmdLen; ++j) {
                LOG_ERROR("FjordKSendCfgCmd", "send cfg cmd i:%d=0x%x\n", j, cmd[j]);
            }
        } else {
            sleepMs(waitMs);
            if (checkChipRegValueEx(connection, ackAddr, ack, ackLen) == 0) {
                return 0;
            }
            LOG_ERROR("FjordKSendCfgCmd", "check value failed.retry:%d.\n", attempt);
        }
        sleepMs(kCfgCmdRetryWaitMs);
    }
    return -1;
}
