#include "ops/TouchData.h"

#include <cstdio>
#include <new>
#include <vector>

#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "ops/DataMode.h"
#include "sys/Clock.h"
#include "tlc/TlcConnection.h"

namespace {

constexpr int kReadyPolls = 300;
constexpr uint32_t kReadyPollWaitMs = 5;
constexpr int32_t kShowDecimal = 1;

// One kind of frame block: where the chip keeps it and how it is named on
// the console.
struct Block {
    bool wanted;
    uint32_t addr;
    std::vector<uint8_t>* buffer;
    const char* readFailed;
    const char* heading;
    const char* closing;
};

enum class FrameWait { ready, notReady, unreadable };

// Polls the frame-ready flag; ready as soon as a read shows it set,
// unreadable when the last poll could not read it (at once when the device
// is gone).
FrameWait waitFrameReady(TlcConnection& connection) {
    const uint8_t mask = chipProfile.dataReadyMask;
    bool lastReadFailed = false;
    for (int poll = 0; poll < kReadyPolls; ++poll) {
        uint8_t flag = 0;
        lastReadFailed = connection.read(chipProfile.dataReadyAddr, &flag, 1, false) != 0;
        if (lastReadFailed) {
            if (connection.deviceGone())
                break;
            continue;
        }
        if ((flag & mask) == mask) {
            return FrameWait::ready;
        }
        sleepMs(kReadyPollWaitMs);
    }
    return lastReadFailed ? FrameWait::unreadable : FrameWait::notReady;
}

int16_t sampleAt(const std::vector<uint8_t>& buffer, size_t index) {
    const uint8_t first = buffer[2 * index];
    const uint8_t second = buffer[2 * index + 1];
    const uint16_t value = chipProfile.dataBigEndian == 1
                               ? static_cast<uint16_t>((first << 8) | second)
                               : static_cast<uint16_t>((second << 8) | first);
    return static_cast<int16_t>(value);
}

void printBlock(const Block& block, int32_t row, int32_t col, int32_t showType) {
    std::printf("%s", block.heading);
    for (int32_t r = 0; r < row; ++r) {
        for (int32_t k = 0; k < col; ++k) {
            const int32_t sample =
                sampleAt(*block.buffer, static_cast<size_t>(r) * static_cast<size_t>(col) +
                                            static_cast<size_t>(k));
            if (showType == kShowDecimal) {
                std::printf("%5d,", sample);
            } else {
                // Widened to 32 bits: a negative sample shows all eight digits.
                std::printf("0x%04X,", static_cast<uint32_t>(sample));
            }
        }
        std::printf("\n");
    }
    std::printf("%s", block.closing);
}

}  // namespace

int32_t GetSomeData(bool rawData, bool baseData, bool diffData, int32_t row, int32_t col,
                    int32_t readTimes, int32_t showType) {
    static const char* const fn = "GetSomeData";
    TlcConnection connection;
    const int32_t rawDataMaxLen = chipProfile.rawDataMaxLen();
    if (connection.openTLC() != 0) {
        LOG_ERROR(fn, "open TLC failed\n\n");
        return -2;
    }
    // Computed wide so that no geometry can wrap around into an accepted size.
    const long long frameLen = static_cast<long long>(row) * col * 2;
    if (frameLen > rawDataMaxLen) {
        LOG_ERROR(fn,
                  "Input [row] and [col] param error,row*col * 2:%lld > rawDataMaxLen"
                  "\xA3\xBA"
                  "%d\n\n",
                  frameLen, rawDataMaxLen);
        connection.close();
        return -1;
    }
    if (readTimes <= 0) {
        LOG_ERROR(fn, "Input [times] value:%d  invalid\n\n", readTimes);
        connection.close();
        return -1;
    }

    int32_t result = 0;
    // Set when the chip stopped answering the ready poll: the capture then
    // fails, whatever later frames read.
    bool stoppedAnswering = false;
    // Cleared when allocated: a block whose read failed prints zeros, never
    // memory that no read has written.
    std::vector<uint8_t> raw;
    std::vector<uint8_t> diff;
    std::vector<uint8_t> base;
    bool allocated = true;
    try {
        const size_t size = rawDataMaxLen > 0 ? static_cast<size_t>(rawDataMaxLen) : 0;
        raw.assign(size, 0);
        diff.assign(size, 0);
        base.assign(size, 0);
    } catch (const std::bad_alloc&) {
        allocated = false;
    }

    if (!allocated) {
        LOG_ERROR(fn, "Malloc data buf failed\n\n");
        result = -3;
    } else if (!SwitchToDataModel(connection)) {
        LOG_ERROR(fn, "switch data model failed.\n");
        result = -4;
    } else {
        const int32_t len = static_cast<int32_t>(frameLen);
        const Block blocks[] = {
            {rawData, chipProfile.rawDataAddr, &raw, "read rawdata failed.", "rawdata:\n",
             "rawdata end\n"},
            {diffData, chipProfile.diffDataAddr, &diff, "read diffdata failed.", "diffdata:\n",
             "diffdata end\n"},
            {baseData, chipProfile.baseDataAddr, &base, "read basedata failed.", "basedata:\n",
             "basedata end\n"},
        };
        for (int32_t i = 1; i <= readTimes && !connection.deviceGone(); ++i) {
            std::printf("No.%d\n", i);
            const FrameWait wait = waitFrameReady(connection);
            if (wait == FrameWait::unreadable) {
                // Not a frame that never became ready: the chip stopped
                // answering (it may be gone). That is a failed read, not a
                // capture with nothing to show.
                LOG_ERROR(fn, "read data ready flag failed.\n");
                result = -1;
                stoppedAnswering = true;
            }
            if (wait != FrameWait::ready) {
                continue;
            }
            for (const Block& block : blocks) {
                if (!block.wanted) {
                    continue;
                }
                result = connection.read(block.addr, block.buffer->data(), len, false);
                if (result != 0) {
                    std::printf("%s", block.readFailed);
                }
            }
            // Acknowledge the frame so that the chip flags the next one
            // (pointless once the device is gone; the frame is still printed
            // and the capture ends after it).
            if (!connection.deviceGone()) {
                const uint8_t zero = 0x00;
                connection.write(chipProfile.dataReadyAddr, &zero, 1, false);
            }
            for (const Block& block : blocks) {
                if (block.wanted) {
                    printBlock(block, row, col, showType);
                }
            }
        }
    }
    if (connection.deviceGone()) {
        // Nothing more reaches the chip: one attempt to leave the data mode
        // below, and the capture fails whatever it printed so far.
        LOG_ERROR(fn, "the device is gone, capture stopped.\n");
        stoppedAnswering = true;
    }
    if (stoppedAnswering && result == 0) {
        result = -1;
    }
    std::vector<uint8_t>().swap(raw);
    std::vector<uint8_t>().swap(diff);
    std::vector<uint8_t>().swap(base);
    SwitchOutDataModel(connection);
    connection.close();
    return result;
}
