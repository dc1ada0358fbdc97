#include "ops/TouchData.h"

#include <cstdio>
#include <new>
#include <vector>

#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "log/RunReason.h"
#include "ops/DataMode.h"
#include "ops/SafePoint.h"
#include "sys/Bytes.h"
#include "sys/Clock.h"
#include "sys/Interrupt.h"
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

enum class FrameWait { ready, notReady, unreadable, interrupted };

// Polls the frame-ready flag; ready as soon as a read shows it set,
// unreadable when the last poll could not read it (at once when the device
// is gone), interrupted as soon as an interrupt came.
FrameWait waitFrameReady(TlcConnection& connection) {
    const uint8_t mask = chipProfile.dataReadyMask;
    bool lastReadFailed = false;
    for (int poll = 0; poll < kReadyPolls; ++poll) {
        if (interruptCount() > 0) {
            return FrameWait::interrupted;
        }
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
    const uint8_t* p = buffer.data() + 2 * index;
    return static_cast<int16_t>(chipProfile.dataBigEndian == 1 ? readBe16(p) : p[0] | (p[1] << 8));
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

// Results of GetSomeData (its exit status).
// Bad arguments, a failed read, a silent chip, a chip left in data mode.
constexpr int32_t kCaptureFailed = -1;
constexpr int32_t kCaptureNotOpened = -2;
constexpr int32_t kCaptureNoMemory = -3;
constexpr int32_t kCaptureNoDataMode = -4;

const char* const kCaptureFn = "GetSomeData";

// What the caller asked to capture.
struct CaptureRequest {
    bool rawData;
    bool baseData;
    bool diffData;
    int32_t row;
    int32_t col;
    int32_t readTimes;
    int32_t showType;
};

// The capture's state across frames.
struct Capture {
    int32_t result = 0;
    // Set when the chip stopped answering the ready poll or a block could
    // not be read: the capture then fails, whatever later frames read.
    bool stoppedAnswering = false;
    // Set when an interrupt or a closed standard output ended the capture
    // before its last frame: it fails too.
    bool stoppedEarly = false;
    bool blockUnread = false;
    // Set when a frame never became ready: fewer frames than asked were shown.
    bool framesMissed = false;
    // Cleared when allocated: a block whose read failed prints zeros, never
    // memory that no read has written.
    std::vector<uint8_t> raw;
    std::vector<uint8_t> diff;
    std::vector<uint8_t> base;
};

// Computed wide so that no geometry can wrap around into an accepted size.
long long frameBytes(const CaptureRequest& request) {
    return static_cast<long long>(request.row) * request.col * 2;
}

int32_t checkRequest(const CaptureRequest& request, int32_t rawDataMaxLen) {
    const long long frameLen = frameBytes(request);
    if (frameLen > rawDataMaxLen) {
        LOG_ERROR(kCaptureFn,
                  "Input [row] and [col] param error,row*col * 2:%lld > rawDataMaxLen"
                  "\xA3\xBA"
                  "%d\n\n",
                  frameLen, rawDataMaxLen);
        noteRunReason(kReasonSpecific,
                      "--row %d x --col %d needs %lld bytes a block, more than the %s frame "
                      "buffer holds (%d bytes, %d x %d nodes at most)",
                      request.row, request.col, frameLen, familyOf(chipType).name, rawDataMaxLen,
                      chipProfile.maxRowNum, chipProfile.maxColNum);
        return kCaptureFailed;
    }
    if (request.readTimes <= 0) {
        LOG_ERROR(kCaptureFn, "Input [times] value:%d  invalid\n\n", request.readTimes);
        noteRunReason(kReasonSpecific, "--readtimes %d asks for no frame; give 1 or more",
                      request.readTimes);
        return kCaptureFailed;
    }
    return 0;
}

bool allocateBuffers(Capture& capture, int32_t rawDataMaxLen) {
    try {
        const size_t size = rawDataMaxLen > 0 ? static_cast<size_t>(rawDataMaxLen) : 0;
        capture.raw.assign(size, 0);
        capture.diff.assign(size, 0);
        capture.base.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

void releaseBuffers(Capture& capture) {
    std::vector<uint8_t>().swap(capture.raw);
    std::vector<uint8_t>().swap(capture.diff);
    std::vector<uint8_t>().swap(capture.base);
}

// Reads the wanted blocks of one ready frame, acknowledges it and prints it.
void captureFrame(TlcConnection& connection, const CaptureRequest& request, Capture& capture) {
    const int32_t len = static_cast<int32_t>(frameBytes(request));
    const Block blocks[] = {
        {request.rawData, chipProfile.rawDataAddr, &capture.raw, "read rawdata failed.",
         "rawdata:\n", "rawdata end\n"},
        {request.diffData, chipProfile.diffDataAddr, &capture.diff, "read diffdata failed.",
         "diffdata:\n", "diffdata end\n"},
        {request.baseData, chipProfile.baseDataAddr, &capture.base, "read basedata failed.",
         "basedata:\n", "basedata end\n"},
    };
    for (const Block& block : blocks) {
        if (!block.wanted) {
            continue;
        }
        capture.result = connection.read(block.addr, block.buffer->data(), len, false);
        if (capture.result != 0) {
            std::printf("%s", block.readFailed);
            capture.blockUnread = true;
        }
    }
    // Acknowledge the frame so that the chip flags the next one (pointless
    // once the device is gone; the frame is still printed and the capture
    // ends after it).
    if (!connection.deviceGone()) {
        const uint8_t zero = 0x00;
        connection.write(chipProfile.dataReadyAddr, &zero, 1, false);
    }
    for (const Block& block : blocks) {
        if (block.wanted) {
            printBlock(block, request.row, request.col, request.showType);
        }
    }
}

// True (after logging why) when the capture must end before frame `next`:
// an interrupt came, or nobody reads standard output any more. Each frame is
// flushed whole, so that a reader sees it at once and a lost reader is
// noticed at the frame's end.
bool stopBeforeFrame(int32_t next) {
    std::fflush(stdout);
    if (stopRequested()) {
        LOG_ERROR(kCaptureFn, "Stopped by an interrupt before frame %d.\n", next);
        return true;
    }
    if (standardOutputLost()) {
        if (takeStandardOutputLost()) {
            LOG_ERROR(kCaptureFn, "Standard output cannot be written (closed).\n");
        }
        LOG_ERROR(kCaptureFn, "Capture stopped before frame %d: no one reads it.\n", next);
        return true;
    }
    return false;
}

// Waits for and prints up to readTimes frames; stops once the device is
// gone, or at a frame's end on an interrupt.
void captureFrames(TlcConnection& connection, const CaptureRequest& request, Capture& capture) {
    for (int32_t i = 1; i <= request.readTimes && !connection.deviceGone(); ++i) {
        if (stopBeforeFrame(i)) {
            capture.stoppedEarly = true;
            return;
        }
        std::printf("No.%d\n", i);
        const FrameWait wait = waitFrameReady(connection);
        if (wait == FrameWait::interrupted) {
            logInterruptNotes();
            LOG_ERROR(kCaptureFn, "Stopped by an interrupt while frame %d was awaited.\n", i);
            capture.stoppedEarly = true;
            return;
        }
        if (wait == FrameWait::unreadable) {
            // Not a frame that never became ready: the chip stopped answering
            // (it may be gone). That is a failed read, not a capture with
            // nothing to show.
            LOG_ERROR(kCaptureFn, "read data ready flag failed.\n");
            capture.result = kCaptureFailed;
            capture.stoppedAnswering = true;
        }
        if (wait == FrameWait::ready) {
            captureFrame(connection, request, capture);
        }
        if (wait == FrameWait::notReady) {
            // A frame asked for and never shown: the dump is incomplete.
            LOG_ERROR(kCaptureFn, "Frame %d was never ready.\n", i);
            noteRunReason(kReasonSpecific,
                          "frame %d was never ready: the chip did not flag a frame in %d polls "
                          "%u ms apart (is the sensor connected and the firmware running?)",
                          i, kReadyPolls, kReadyPollWaitMs);
            capture.framesMissed = true;
        }
    }
}

// Everything between the checked arguments and closing the connection:
// buffers, data mode in, frames, data mode out.
int32_t runCapture(TlcConnection& connection, const CaptureRequest& request,
                   int32_t rawDataMaxLen) {
    Capture capture;
    if (!allocateBuffers(capture, rawDataMaxLen)) {
        LOG_ERROR(kCaptureFn, "Malloc data buf failed\n\n");
        capture.result = kCaptureNoMemory;
    } else if (!SwitchToDataModel(connection)) {
        LOG_ERROR(kCaptureFn, "switch data model failed.\n");
        if (familyOf(chipType).dataMode == DataModeKind::unsupported) {
            noteRunReason(kReasonSpecific,
                          "%s chips have no touch-data mode: --rawdata, --diffdata and "
                          "--basedata are not available for them",
                          familyOf(chipType).name);
        } else {
            noteRunReason(kReasonGeneral, "the chip did not enter its touch-data mode");
        }
        capture.result = kCaptureNoDataMode;
    } else {
        captureFrames(connection, request, capture);
    }
    if (connection.deviceGone()) {
        // Nothing more reaches the chip: one attempt to leave the data mode
        // below, and the capture fails whatever it printed so far.
        LOG_ERROR(kCaptureFn, "the device is gone, capture stopped.\n");
        capture.stoppedAnswering = true;
    }
    if ((capture.stoppedAnswering || capture.stoppedEarly || capture.blockUnread ||
         capture.framesMissed) &&
        capture.result == 0) {
        capture.result = kCaptureFailed;
    }
    releaseBuffers(capture);
    // A chip left in data mode keeps publishing frames instead of touches.
    const bool gone = connection.deviceGone();
    if (SwitchOutDataModel(connection) != 0) {
        if (!gone)
            LOG_ERROR(kCaptureFn, "The chip could not be returned to normal mode.\n");
        if (capture.result == 0)
            capture.result = kCaptureFailed;
    }
    return capture.result;
}

}  // namespace

int32_t GetSomeData(bool rawData, bool baseData, bool diffData, int32_t row, int32_t col,
                    int32_t readTimes, int32_t showType) {
    // From the open to the close an interrupt only ends the capture at a
    // frame's end, so that the chip is back in normal mode.
    InterruptHold hold(InterruptHoldKind::capture);
    TlcConnection connection;
    const int32_t rawDataMaxLen = chipProfile.rawDataMaxLen();
    if (connection.openTLC() != 0) {
        LOG_ERROR(kCaptureFn, "open TLC failed\n\n");
        return kCaptureNotOpened;
    }
    const CaptureRequest request{rawData, baseData, diffData, row, col, readTimes, showType};
    int32_t result = checkRequest(request, rawDataMaxLen);
    if (result == 0) {
        result = runCapture(connection, request, rawDataMaxLen);
    }
    connection.close();
    if (result == 0 && stopRequested()) {
        LOG_ERROR(kCaptureFn, "Stopped by an interrupt that came after the last frame.\n");
        result = kCaptureFailed;
    }
    return result;
}
