#include "hid/HidHostLinux.h"

#if defined(__linux__)

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "hid/HidInterface.h"
#include "hid/OpenHints.h"
#include "hid/ReportDescriptor.h"
#include "log/Log.h"
#include "sys/Bytes.h"

namespace {

// Bounded retries of a call interrupted by a signal.
constexpr int kMaxInterruptedRetries = 8;

// Reads at most maxBytes of a (sysfs) file. 0 or the errno of the failure.
int readSmallFile(const std::string& path, size_t maxBytes, std::string* out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    out->clear();
    char chunk[4096];
    int error = 0;
    while (out->size() < maxBytes) {
        const size_t want = std::min(sizeof chunk, maxBytes - out->size());
        const ssize_t n = ::read(fd, chunk, want);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            break;
        }
        if (n == 0)
            break;
        out->append(chunk, static_cast<size_t>(n));
    }
    ::close(fd);
    return error;
}

// "HID_ID=bus:vendor:product" (hex) from the HID device's uevent.
bool parseHidId(const std::string& uevent, uint16_t* vendorId, uint16_t* productId) {
    size_t start = 0;
    while (start < uevent.size()) {
        size_t end = uevent.find('\n', start);
        if (end == std::string::npos)
            end = uevent.size();
        const std::string line = uevent.substr(start, end - start);
        start = end + 1;
        if (line.compare(0, 7, "HID_ID=") != 0)
            continue;
        const std::string value = line.substr(7);
        const size_t first = value.find(':');
        const size_t second = first == std::string::npos ? first : value.find(':', first + 1);
        if (second == std::string::npos)
            return false;
        // Each field is 1 to 8 hex digits.
        uint64_t bus, vendor, product;
        if (!parseDigits(value.substr(0, first), 16, 8, &bus) ||
            !parseDigits(value.substr(first + 1, second - first - 1), 16, 8, &vendor) ||
            !parseDigits(value.substr(second + 1), 16, 8, &product) || vendor > 0xFFFF ||
            product > 0xFFFF) {
            return false;
        }
        *vendorId = static_cast<uint16_t>(vendor);
        *productId = static_cast<uint16_t>(product);
        return true;
    }
    return false;
}

// hidrawN entries of the class folder, in numeric order of N.
std::vector<std::pair<uint64_t, std::string>> hidrawNodes(const std::string& classDir) {
    std::vector<std::pair<uint64_t, std::string>> nodes;
    DIR* dir = ::opendir(classDir.c_str());
    if (dir == nullptr)
        return nodes;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        uint64_t number = 0;
        if (name.compare(0, 6, "hidraw") == 0 && parseDigits(name.substr(6), 10, 10, &number))
            nodes.emplace_back(number, name);
    }
    ::closedir(dir);
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

bool rejectedByKernel(int error) {
    return error == ENOTTY || error == EINVAL;
}

}  // namespace

unsigned long hidrawGetInputRequest(size_t length) {
    return _IOC(_IOC_WRITE | _IOC_READ, 'H', 0x0A, length);
}

unsigned long hidrawSetOutputRequest(size_t length) {
    return _IOC(_IOC_WRITE | _IOC_READ, 'H', 0x0B, length);
}

HidrawNodeOps systemHidrawNodeOps() {
    HidrawNodeOps ops;
    ops.open = [](const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            return -errno;
        int r;
        do {
            r = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (r != 0 && errno == EINTR);
        if (r != 0) {
            const int error = errno;
            ::close(fd);
            return -error;
        }
        return fd;
    };
    ops.ioctl = [](int fd, unsigned long request, uint8_t* data) {
        const int r = ::ioctl(fd, request, data);
        return r < 0 ? -errno : r;
    };
    ops.write = [](int fd, const uint8_t* data, size_t length) -> long {
        const ssize_t n = ::write(fd, data, length);
        return n < 0 ? -errno : static_cast<long>(n);
    };
    ops.poll = [](int fd, int timeoutMs, short* revents) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0)
            return -errno;
        *revents = p.revents;
        return r;
    };
    ops.read = [](int fd, uint8_t* data, size_t length) -> long {
        const ssize_t n = ::read(fd, data, length);
        return n < 0 ? -errno : static_cast<long>(n);
    };
    ops.close = [](int fd) { ::close(fd); };
    ops.nowMs = []() -> int64_t {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    ops.access = [](const std::string& path) {
        return ::access(path.c_str(), R_OK | W_OK) == 0 ? 0 : -errno;
    };
    ops.dup = [](int fd) {
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        return copy < 0 ? -errno : copy;
    };
    ops.sameNode = [](int fd, const std::string& path) {
        struct stat held {};
        struct stat named {};
        if (::fstat(fd, &held) != 0 || ::stat(path.c_str(), &named) != 0)
            return false;
        return held.st_dev == named.st_dev && held.st_ino == named.st_ino &&
               held.st_rdev == named.st_rdev;
    };
    return ops;
}

HidHostLinux::HidHostLinux(std::string sysfsRoot, HidrawNodeOps ops, std::string devDir)
    : sysfsRoot_(std::move(sysfsRoot)), ops_(std::move(ops)), devDir_(std::move(devDir)) {}

HidHostLinux::~HidHostLinux() {
    for (const int fd : openFds_)
        ops_.close(fd);
    for (const auto& hold : held_)
        ops_.close(hold.second);
}

std::vector<HidInterfaceInfo> HidHostLinux::enumerate() {
    std::vector<HidInterfaceInfo> interfaces;
    const std::string classDir = sysfsRoot_ + "/class/hidraw";
    for (const auto& node : hidrawNodes(classDir)) {
        // "device" is the HID device the node belongs to; it holds the ids and
        // the report descriptor, so the node itself need not be opened.
        const std::string deviceDir = classDir + "/" + node.second + "/device";
        HidInterfaceInfo base;
        base.path = devDir_ + "/" + node.second;

        std::string uevent;
        int error = readSmallFile(deviceDir + "/uevent", 65536, &uevent);
        if (error != 0 || !parseHidId(uevent, &base.vendorId, &base.productId)) {
            base.queryError = HidQueryError::attributesFailed;
            base.osError = static_cast<uint32_t>(error != 0 ? error : EINVAL);
            interfaces.push_back(base);
            continue;
        }
        std::string descriptor;
        error = readSmallFile(deviceDir + "/report_descriptor", kMaxReportDescriptorFileSize,
                              &descriptor);
        const ReportDescriptorInfo parsed =
            parseReportDescriptor(reinterpret_cast<const uint8_t*>(descriptor.data()),
                                  error == 0 ? descriptor.size() : 0);
        if (parsed.collections.empty()) {
            base.queryError = HidQueryError::capsFailed;
            base.osError = static_cast<uint32_t>(error != 0 ? error : EINVAL);
            interfaces.push_back(base);
            continue;
        }
        for (size_t i = 0; i < parsed.collections.size(); ++i) {
            HidInterfaceInfo iface = base;
            static_cast<HidCollectionInfo&>(iface) = parsed.collections[i];
            iface.collection = static_cast<int>(i);
            interfaces.push_back(iface);
        }
    }
    return interfaces;
}

int HidHostLinux::openHeld(const std::string& path) {
    if (!ops_.dup || !ops_.sameNode)
        return ops_.open(path);
    const auto hold = held_.find(path);
    if (hold != held_.end()) {
        if (ops_.sameNode(hold->second, path))
            return ops_.dup(hold->second);
        // The device went away: its old node guards nothing now. A node
        // under the same name is a new one and is locked afresh.
        ops_.close(hold->second);
        held_.erase(hold);
    }
    const int fd = ops_.open(path);
    if (fd < 0)
        return fd;
    const int keep = ops_.dup(fd);
    if (keep < 0) {
        // Without a kept descriptor the lock would end at the first close.
        ops_.close(fd);
        return keep;
    }
    held_[path] = keep;
    return fd;
}

HidHandle HidHostLinux::open(const HidInterfaceInfo& iface, uint32_t* osError) {
    const int fd = openHeld(iface.path);
    if (fd < 0) {
        setOsError(osError, static_cast<uint32_t>(-fd));
        return kInvalidHidHandle;
    }
    openFds_.insert(fd);
    return fd;
}

void HidHostLinux::close(HidHandle handle) {
    const int fd = ownFd(handle);
    if (fd < 0)
        return;
    openFds_.erase(fd);
    ops_.close(fd);
}

int HidHostLinux::ownFd(HidHandle handle) const {
    if (handle < 0 || handle > INT32_MAX)
        return -1;
    const int fd = static_cast<int>(handle);
    return openFds_.count(fd) != 0 ? fd : -1;
}

bool HidHostLinux::writeAll(int fd, const uint8_t* report, size_t length, uint32_t* osError) {
    long n = -EINTR;
    for (int attempt = 0; attempt < kMaxInterruptedRetries && n == -EINTR; ++attempt) {
        n = ops_.write(fd, report, length);
    }
    if (n < 0)
        return failHostCall(osError, static_cast<uint32_t>(-n));
    if (static_cast<size_t>(n) != length)
        return failHostCall(osError, EIO);
    return true;
}

bool HidHostLinux::getInputReport(HidHandle handle, uint8_t* report, size_t length,
                                  uint32_t* osError) {
    const int fd = ownFd(handle);
    if (fd < 0 || report == nullptr || length == 0)
        return failHostCall(osError, fd < 0 ? EBADF : EINVAL);
    if (!getInputUnsupported_) {
        const int r = ops_.ioctl(fd, hidrawGetInputRequest(length), report);
        if (r >= 0)
            return true;
        if (!rejectedByKernel(-r))
            return failHostCall(osError, static_cast<uint32_t>(-r));
        getInputUnsupported_ = true;
        LOG_WARNING("HidHostLinux::getInputReport",
                    "The kernel rejects HIDIOCGINPUT (error %d; the hidraw driver has it since "
                    "Linux 5.11). Input reports are read from the report queue instead.\n",
                    -r);
    }
    size_t received = 0;
    return readReport(handle, report[0], report, length, kHidReadTimeoutMs, &received, osError) ==
           HidReadResult::ok;
}

bool HidHostLinux::setOutputReport(HidHandle handle, const uint8_t* report, size_t length,
                                   uint32_t* osError) {
    const int fd = ownFd(handle);
    if (fd < 0 || report == nullptr || length == 0)
        return failHostCall(osError, fd < 0 ? EBADF : EINVAL);
    // Where input reports come from the queue (kernel without HIDIOCGINPUT),
    // a report queued before this request is no answer to it.
    if (getInputUnsupported_)
        drainQueued(fd);
    if (!setOutputUnsupported_) {
        // The request is read-write for the driver: hand it a copy (on the
        // stack for every report the targets send).
        uint8_t local[kLongReportSize];
        std::vector<uint8_t> large;
        uint8_t* copy = local;
        if (length > sizeof local) {
            large.resize(length);
            copy = large.data();
        }
        std::memcpy(copy, report, length);
        const int r = ops_.ioctl(fd, hidrawSetOutputRequest(length), copy);
        if (r >= 0)
            return true;
        if (!rejectedByKernel(-r))
            return failHostCall(osError, static_cast<uint32_t>(-r));
        setOutputUnsupported_ = true;
        LOG_WARNING("HidHostLinux::setOutputReport",
                    "The kernel rejects HIDIOCSOUTPUT (error %d; the hidraw driver has it since "
                    "Linux 5.11). Output reports are sent with write() instead.\n",
                    -r);
    }
    return writeAll(fd, report, length, osError);
}

bool HidHostLinux::writeReport(HidHandle handle, const uint8_t* report, size_t length,
                               uint32_t* osError) {
    const int fd = ownFd(handle);
    if (fd < 0 || report == nullptr || length == 0)
        return failHostCall(osError, fd < 0 ? EBADF : EINVAL);
    // A late answer to an earlier request must never be read as the answer
    // to this one.
    drainQueued(fd);
    return writeAll(fd, report, length, osError);
}

void HidHostLinux::drainQueued(int fd) {
    uint8_t scratch[kHidrawMaxReportSize];  // on the stack: nothing allocated per report
    int interrupted = 0;
    for (int dropped = 0; dropped < kHidrawQueueLength;) {
        const long n = ops_.read(fd, scratch, sizeof scratch);
        if (n == -EINTR && ++interrupted < kMaxInterruptedRetries)
            continue;
        // Empty (EAGAIN) or failed: a failure shows again in the write.
        if (n <= 0)
            return;
        ++dropped;
        LOG_DEBUG("HidHostLinux::drainQueued",
                  "Dropped a stale input report (id 0x%02X, %ld bytes).\n", scratch[0], n);
    }
}

HidReadResult HidHostLinux::readReport(HidHandle handle, uint8_t reportId, uint8_t* report,
                                       size_t length, int timeoutMs, size_t* received,
                                       uint32_t* osError) {
    if (received)
        *received = 0;
    const int fd = ownFd(handle);
    if (fd < 0 || report == nullptr)
        return failHostRead(osError, fd < 0 ? EBADF : EINVAL);
    // One node carries every top-level collection of the device: touch or
    // mouse reports arrive here too and are dropped until a report with the
    // wanted id comes, all within the one deadline.
    std::array<uint8_t, kHidrawMaxReportSize> scratch;  // no heap per report
    const int64_t deadline = ops_.nowMs() + std::max(timeoutMs, 0);
    for (;;) {
        const int64_t remaining = deadline - ops_.nowMs();
        if (remaining <= 0)
            break;
        short revents = 0;
        const int r = ops_.poll(fd, static_cast<int>(remaining), &revents);
        if (r == -EINTR)
            continue;
        if (r < 0)
            return failHostRead(osError, static_cast<uint32_t>(-r));
        if (r == 0)
            break;
        if ((revents & POLLNVAL) != 0)
            return failHostRead(osError, EBADF);
        // Error or hang-up: the device is gone (unplugged, reset, rebound).
        if ((revents & (POLLERR | POLLHUP)) != 0)
            return failHostRead(osError, ENODEV);
        if ((revents & POLLIN) == 0)
            continue;
        const long n = ops_.read(fd, scratch.data(), scratch.size());
        if (n == -EAGAIN || n == -EINTR)
            continue;
        if (n < 0)
            return failHostRead(osError, static_cast<uint32_t>(-n));
        if (n == 0 || scratch[0] != reportId)
            continue;
        const size_t count = std::min(static_cast<size_t>(n), length);
        std::memcpy(report, scratch.data(), count);
        if (received)
            *received = count;
        return HidReadResult::ok;
    }
    setOsError(osError, ETIMEDOUT);
    return HidReadResult::timeout;
}

HidOpenFailure HidHostLinux::classifyOpenError(uint32_t osError) const {
    if (osError == EACCES || osError == EPERM)
        return HidOpenFailure::denied;
    if (osError == EWOULDBLOCK || osError == EAGAIN)
        return HidOpenFailure::inUse;
    return HidOpenFailure::other;
}

bool HidHostLinux::mayOpen(const HidInterfaceInfo& iface) const {
    return !ops_.access || ops_.access(iface.path) == 0;
}

bool HidHostLinux::deviceGone(uint32_t osError) const {
    return osError == ENODEV || osError == ENXIO || osError == ESHUTDOWN;
}

void HidHostLinux::explainOpenFailure(const HidInterfaceInfo& iface, uint32_t osError) {
    if (osError != EACCES && osError != EPERM)
        return;
    LOG_ERROR("HidHostLinux::explainOpenFailure",
              "Permission denied on %s: this user may not open the device. Install the udev rule "
              "%s (see docs/HID.md), then replug the device, or run as root.\n",
              iface.path.c_str(), kSourceUdevRulePath);
}

#endif  // __linux__
