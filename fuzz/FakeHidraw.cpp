#include "fuzz/FakeHidraw.h"

#include <poll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "fuzz/DeviceSession.h"
#include "hid/DeviceMatch.h"
#include "hid/HidHostLinux.h"
#include "hid/HidInterface.h"

namespace fuzz {

namespace {

constexpr int kFd = 7;
constexpr unsigned kGetInputNr = 0x0A;
constexpr unsigned kSetOutputNr = 0x0B;
constexpr size_t kMaxRawRead = 600;

struct FakeNode {
    ByteReader* in = nullptr;
    uint8_t writeFailEvery = 0;
    unsigned writes = 0;
    int64_t now = 0;
    std::vector<uint8_t> lastRequest;
    // Set when a poll reported a report waiting: the read that follows is
    // the answer to lastRequest. A read without it is the host dropping
    // reports queued before its next request, and delivers no answer.
    bool polledReady = false;

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
        deliveries().push_back({node.lastRequest, {data, data + size}});
    return result;
}

int inputReport(uint8_t* data, size_t size) {
    uint8_t control = 0;
    if (!node.in->next(&control))
        return -EIO;
    const int requested = requestedLength(node.lastRequest);
    switch (static_cast<AnswerKind>(control & 0x3)) {
        case AnswerKind::wellFormed:
            fillAnswer(data, size, requested, requested, *node.in);
            return static_cast<int>(size);
        case AnswerKind::raw:
            node.in->take(data, size);
            return static_cast<int>(size);
        case AnswerKind::fail:
            return -EPIPE;
        case AnswerKind::wrongLength:
            if ((control & 0x4) != 0)
                return -ENOTTY;
            fillAnswer(data, size, node.in->u16(), requested, *node.in);
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
            node.polledReady = true;
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
    const bool answer = node.polledReady;
    node.polledReady = false;
    if (answer && n > 0 && data[0] == kHidReportId) {
        const size_t size = node.lastRequest.size() >= static_cast<size_t>(kLongReportSize)
                                ? static_cast<size_t>(kLongReportSize)
                                : static_cast<size_t>(kStandardReportSize);
        std::vector<uint8_t> report(data, data + std::min(static_cast<size_t>(n), size));
        report.resize(size, 0);
        deliveries().push_back({node.lastRequest, report});
    }
    return n;
}

long queuedReport(uint8_t* data, size_t length) {
    uint8_t control = 0;
    if (!node.in->next(&control))
        return -EAGAIN;
    switch (control & 0x3) {
        case 0: {
            const size_t size = node.lastRequest.size() >= static_cast<size_t>(kLongReportSize)
                                    ? static_cast<size_t>(kLongReportSize)
                                    : static_cast<size_t>(kStandardReportSize);
            const int requested = requestedLength(node.lastRequest);
            fillAnswer(data, size < length ? size : length, requested, requested, *node.in);
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

FakeHidraw::FakeHidraw(ByteReader& in, uint8_t writeFailEvery) {
    node = FakeNode();
    node.in = &in;
    node.writeFailEvery = writeFailEvery;
    host_ = std::make_unique<FuzzHost>(fakeOps());
    setHidHost(host_.get());
}

FakeHidraw::~FakeHidraw() {
    // The targets close their handles on this host before it goes away.
    resetHidInterface();
    setHidHost(nullptr);
}

}  // namespace fuzz
