// The same device plan as device_answers, one level lower: the tool's own
// HID interface binding and HID targets run on the Linux hidraw backend,
// whose node operations (ioctl, poll, read, write) are a fake fed by the
// fuzzer. This covers the standard path (input report on request, with the
// fall-back to the report queue when the kernel refuses the request) and
// the 268-byte path (poll and read with report ids, short and long reads).
//
// After the plan (DeviceSession.h), control bytes drive the node:
//   input-report request: AnswerKind (fail: EPIPE) ; b & 3 == 3 with bit 2
//                         set: ENOTTY, the kernel lacks the request
//   poll:  0 input ready, 1 nothing within the wait, 2 hang-up, 3 EINTR
//   read:  0 a well-formed answer, 1 u16 count (% 600) raw bytes,
//          2 EAGAIN, 3 a report of another collection (id 1)
// Past the end of the input every poll reports a time-out and every request fails.
#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "chip/ChipProfile.h"
#include "fuzz/DeviceSession.h"
#include "fuzz/FuzzSupport.h"
#include "hid/DeviceMatch.h"
#include "hid/HidHostLinux.h"
#include "hid/HidInterface.h"

namespace {

constexpr int kFd = 7;
constexpr unsigned kGetInputNr = 0x0A;
constexpr unsigned kSetOutputNr = 0x0B;
constexpr size_t kMaxRawRead = 600;

struct FakeNode {
    fuzz::ByteReader* in = nullptr;
    uint8_t writeFailEvery = 0;
    unsigned writes = 0;
    int64_t now = 0;
    std::vector<uint8_t> lastRequest;

    bool writeFails() {
        ++writes;
        return writeFailEvery != 0 && writes % writeFailEvery == 0;
    }
};

FakeNode node;

// The one interface the host reports is the vendor collection the tool
// looks for.
class FuzzHost : public HidHostLinux {
  public:
    explicit FuzzHost(HidrawNodeOps ops) : HidHostLinux("/nonexistent", std::move(ops)) {}
    std::vector<HidInterfaceInfo> enumerate() override {
        HidInterfaceInfo info;
        info.path = "/dev/hidraw0";
        info.vendorId = deviceMatch.vid;
        info.productId = deviceMatch.pid;
        info.usagePage = deviceMatch.usagePage;
        info.usage = deviceMatch.usage;
        return {info};
    }
};

int inputReport(uint8_t* data, size_t size);

int fakeIoctl(int, unsigned long request, uint8_t* data) {
    const size_t size = _IOC_SIZE(request);
    if (_IOC_NR(request) == kSetOutputNr) {
        if (node.writeFails())
            return -EIO;
        node.lastRequest.assign(data, data + size);
        return static_cast<int>(size);
    }
    if (_IOC_NR(request) != kGetInputNr)
        return -ENOTTY;
    const int result = inputReport(data, size);
    if (result >= 0)
        fuzz::deliveries().push_back({node.lastRequest, {data, data + size}});
    return result;
}

int inputReport(uint8_t* data, size_t size) {
    uint8_t control = 0;
    if (!node.in->next(&control))
        return -EIO;
    const int requested = fuzz::requestedLength(node.lastRequest);
    switch (static_cast<fuzz::AnswerKind>(control & 0x3)) {
        case fuzz::AnswerKind::wellFormed:
            fuzz::fillAnswer(data, size, requested, requested, *node.in);
            return static_cast<int>(size);
        case fuzz::AnswerKind::raw:
            node.in->take(data, size);
            return static_cast<int>(size);
        case fuzz::AnswerKind::fail:
            return -EPIPE;
        case fuzz::AnswerKind::wrongLength:
            if ((control & 0x4) != 0)
                return -ENOTTY;
            fuzz::fillAnswer(data, size, node.in->u16(), requested, *node.in);
            return static_cast<int>(size);
    }
    return -EIO;
}

long fakeWrite(int, const uint8_t* data, size_t length) {
    if (node.writeFails())
        return -EIO;
    node.lastRequest.assign(data, data + length);
    return static_cast<long>(length);
}

int fakePoll(int, int, short* revents) {
    uint8_t control = 0;
    if (!node.in->next(&control))
        return 0;
    switch (control & 0x3) {
        case 0:
            *revents = POLLIN;
            return 1;
        case 1:
            return 0;
        case 2:
            *revents = POLLHUP;
            return 1;
        default:
            return -EINTR;
    }
}

long queuedReport(uint8_t* data, size_t length);

// The reader keeps a report with the vendor id and pads it with zeros to the
// size of its report path.
long fakeRead(int fd, uint8_t* data, size_t length) {
    (void)fd;
    const long n = queuedReport(data, length);
    if (n > 0 && data[0] == kHidReportId) {
        const size_t size = node.lastRequest.size() >= static_cast<size_t>(kFjordK8ReportSize)
                                ? static_cast<size_t>(kFjordK8ReportSize)
                                : static_cast<size_t>(kStandardReportSize);
        std::vector<uint8_t> report(data, data + std::min(static_cast<size_t>(n), size));
        report.resize(size, 0);
        fuzz::deliveries().push_back({node.lastRequest, report});
    }
    return n;
}

long queuedReport(uint8_t* data, size_t length) {
    uint8_t control = 0;
    if (!node.in->next(&control))
        return -EAGAIN;
    switch (control & 0x3) {
        case 0: {
            const size_t size = node.lastRequest.size() >= static_cast<size_t>(kFjordK8ReportSize)
                                    ? static_cast<size_t>(kFjordK8ReportSize)
                                    : static_cast<size_t>(kStandardReportSize);
            const int requested = fuzz::requestedLength(node.lastRequest);
            fuzz::fillAnswer(data, size < length ? size : length, requested, requested, *node.in);
            return static_cast<long>(size < length ? size : length);
        }
        case 1: {
            size_t count = node.in->u16() % (kMaxRawRead + 1);
            if (count > length)
                count = length;
            node.in->take(data, count);
            return static_cast<long>(count);
        }
        case 2:
            return -EAGAIN;
        default: {
            const size_t count = length < 9 ? length : 9;
            node.in->take(data, count);
            if (count > 0)
                data[0] = 0x01;
            return static_cast<long>(count);
        }
    }
}

HidrawNodeOps fakeOps() {
    HidrawNodeOps ops;
    ops.open = [](const std::string&) { return kFd; };
    ops.ioctl = fakeIoctl;
    ops.write = fakeWrite;
    ops.poll = fakePoll;
    ops.read = fakeRead;
    ops.close = [](int) {};
    ops.nowMs = []() -> int64_t { return ++node.now; };
    return ops;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VirtualClock clock;
    fuzz::InputScope scope(clock);
    fuzz::ByteReader in(data, size);
    const fuzz::SessionPlan plan = fuzz::readPlan(in);
    chipType = plan.chipType;
    initChipProfile();
    deviceMatch = DeviceMatchSettings{0x2A94, 0x0121, 0x0001, 0xFFF0};

    node = FakeNode();
    fuzz::deliveries().clear();
    node.in = &in;
    node.writeFailEvery = plan.writeFailEvery;
    FuzzHost host(fakeOps());
    setHidHost(&host);
    bindHidInterface();

    fuzz::runSession(plan);

    // The targets close their handles on this host before it goes away.
    resetHidInterface();
    setHidHost(nullptr);
    return 0;
}
