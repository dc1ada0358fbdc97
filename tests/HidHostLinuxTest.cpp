#if defined(__linux__)

#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "app/App.h"
#include "chip/ChipProfile.h"
#include "emu/EmulatedChip.h"
#include "hid/DeviceMatch.h"
#include "hid/HidHostLinux.h"
#include "hid/HidInterface.h"
#include "hid/HidTarget.h"
#include "hid/OpenHints.h"
#include "tests/FaultMatrixSupport.h"
#include "tests/HidTestSupport.h"

namespace {

using hidtest::Bytes;
using hidtest::hasLine;
using hidtest::kDebug;
using hidtest::kError;
using hidtest::kWarning;

// Scripted hidraw nodes: opens, ioctls and writes are recorded; input
// reports are events on a fake monotonic clock that poll() and read() deliver.
// Opens lock as flock does: the lock belongs to the open node, is shared by
// its duplicates and ends with its last descriptor; another open of a locked
// node fails with EWOULDBLOCK, from this process or another.
class FakeNodes {
  public:
    struct Event {
        int64_t atMs;
        short revents;
        Bytes data;
        int readError = 0;
    };
    struct Ioctl {
        int fd;
        unsigned long request;
        Bytes data;
    };

    std::map<std::string, int> openErrors;
    std::vector<std::string> opened;
    std::vector<int> closedFds;
    std::vector<Ioctl> ioctls;
    // Result of an ioctl; may fill the data. Default: success.
    std::function<int(unsigned long request, uint8_t* data)> ioctlHandler;
    std::vector<Bytes> writes;
    long writeResult = -1;  // -1: everything written; otherwise returned as is
    std::deque<Event> events;
    std::vector<int> pollTimeouts;
    int reads = 0;
    int64_t now = 50000;
    std::function<void(int fd)> afterClose;

    HidrawNodeOps ops() {
        HidrawNodeOps o;
        o.open = [this](const std::string& path) {
            auto failure = openErrors.find(path);
            if (failure != openErrors.end())
                return -failure->second;
            for (const auto& open : nodeOf_) {
                if (open.second == path)
                    return -EWOULDBLOCK;
            }
            opened.push_back(path);
            nodeOf_[nextFd_] = path;
            return nextFd_++;
        };
        o.dup = [this](int fd) {
            if (nodeOf_.count(fd) == 0)
                return -EBADF;
            nodeOf_[nextFd_] = nodeOf_[fd];
            return nextFd_++;
        };
        o.sameNode = [this](int fd, const std::string& path) {
            const auto open = nodeOf_.find(fd);
            return open != nodeOf_.end() && open->second == path;
        };
        o.ioctl = [this](int fd, unsigned long request, uint8_t* data) {
            const size_t size = _IOC_SIZE(request);
            ioctls.push_back({fd, request, Bytes(data, data + size)});
            return ioctlHandler ? ioctlHandler(request, data) : static_cast<int>(size);
        };
        o.write = [this](int, const uint8_t* data, size_t length) -> long {
            writes.emplace_back(data, data + length);
            return writeResult == -1 ? static_cast<long>(length) : writeResult;
        };
        o.poll = [this](int, int timeoutMs, short* revents) {
            pollTimeouts.push_back(timeoutMs);
            if (!events.empty() && events.front().atMs <= now + timeoutMs) {
                now = std::max(now, events.front().atMs);
                *revents = events.front().revents;
                return 1;
            }
            now += timeoutMs;
            return 0;
        };
        o.read = [this](int, uint8_t* data, size_t length) -> long {
            ++reads;
            // A report that has not arrived yet cannot be read.
            if (events.empty() || events.front().atMs > now)
                return -EAGAIN;
            const Event e = events.front();
            events.pop_front();
            if (e.readError != 0)
                return -e.readError;
            const size_t n = std::min(length, e.data.size());
            std::copy(e.data.begin(), e.data.begin() + static_cast<long>(n), data);
            return static_cast<long>(n);
        };
        o.close = [this](int fd) {
            closedFds.push_back(fd);
            nodeOf_.erase(fd);
            if (afterClose)
                afterClose(fd);
        };
        o.nowMs = [this]() { return now; };
        return o;
    }

    // An input report of `size` bytes with the given id, arriving `afterMs` from now.
    void addReport(int64_t afterMs, uint8_t id, size_t size = 268, uint8_t fill = 0x5A) {
        Bytes data(size, fill);
        data[0] = id;
        events.push_back({now + afterMs, POLLIN, data});
    }

  private:
    int nextFd_ = 50;
    std::map<int, std::string> nodeOf_;  // open descriptor -> its node
};

class HidHostLinuxTest : public testsupport::ProcessFixture {
  protected:
    void SetUp() override {
        ProcessFixture::SetUp();
        // A keyboard and a mouse, the touch controller (touch + vendor
        // collection on one node), a node with unusable ids, a node without
        // descriptor, a second controller with the same keys on hidraw10, and
        // entries that are not hidraw nodes.
        addNode("hidraw0", "0003:0000046D:0000C31C", hidtest::keyboardDescriptor());
        addNode("hidraw1", "0003:0000046D:0000C077", hidtest::mouseDescriptor());
        addNode("hidraw2", "0003:00002A94:00000121", hidtest::touchAndVendorDescriptor());
        addNode("hidraw3", "", hidtest::keyboardDescriptor());
        addNode("hidraw4", "0018:00002A94:00000121", {}, false);
        addNode("hidraw10", "0003:00002A94:00000121", hidtest::touchAndVendorDescriptor(267));
        std::filesystem::create_directories(classDir() + "/hidrawx/device");
        std::filesystem::create_directories(classDir() + "/foo");
        newProcess();
    }
    // The host of a new process: the nodes the last one held are free again.
    void newProcess() {
        host_ = std::make_unique<HidHostLinux>(root_.path(), nodes_.ops());
        setHidHost(host_.get());
    }
    void TearDown() override {
        resetHidInterface();
        setHidHost(nullptr);
        ProcessFixture::TearDown();
    }

    std::string classDir() const { return root_.path() + "/class/hidraw"; }

    void addNode(const std::string& name, const std::string& hidId, const Bytes& descriptor,
                 bool withDescriptor = true) {
        const std::string dir = classDir() + "/" + name + "/device";
        std::filesystem::create_directories(dir);
        std::string uevent = "DRIVER=hid-generic\n";
        if (!hidId.empty())
            uevent += "HID_ID=" + hidId + "\n";
        uevent += "HID_NAME=Test Device\nHID_PHYS=usb-0000:00:14.0-1/input0\n";
        testsupport::writeFile(dir + "/uevent", uevent);
        if (withDescriptor) {
            testsupport::writeFile(dir + "/report_descriptor",
                                   std::string(descriptor.begin(), descriptor.end()));
        }
    }

    static void setControllerKeys() {
        deviceMatch.vid = 0x2A94;
        deviceMatch.pid = 0x0121;
        deviceMatch.usagePage = 0xFFF0;
        deviceMatch.usage = 0x0001;
        deviceMatch.path.clear();  // each case is a run of its own: nothing pinned
    }

    // An emulated chip behind every node, on the standard path: output
    // reports go to it, input reports come from it.
    void chipBehindNodes(emu::EmulatedChip& chip) {
        nodes_.ioctlHandler = [&chip](unsigned long request, uint8_t* data) {
            const size_t size = _IOC_SIZE(request);
            uint32_t error = 0;
            const bool ok = request == hidrawSetOutputRequest(size)
                                ? chip.receiveReport(data, size, emu::ReportPath::standard)
                                : chip.answerInputReport(data, size, &error);
            return ok ? static_cast<int>(size) : -EIO;
        };
    }

    // Binds the interface for a chip type and opens the controller.
    void openController(int32_t type) {
        setControllerKeys();
        chipType = type;
        bindHidInterface();
        ASSERT_EQ(getHidInterface()->open(nullptr), 0);
        log_->clear();
    }

    static std::string hexText(int error) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%02X", error);
        return text;
    }

    testsupport::TempDir root_;
    FakeNodes nodes_;
    std::unique_ptr<HidHostLinux> host_;
};

TEST_F(HidHostLinuxTest, EnumeratesNodesInNumericOrderOneEntryPerCollection) {
    struct Expected {
        const char* path;
        uint16_t vid, pid, usagePage, usage;
        HidQueryError error;
        uint32_t osError;
        int collection;
        uint16_t inputLength, outputLength;
    };
    const HidQueryError ok = HidQueryError::none;
    const Expected expected[] = {
        {"/dev/hidraw0", 0x046D, 0xC31C, 0x0001, 0x0006, ok, 0, 0, 9, 2},
        {"/dev/hidraw1", 0x046D, 0xC077, 0x0001, 0x0002, ok, 0, 0, 4, 0},
        {"/dev/hidraw2", 0x2A94, 0x0121, 0x000D, 0x0004, ok, 0, 0, 7, 0},
        {"/dev/hidraw2", 0x2A94, 0x0121, 0xFFF0, 0x0001, ok, 0, 1, 65, 65},
        {"/dev/hidraw3", 0, 0, 0, 0, HidQueryError::attributesFailed, EINVAL, 0, 0, 0},
        {"/dev/hidraw4", 0x2A94, 0x0121, 0, 0, HidQueryError::capsFailed, ENOENT, 0, 0, 0},
        {"/dev/hidraw10", 0x2A94, 0x0121, 0x000D, 0x0004, ok, 0, 0, 7, 0},
        {"/dev/hidraw10", 0x2A94, 0x0121, 0xFFF0, 0x0001, ok, 0, 1, 268, 268},
    };
    const std::vector<HidInterfaceInfo> list = host_->enumerate();
    ASSERT_EQ(list.size(), std::size(expected));
    for (size_t i = 0; i < list.size(); ++i) {
        const Expected& e = expected[i];
        EXPECT_EQ(list[i].path, e.path) << i;
        EXPECT_EQ(list[i].vendorId, e.vid) << i;
        EXPECT_EQ(list[i].productId, e.pid) << i;
        EXPECT_EQ(list[i].usagePage, e.usagePage) << i;
        EXPECT_EQ(list[i].usage, e.usage) << i;
        EXPECT_EQ(list[i].queryError, e.error) << i;
        EXPECT_EQ(list[i].osError, e.osError) << i;
        EXPECT_EQ(list[i].collection, e.collection) << i;
        EXPECT_EQ(list[i].inputReportLength, e.inputLength) << i;
        EXPECT_EQ(list[i].outputReportLength, e.outputLength) << i;
    }
    EXPECT_TRUE(nodes_.opened.empty());  // sysfs alone describes the nodes
}

TEST_F(HidHostLinuxTest, HidIdForms) {
    struct Case {
        const char* hidId;
        bool valid;
        uint16_t vid, pid;
    };
    const Case cases[] = {
        {"0003:00002A94:00000121", true, 0x2A94, 0x0121},
        {"0018:00002a94:0000abcd", true, 0x2A94, 0xABCD},  // I2C, lower case
        {"5:2A94:121", true, 0x2A94, 0x0121},
        {"0003:00012A94:00000121", false, 0, 0},  // vendor beyond 16 bits
        {"0003:00002A94", false, 0, 0},
        {"0003:00002A94:", false, 0, 0},
        {"0003:2A9G:0121", false, 0, 0},
        {"0003:000000002A94:0121", false, 0, 0},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(classDir());
        addNode("hidraw0", c.hidId, hidtest::mouseDescriptor());
        const std::vector<HidInterfaceInfo> list = host_->enumerate();
        ASSERT_EQ(list.size(), 1u) << c.hidId;
        EXPECT_EQ(list[0].queryError == HidQueryError::none, c.valid) << c.hidId;
        if (c.valid) {
            EXPECT_EQ(list[0].vendorId, c.vid) << c.hidId;
            EXPECT_EQ(list[0].productId, c.pid) << c.hidId;
        }
    }
}

TEST_F(HidHostLinuxTest, ScanListsEveryCollectionWithoutOpening) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(listHidDevices(), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Vid = 0x046D, Pid = 0xC31C, UsagePage = 0x0001, Usage = 0x0006, DevicePath = "
              "/dev/hidraw0.\n"
              "Vid = 0x046D, Pid = 0xC077, UsagePage = 0x0001, Usage = 0x0002, DevicePath = "
              "/dev/hidraw1.\n"
              "Vid = 0x2A94, Pid = 0x0121, UsagePage = 0x000D, Usage = 0x0004, DevicePath = "
              "/dev/hidraw2.\n"
              "Vid = 0x2A94, Pid = 0x0121, UsagePage = 0xFFF0, Usage = 0x0001, DevicePath = "
              "/dev/hidraw2.\n"
              "Vid = 0x2A94, Pid = 0x0121, UsagePage = 0x000D, Usage = 0x0004, DevicePath = "
              "/dev/hidraw10.\n"
              "Vid = 0x2A94, Pid = 0x0121, UsagePage = 0xFFF0, Usage = 0x0001, DevicePath = "
              "/dev/hidraw10.\n");
    EXPECT_TRUE(nodes_.opened.empty());
}

TEST_F(HidHostLinuxTest, NoHidrawClassMeansEmptyScan) {
    std::filesystem::remove_all(root_.path() + "/class");
    EXPECT_TRUE(host_->enumerate().empty());
    testing::internal::CaptureStdout();
    EXPECT_EQ(listHidDevices(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(HidHostLinuxTest, OpensFirstMatchingNodeInNumericOrder) {
    setControllerKeys();
    ASSERT_EQ(hidTarget.open(), 0);
    EXPECT_EQ(nodes_.opened, std::vector<std::string>{"/dev/hidraw2"});
    hidTarget.close();
    EXPECT_EQ(nodes_.closedFds.size(), 1u);
}

TEST(HidrawNodeLockTest, OneDescriptorHoldsTheNodeUntilItIsClosed) {
    // The real open on a plain file: the lock is the same flock a hidraw node takes.
    testsupport::TempDir dir;
    const std::string node = dir.file("hidraw-node");
    testsupport::writeFile(node, "");
    const HidrawNodeOps ops = systemHidrawNodeOps();
    const int first = ops.open(node);
    ASSERT_GE(first, 0);
    EXPECT_EQ(ops.open(node), -EWOULDBLOCK);
    ops.close(first);
    const int again = ops.open(node);
    EXPECT_GE(again, 0);
    ops.close(again);
}

// The real calls, on a plain file standing for the node (it locks the same
// way): the run keeps the node locked past every close, reuses its hold
// while the file is the one held, locks a file that took the name afresh
// (the device went away and came back), and lets go when its host ends.
TEST_F(HidHostLinuxTest, TheRealCallsHoldTheNodeUntilTheRunEnds) {
    std::filesystem::create_directories(root_.path() + "/dev");
    const std::string node = root_.path() + "/dev/hidraw2";
    testsupport::writeFile(node, "");
    const HidrawNodeOps ops = systemHidrawNodeOps();
    auto run = std::make_unique<HidHostLinux>(root_.path(), ops, root_.path() + "/dev");
    setHidHost(run.get());
    setControllerKeys();
    for (const bool replaced : {false, false, true}) {
        if (replaced) {
            std::filesystem::remove(node);
            testsupport::writeFile(node, "");
        }
        ASSERT_EQ(hidTarget.open(), 0);
        hidTarget.close();
        EXPECT_EQ(ops.open(node), -EWOULDBLOCK);
    }
    setHidHost(host_.get());
    run.reset();
    const int fd = ops.open(node);
    EXPECT_GE(fd, 0);
    ops.close(fd);
}

TEST_F(HidHostLinuxTest, UnusableNodesAreSkippedWithTheirLogLines) {
    deviceMatch.vid = 0x1234;  // matches nothing: every node is looked at
    EXPECT_EQ(hidTarget.open(), -1);
    EXPECT_TRUE(hasLine(*log_, kDebug, "HidTarget::findMathingDevice",
                        "HidD_GetAttributes failed. Get last error = " + hexText(EINVAL) + ".\n"));
    EXPECT_EQ(log_->count("hidraw4"), 0u);
    EXPECT_EQ(log_->count("device is unmatch"), 6u);
    EXPECT_TRUE(nodes_.opened.empty());
}

TEST_F(HidHostLinuxTest, PermissionDeniedMovesOnAndPointsToTheUdevRule) {
    struct Case {
        const char* name;
        std::map<std::string, int> openErrors;
        int result;
        std::vector<std::string> opened;
        std::vector<std::string> hintedPaths;
    };
    const Case cases[] = {
        {"first denied, second opens", {{"/dev/hidraw2", EACCES}}, 0, {"/dev/hidraw10"}, {}},
        {"both denied",
         {{"/dev/hidraw2", EACCES}, {"/dev/hidraw10", EACCES}},
         -1,
         {},
         {"/dev/hidraw2", "/dev/hidraw10"}},
        {"node vanished, no hint",
         {{"/dev/hidraw2", ENOENT}, {"/dev/hidraw10", ENOENT}},
         -1,
         {},
         {}},
    };
    for (const Case& c : cases) {
        newProcess();
        log_->clear();
        nodes_.opened.clear();
        nodes_.openErrors = c.openErrors;
        setControllerKeys();
        EXPECT_EQ(hidTarget.open(), c.result) << c.name;
        EXPECT_EQ(nodes_.opened, c.opened) << c.name;
        EXPECT_EQ(log_->count("udev rule"), c.hintedPaths.size()) << c.name;
        for (const std::string& path : c.hintedPaths) {
            EXPECT_TRUE(hasLine(*log_, kError, "HidHostLinux::explainOpenFailure",
                                "Permission denied on " + path +
                                    ": this user may not open the device. Install the udev rule "
                                    "contrib/60-touchfw.rules (see docs/HID.md), then replug the "
                                    "device, or run as root.\n"))
                << c.name << " " << path;
        }
        if (c.result != 0) {
            EXPECT_TRUE(
                hasLine(*log_, kError, "HidTarget::open", "Find the device failed. ret = -1.\n"))
                << c.name;
        }
        hidTarget.close();
    }
}

TEST_F(HidHostLinuxTest, IoctlRequestNumbers) {
    // _IOC(_IOC_READ | _IOC_WRITE, 'H', nr, 65)
    EXPECT_EQ(hidrawGetInputRequest(65), 0xC041480Aul);
    EXPECT_EQ(hidrawSetOutputRequest(65), 0xC041480Bul);
#ifdef HIDIOCGINPUT
    EXPECT_EQ(hidrawGetInputRequest(65), static_cast<unsigned long>(HIDIOCGINPUT(65)));
    EXPECT_EQ(hidrawSetOutputRequest(65), static_cast<unsigned long>(HIDIOCSOUTPUT(65)));
#endif
}

TEST_F(HidHostLinuxTest, StandardPathUsesTheReportIoctls) {
    openController(CHIP_FJORDK);
    nodes_.ioctlHandler = [](unsigned long request, uint8_t* data) {
        if (request == hidrawGetInputRequest(65)) {
            for (int i = 1; i < 65; ++i)
                data[i] = static_cast<uint8_t>(0x80 + i);
        }
        return 65;
    };
    uint8_t frame[4] = {0x00, 0x21, 0x22, 0x23};
    ASSERT_EQ(getHidInterface()->write(frame, 4, nullptr), 0);
    uint8_t answer[65] = {0};
    ASSERT_EQ(getHidInterface()->read(answer, 65, nullptr), 0);

    ASSERT_EQ(nodes_.ioctls.size(), 2u);
    Bytes out(65, 0);
    out[0] = 0x0E;
    out[1] = 0x21;
    out[2] = 0x22;
    out[3] = 0x23;
    EXPECT_EQ(nodes_.ioctls[0].request, hidrawSetOutputRequest(65));
    EXPECT_EQ(nodes_.ioctls[0].data, out);
    EXPECT_EQ(nodes_.ioctls[1].request, hidrawGetInputRequest(65));
    Bytes request(65, 0);
    request[0] = 0x0E;
    EXPECT_EQ(nodes_.ioctls[1].data, request);
    EXPECT_EQ(answer[0], 0x0E);
    EXPECT_EQ(answer[1], 0x81);
    EXPECT_EQ(answer[64], 0x80 + 64);
    EXPECT_TRUE(nodes_.writes.empty());
}

TEST_F(HidHostLinuxTest, KernelWithoutReportIoctlsFallsBackAndSaysSoOnce) {
    for (int rejection : {EINVAL, ENOTTY}) {
        host_ = std::make_unique<HidHostLinux>(root_.path(), nodes_.ops());
        setHidHost(host_.get());
        hidTarget.handle = kInvalidHidHandle;  // belonged to the previous host
        nodes_.ioctls.clear();
        nodes_.writes.clear();
        openController(CHIP_FJORDK);
        nodes_.ioctlHandler = [rejection](unsigned long, uint8_t*) { return -rejection; };

        uint8_t frame[3] = {0x0E, 0x01, 0x02};
        ASSERT_EQ(getHidInterface()->write(frame, 3, nullptr), 0) << rejection;
        ASSERT_EQ(getHidInterface()->write(frame, 3, nullptr), 0) << rejection;
        ASSERT_EQ(nodes_.writes.size(), 2u) << rejection;
        Bytes expected(65, 0);
        expected[0] = 0x0E;
        expected[1] = 0x01;
        expected[2] = 0x02;
        EXPECT_EQ(nodes_.writes[0], expected) << rejection;
        EXPECT_EQ(log_->count("HIDIOCSOUTPUT"), 1u) << rejection;
        EXPECT_EQ(log_->count(kWarning), 1u) << rejection;

        // Input: the answer is taken from the report queue, other ids dropped.
        nodes_.addReport(1, 0x01, 7);
        nodes_.addReport(2, 0x0E, 65, 0x33);
        nodes_.addReport(3, 0x0E, 65, 0x44);
        uint8_t answer[65] = {0};
        ASSERT_EQ(getHidInterface()->read(answer, 65, nullptr), 0) << rejection;
        EXPECT_EQ(answer[0], 0x0E);
        EXPECT_EQ(answer[1], 0x33);
        ASSERT_EQ(getHidInterface()->read(answer, 65, nullptr), 0) << rejection;
        EXPECT_EQ(answer[1], 0x44);
        EXPECT_EQ(log_->count("HIDIOCGINPUT"), 1u) << rejection;
        // A report queued before a request is dropped when the request is sent.
        nodes_.addReport(0, 0x0E, 65, 0x55);
        ASSERT_EQ(getHidInterface()->write(frame, 3, nullptr), 0) << rejection;
        nodes_.addReport(1, 0x0E, 65, 0x66);
        ASSERT_EQ(getHidInterface()->read(answer, 65, nullptr), 0) << rejection;
        EXPECT_EQ(answer[1], 0x66);
        // Each request was tried once only, then remembered.
        EXPECT_EQ(nodes_.ioctls.size(), 2u) << rejection;
        hidTarget.close();
    }
}

TEST_F(HidHostLinuxTest, OtherIoctlErrorsFailWithoutFallback) {
    openController(CHIP_FJORDK);
    nodes_.ioctlHandler = [](unsigned long request, uint8_t*) {
        return request == hidrawSetOutputRequest(65) ? -EPIPE : -EIO;
    };
    uint8_t frame[65] = {0x0E};
    EXPECT_EQ(getHidInterface()->write(frame, 65, nullptr), -3);
    EXPECT_TRUE(hasLine(*log_, kError, "HidTarget::write",
                        "Write failed. Error = " + hexText(EPIPE) + ".\n"));
    EXPECT_EQ(getHidInterface()->read(frame, 65, nullptr), -3);
    EXPECT_TRUE(
        hasLine(*log_, kError, "HidTarget::read",
                "Read failed, because HidD_GetInputReport failed: " + hexText(EIO) + ".\n"));
    EXPECT_TRUE(nodes_.writes.empty());
    EXPECT_EQ(nodes_.reads, 0);
    EXPECT_EQ(log_->count(kWarning), 0u);
}

TEST_F(HidHostLinuxTest, FjordK8WritesWholeReports) {
    openController(CHIP_FJORDK8);
    uint8_t frame[10] = {0x00, 0x42};
    ASSERT_EQ(getHidInterface()->write(frame, 10, nullptr), 0);
    ASSERT_EQ(nodes_.writes.size(), 1u);
    Bytes expected(268, 0);
    expected[0] = 0x0E;
    expected[1] = 0x42;
    EXPECT_EQ(nodes_.writes[0], expected);
    EXPECT_TRUE(nodes_.ioctls.empty());

    nodes_.writeResult = 100;  // a short write is a failure
    EXPECT_EQ(getHidInterface()->write(frame, 10, nullptr), -3);
    EXPECT_TRUE(hasLine(*log_, kError, "HidTargetFjordK8::write",
                        "Write file failed. Error = " + hexText(EIO) + ".\n"));
    nodes_.writeResult = -ENODEV;
    EXPECT_EQ(getHidInterface()->write(frame, 10, nullptr), -3);
    EXPECT_TRUE(hasLine(*log_, kError, "HidTargetFjordK8::write",
                        "Write file failed. Error = " + hexText(ENODEV) + ".\n"));
}

TEST_F(HidHostLinuxTest, FjordK8WriteDropsStaleReportsFirst) {
    // A late answer to an earlier request, and a touch report, are queued
    // before the request; only the answer that comes after it is read.
    openController(CHIP_FJORDK8);
    nodes_.addReport(0, 0x0E, 268, 0x11);
    nodes_.addReport(0, 0x01, 9);
    uint8_t frame[10] = {0x00, 0x42};
    ASSERT_EQ(getHidInterface()->write(frame, 10, nullptr), 0);
    EXPECT_TRUE(nodes_.events.empty());
    nodes_.addReport(5, 0x0E, 268, 0x22);
    uint8_t answer[268] = {0};
    ASSERT_EQ(getHidInterface()->read(answer, 268, nullptr), 0);
    EXPECT_EQ(answer[1], 0x22);
}

TEST_F(HidHostLinuxTest, FjordK8ReadSkipsOtherCollectionsReports) {
    openController(CHIP_FJORDK8);
    const int64_t start = nodes_.now;
    nodes_.addReport(0, 0x01, 7);  // touch report of the same node
    nodes_.addReport(3, 0x02, 2);  // another collection's report
    nodes_.addReport(8, 0x0E, 268, 0x77);
    Bytes buffer(268, 0);
    ASSERT_EQ(getHidInterface()->read(buffer.data(), 268, nullptr), 0);
    EXPECT_EQ(buffer[0], 0x0E);
    EXPECT_EQ(buffer[267], 0x77);
    EXPECT_EQ(nodes_.now - start, 8);
    EXPECT_EQ(nodes_.reads, 3);
    // One deadline for the whole read: each poll waits only for what is left.
    ASSERT_EQ(nodes_.pollTimeouts.size(), 3u);
    EXPECT_EQ(nodes_.pollTimeouts[0], kHidReadTimeoutMs);
    EXPECT_EQ(nodes_.pollTimeouts[1], kHidReadTimeoutMs);
    EXPECT_EQ(nodes_.pollTimeouts[2], kHidReadTimeoutMs - 3);
}

TEST_F(HidHostLinuxTest, FjordK8ReadWaitIsBounded) {
    struct Case {
        const char* name;
        int foreignReports;  // one every millisecond from now on
    };
    const Case cases[] = {{"silent device", 0}, {"only touch reports arrive", 5000}};
    for (const Case& c : cases) {
        newProcess();
        hidTarget.handle = kInvalidHidHandle;
        hidTargetFjordK8.handle = kInvalidHidHandle;
        nodes_.events.clear();
        openController(CHIP_FJORDK8);
        for (int i = 0; i < c.foreignReports; ++i)
            nodes_.addReport(i, 0x01, 7);
        const int64_t start = nodes_.now;
        Bytes buffer(268, 0xEE);
        EXPECT_EQ(getHidInterface()->read(buffer.data(), 268, nullptr), -3) << c.name;
        EXPECT_EQ(nodes_.now - start, kHidReadTimeoutMs) << c.name;
        EXPECT_TRUE(hasLine(*log_, kError, "HidTargetFjordK8::read",
                            "Read failed, because ReadFile failed: " + hexText(ETIMEDOUT) + ".\n"))
            << c.name;
        EXPECT_EQ(buffer, Bytes(268, 0xEE)) << c.name;
    }
    EXPECT_EQ(kHidReadTimeoutMs, 2000);  // the value docs/HID.md gives
}

TEST_F(HidHostLinuxTest, FjordK8ReadFailsWhenTheDeviceIsGone) {
    struct Case {
        const char* name;
        short revents;
        int readError;
        int expectedError;
    };
    const Case cases[] = {
        {"hang-up", POLLHUP, 0, ENODEV},
        {"poll error", POLLERR | POLLIN, 0, ENODEV},
        {"read EIO", POLLIN, EIO, EIO},
        {"read ENODEV", POLLIN, ENODEV, ENODEV},
    };
    openController(CHIP_FJORDK8);
    for (const Case& c : cases) {
        log_->clear();
        nodes_.events.clear();
        nodes_.events.push_back({nodes_.now + 1, c.revents, Bytes{0x0E, 1}, c.readError});
        const int64_t start = nodes_.now;
        uint8_t buffer[268];
        EXPECT_EQ(getHidInterface()->read(buffer, 268, nullptr), -3) << c.name;
        EXPECT_TRUE(
            hasLine(*log_, kError, "HidTargetFjordK8::read",
                    "Read failed, because ReadFile failed: " + hexText(c.expectedError) + ".\n"))
            << c.name;
        EXPECT_EQ(nodes_.now - start, 1) << c.name;  // no waiting out the deadline
    }
}

TEST_F(HidHostLinuxTest, HandlesItDidNotOpenNeverReachTheSystem) {
    uint32_t error = 0;
    const HidInterfaceInfo node = hidtest::iface("/dev/hidraw2", 0x2A94, 0x0121, 0xFFF0, 1);
    const HidHandle h = host_->open(node, &error);
    ASSERT_NE(h, kInvalidHidHandle);
    host_->close(h);
    host_->close(h);
    EXPECT_EQ(nodes_.closedFds, std::vector<int>{static_cast<int>(h)});

    uint8_t report[65] = {0x0E};
    size_t received = 0;
    for (HidHandle stale : {h, HidHandle{0}, HidHandle{2}, kInvalidHidHandle}) {
        error = 0;
        EXPECT_FALSE(host_->getInputReport(stale, report, 65, &error));
        EXPECT_EQ(error, static_cast<uint32_t>(EBADF));
        EXPECT_FALSE(host_->setOutputReport(stale, report, 65, &error));
        EXPECT_FALSE(host_->writeReport(stale, report, 65, &error));
        EXPECT_EQ(host_->readReport(stale, 0x0E, report, 65, 100, &received, &error),
                  HidReadResult::failed);
        host_->close(stale);
    }
    EXPECT_TRUE(nodes_.ioctls.empty());
    EXPECT_TRUE(nodes_.writes.empty());
    EXPECT_EQ(nodes_.reads, 0);
    EXPECT_TRUE(nodes_.pollTimeouts.empty());
    EXPECT_EQ(nodes_.closedFds.size(), 1u);
}

// The real binary on this machine: whatever HID devices it has, --scan
// exits 0 and prints only device lines (nothing at all without hidraw nodes).
TEST(HidScanTest, ScanRunModeOnThisMachine) {
    const testsupport::CommandResult r =
        testsupport::runCommand(std::string(TOUCHFW_BINARY) + " --scan 2>/dev/null");
    EXPECT_EQ(r.status, 0);
    std::istringstream lines(r.output);
    std::string text;
    while (std::getline(lines, text)) {
        // Read the values back and print them again: the line must come out the same.
        unsigned vid = 0, pid = 0, page = 0, usage = 0, node = 0;
        ASSERT_EQ(std::sscanf(text.c_str(),
                              "Vid = 0x%4x, Pid = 0x%4x, UsagePage = 0x%4x, Usage = 0x%4x, "
                              "DevicePath = /dev/hidraw%u.",
                              &vid, &pid, &page, &usage, &node),
                  5)
            << text;
        char again[160];
        std::snprintf(again, sizeof again,
                      "Vid = 0x%04X, Pid = 0x%04X, UsagePage = 0x%04X, Usage = 0x%04X, "
                      "DevicePath = /dev/hidraw%u.",
                      vid, pid, page, usage, node);
        EXPECT_EQ(text, again);
    }
    if (!std::filesystem::exists("/dev/hidraw0")) {
        EXPECT_EQ(r.output, "");
    }
}

// Runs the whole program on the fake nodes as a process of its own: with a
// host of its own, whose descriptors are closed when the run ends; standard
// output and standard error apart.
struct ConsoleRun {
    int result;
    std::string out;
    std::string err;
};

ConsoleRun runOnFakeNodes(std::vector<std::string> args, const std::string& root, HidrawNodeOps ops,
                          const std::string& devDir = "/dev") {
    args.insert(args.begin(), "touchfw");
    args.insert(args.end(), {"--logfiledir", root});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    HidHost* const previous = &hidHost();
    ConsoleRun run;
    {
        HidHostLinux host(root, std::move(ops), devDir);
        setHidHost(&host);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        run.result = runMain(static_cast<int>(argv.size()), argv.data());
        run.out = testing::internal::GetCapturedStdout();
        run.err = testing::internal::GetCapturedStderr();
        resetProcessState();
    }
    setHidHost(previous);
    return run;
}

// --path leaves one node as candidate; failures to find or open the device
// are explained on standard error in one line, while standard output
// stays as it was. A node held by another run ends the search at once (the
// next node with the same keys is a different device and is never tried); a
// node this user may not open is passed over.
TEST_F(HidHostLinuxTest, PathKeyAndOpenFailureHints) {
    const std::string inUse = ": device is in use by another process.\n";
    struct Case {
        std::vector<std::string> args;  // before -p pid
        int error2;  // open errors of /dev/hidraw2 and /dev/hidraw10; 0: it opens
        int error10;
        std::vector<std::string> errParts;
    };
    const Case cases[] = {
        {{"--path", "/dev/hidraw10"}, 0, 0, {}},  // the later twin
        {{"--path", "/dev/hidraw1"},
         0,
         0,
         {"no HID interface matches vid 0x2A94, pid 0x0121, usage page 0xFFF0, usage 0x0001, "
          "path /dev/hidraw1;",
          "--scan"}},
        {{"--pid", "0x0999"}, 0, 0, {"pid 0x0999", "--scan"}},
        {{}, EACCES, EACCES, {"permission denied on /dev/hidraw2;", "60-touchfw.rules", "plugdev"}},
        {{}, ENOENT, ENOENT, {}},  // vanished nodes: nothing to explain
        {{}, EWOULDBLOCK, 0, {"touchfw: /dev/hidraw2" + inUse}},
        {{}, EACCES, EWOULDBLOCK, {"touchfw: /dev/hidraw10" + inUse}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + " " + std::to_string(c.error2) + " " +
                     std::to_string(c.error10));
        const bool opens = c.args.size() == 2 && c.args[1] == "/dev/hidraw10";
        nodes_.opened.clear();
        nodes_.openErrors.clear();
        for (const auto& [node, error] : {std::make_pair("/dev/hidraw2", c.error2),
                                          std::make_pair("/dev/hidraw10", c.error10)}) {
            if (error != 0)
                nodes_.openErrors[node] = error;
        }
        std::vector<std::string> args = {"--chip", "fjordK"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"-p", "pid"});
        const ConsoleRun run = runOnFakeNodes(args, root_.path(), nodes_.ops());
        EXPECT_EQ(nodes_.opened,
                  opens ? std::vector<std::string>{"/dev/hidraw10"} : std::vector<std::string>{})
            << run.err;
        if (!opens) {
            EXPECT_EQ(run.out, "\nErrors occurred when getting PID. ret = -2.\n") << run.err;
        }
        for (const std::string& part : c.errParts)
            EXPECT_NE(run.err.find(part), std::string::npos) << run.err;
        // Every run here fails: one line says why (the hint, where there is one).
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    EXPECT_EQ(host_->classifyOpenError(EPERM), HidOpenFailure::denied);
    EXPECT_EQ(host_->classifyOpenError(EAGAIN), HidOpenFailure::inUse);
    EXPECT_EQ(host_->classifyOpenError(ENOENT), HidOpenFailure::other);
}

// A 5410 -f -c run opens its device for the firmware and again for the
// configuration. Another run trying to take the node whenever this one
// closes it, between the two steps too, is refused; once the run has ended
// the node is free. The later node with the same keys is never opened.
TEST_F(HidHostLinuxTest, TheDeviceStaysHeldForTheWholeRun) {
    emu::EmulatedChip chip(CHIP_5410, &clock_);
    chipBehindNodes(chip);
    const HidrawNodeOps otherRun = nodes_.ops();
    std::vector<int> tries;  // once it has the node, the other run keeps it
    nodes_.afterClose = [&](int) { tries.push_back(otherRun.open("/dev/hidraw2")); };
    const ConsoleRun run =
        runOnFakeNodes({"--chip", "5410", "--pid", "0x0121", "--usagepage", "0xFFF0", "-f",
                        matrix::sampleFirmware(CHIP_5410), "-c", matrix::sampleConfig(CHIP_5410)},
                       root_.path(), nodes_.ops());
    nodes_.afterClose = nullptr;
    EXPECT_EQ(run.result, 0) << run.out;
    EXPECT_NE(run.out.find("Update cfg successfully."), std::string::npos);
    EXPECT_EQ(std::count(nodes_.opened.begin(), nodes_.opened.end(), "/dev/hidraw10"), 0);
    // Said once, although the run opened the device twice.
    EXPECT_EQ(run.err,
              "touchfw: 2 devices match; using /dev/hidraw2 (1 other: /dev/hidraw10); choose one "
              "with --path.\n");
    // Every close but the last (the end of the run) left the node held.
    ASSERT_GE(tries.size(), 3u);
    EXPECT_EQ(std::vector<int>(tries.begin(), tries.end() - 1),
              std::vector<int>(tries.size() - 1, -EWOULDBLOCK));
    EXPECT_GE(tries.back(), 0);
}

// Which device a run used is never a secret. Several matching nodes, or a
// matching node passed over, are named in one line each on standard error;
// a --path that is a link (udev's stable names) leads to its node. Standard
// output is that of the run with --path naming the node. An empty --path is
// a command-line error.
TEST_F(HidHostLinuxTest, DeviceChoiceIsNamedOnStandardError) {
    emu::EmulatedChip chip(CHIP_FJORDK, &clock_);
    chipBehindNodes(chip);
    std::filesystem::create_directories(root_.path() + "/dev");
    for (const char* node : {"/dev/hidraw2", "/dev/hidraw10"})
        testsupport::writeFile(root_.path() + node, "");
    const std::string dev = devicePathOf(root_.path() + "/dev");
    std::filesystem::create_symlink(dev + "/hidraw10", root_.path() + "/panel");
    const std::string twice = "touchfw: 2 devices match; using " + dev + "/hidraw";
    struct Case {
        std::vector<std::string> args;
        int error2;  // of the first node's open
        const char* opened;
        std::string err;
    };
    const Case cases[] = {
        {{"--path", dev + "/hidraw2"}, 0, "/hidraw2", ""},
        {{}, 0, "/hidraw2", twice + "2 (1 other: " + dev + "/hidraw10); choose one with --path.\n"},
        {{"--path", root_.path() + "/panel"}, 0, "/hidraw10", ""},
        {{},
         EACCES,
         "/hidraw10",
         "touchfw: skipped " + dev +
             "/hidraw2, a matching device this user may not open (permission denied; see the "
             "udev rule " +
             udevRuleHintPath() + ").\n" + twice + "10 (1 other: " + dev +
             "/hidraw2); choose one with --path.\n"},
    };
    std::string firstOut;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args) + " " + std::to_string(c.error2));
        nodes_.opened.clear();
        nodes_.openErrors.clear();
        if (c.error2 != 0)
            nodes_.openErrors[dev + "/hidraw2"] = c.error2;
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-p", "vid"});
        const ConsoleRun run = runOnFakeNodes(args, root_.path(), nodes_.ops(), dev);
        EXPECT_EQ(run.result, 0) << run.out;
        EXPECT_EQ(nodes_.opened, std::vector<std::string>{dev + c.opened});
        EXPECT_EQ(run.err, c.err);
        if (firstOut.empty())
            firstOut = run.out;
        EXPECT_EQ(run.out, firstOut);
    }
    const ConsoleRun empty =
        runOnFakeNodes({"--path", "", "-p", "vid"}, root_.path(), nodes_.ops(), dev);
    EXPECT_EQ(empty.result, -20);
    EXPECT_EQ(empty.out.rfind("\"\" is not a valid value for option \"--path\".\nUsage: ", 0), 0u);
}

TEST_F(HidHostLinuxTest, ScanNotesNodesThisUserMayNotOpen) {
    const ConsoleRun before = runOnFakeNodes({"--scan"}, root_.path(), nodes_.ops());
    HidrawNodeOps ops = nodes_.ops();
    ops.access = [](const std::string& path) {
        return path == "/dev/hidraw0" || path == "/dev/hidraw10" ? -EACCES : 0;
    };
    const ConsoleRun after = runOnFakeNodes({"--scan"}, root_.path(), ops);
    EXPECT_EQ(after.out, before.out);
    EXPECT_EQ(before.err, "");
    EXPECT_EQ(after.err.rfind("touchfw: this user may not open /dev/hidraw0, /dev/hidraw10 (", 0),
              0u)
        << after.err;
    EXPECT_TRUE(nodes_.opened.empty());
}

// The shipped udev rule is one line on the HID device's name (every HID
// device has one, USB included), names the vendor id the tool matches by
// default, and does not open every hidraw node to everyone.
TEST(HidUdevRuleTest, RuleFollowsTheDefaultVendorId) {
    const std::string rule =
        testsupport::readFile(std::string(TOUCHFW_SOURCE_DIR) + "/contrib/60-touchfw.rules");
    ASSERT_FALSE(rule.empty());
    char hidName[64];
    std::snprintf(hidName, sizeof hidName, "KERNELS==\"*:%04X:*.*\"", kChipVendorId);
    std::istringstream lines(rule);
    std::string line;
    int rules = 0;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        ++rules;
        EXPECT_NE(line.find("KERNEL==\"hidraw*\""), std::string::npos) << line;
        EXPECT_NE(line.find(hidName), std::string::npos) << line;
        EXPECT_NE(line.find("TAG+=\"uaccess\""), std::string::npos) << line;
        EXPECT_EQ(line.find("MODE"), std::string::npos) << line;
    }
    EXPECT_EQ(rules, 1);
}

}  // namespace

#endif  // __linux__
