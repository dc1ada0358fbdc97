// The Linux HID host: hidraw nodes. Interfaces come from sysfs
// (<root>/class/hidraw/hidrawN in numeric order, the vendor and product id
// from the HID device's uevent, one interface per top-level collection of its
// report descriptor); reports move through /dev/hidrawN. The sysfs root, the
// node folder and the node operations are injectable so the backend can be
// exercised on a fake tree with scripted nodes.
#pragma once

#if defined(__linux__)

#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "hid/HidHost.h"

// Node operations. Each returns a non-negative result or -errno.
struct HidrawNodeOps {
    // A descriptor, read-write, holding an exclusive lock on the node
    // (-EWOULDBLOCK when another process holds it).
    std::function<int(const std::string& path)> open;
    std::function<int(int fd, unsigned long request, uint8_t* data)> ioctl;
    std::function<long(int fd, const uint8_t* data, size_t length)> write;
    // Waits at most timeoutMs for input; >0 with *revents set, 0 on time-out.
    std::function<int(int fd, int timeoutMs, short* revents)> poll;
    std::function<long(int fd, uint8_t* data, size_t length)> read;
    std::function<void(int fd)> close;
    std::function<int64_t()> nowMs;  // a monotonic clock in milliseconds
    // 0 when this user may read and write the node; unset: assumed so.
    std::function<int(const std::string& path)> access;
    // Another descriptor of the same open node, sharing its lock, or -errno.
    // Unset: a node is held only while it is open.
    std::function<int(int fd)> dup;
    // True while `fd` is a descriptor of the node now at `path` (false once
    // the device went away, and for a new node under the old name).
    std::function<bool(int fd, const std::string& path)> sameNode;
};

// The real system calls (descriptors opened non-blocking and close-on-exec).
// open takes flock(LOCK_EX | LOCK_NB) on the node right after opening it:
// one run holds its device exclusively, and the lock goes with the open
// node (at the close of its last descriptor, or by the kernel however the
// process ends).
HidrawNodeOps systemHidrawNodeOps();

// ioctl requests of the hidraw driver used here, defined locally because
// older kernel headers lack them (the driver has them since Linux 5.11).
unsigned long hidrawGetInputRequest(size_t length);   // HIDIOCGINPUT(length)
unsigned long hidrawSetOutputRequest(size_t length);  // HIDIOCSOUTPUT(length)

// The largest report hidraw delivers; reads land in a buffer of this size.
constexpr size_t kHidrawMaxReportSize = 16384;
// The hidraw driver queues at most this many input reports per reader; the
// drain before a write reads at most this many.
constexpr int kHidrawQueueLength = 64;
// Report descriptors are at most 4096 bytes; anything beyond 64 KiB is not read.
constexpr size_t kMaxReportDescriptorFileSize = 65536;

// A node this host opened stays held until the host is destroyed (for the
// process-wide host: until the process ends; the destructor closes every
// descriptor the host still has): a descriptor of it is kept
// past close, so the lock outlives the operation that opened it and no other
// run can take the device between two operations of this one. A later open
// of the node reuses that descriptor while it still names the node there.
class HidHostLinux : public HidHost {
  public:
    // Nodes are named <devDir>/hidrawN.
    explicit HidHostLinux(std::string sysfsRoot = "/sys", HidrawNodeOps ops = systemHidrawNodeOps(),
                          std::string devDir = "/dev");
    ~HidHostLinux() override;
    HidHostLinux(const HidHostLinux&) = delete;
    HidHostLinux& operator=(const HidHostLinux&) = delete;

    std::vector<HidInterfaceInfo> enumerate() override;
    HidHandle open(const HidInterfaceInfo& iface, uint32_t* osError) override;
    void close(HidHandle handle) override;
    bool getInputReport(HidHandle handle, uint8_t* report, size_t length,
                        uint32_t* osError) override;
    bool setOutputReport(HidHandle handle, const uint8_t* report, size_t length,
                         uint32_t* osError) override;
    bool writeReport(HidHandle handle, const uint8_t* report, size_t length,
                     uint32_t* osError) override;
    HidReadResult readReport(HidHandle handle, uint8_t reportId, uint8_t* report, size_t length,
                             int timeoutMs, size_t* received, uint32_t* osError) override;
    HidOpenFailure classifyOpenError(uint32_t osError) const override;
    bool mayOpen(const HidInterfaceInfo& iface) const override;
    void explainOpenFailure(const HidInterfaceInfo& iface, uint32_t osError) override;
    bool deviceGone(uint32_t osError) const override;

  private:
    // The descriptor when this host opened it and has not closed it, else -1:
    // a handle of another host (or a stale one) never reaches a system call.
    int ownFd(HidHandle handle) const;
    bool writeAll(int fd, const uint8_t* report, size_t length, uint32_t* osError);
    // Reads and drops the input reports already queued on the node, without
    // waiting (the descriptor is non-blocking).
    void drainQueued(int fd);
    // A descriptor of the node at `path` holding its lock: a new one from the
    // kept hold when the node is still the one held, else a fresh open that
    // becomes the hold. -errno on failure.
    int openHeld(const std::string& path);

    std::string sysfsRoot_;
    HidrawNodeOps ops_;
    std::string devDir_;
    std::set<int> openFds_;
    std::map<std::string, int> held_;  // node path -> descriptor kept for the lock
    bool getInputUnsupported_ = false;
    bool setOutputUnsupported_ = false;
};

#endif  // __linux__
