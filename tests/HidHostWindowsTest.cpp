#if defined(_WIN32)

#include <gtest/gtest.h>

#include <deque>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "hid/HidHostWindows.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One scripted answer of readFile: an error code, or the bytes of a report,
// and the milliseconds the read takes.
struct ReadStep {
    DWORD error;
    Bytes report;
    int64_t takesMs;
};

// Scripted devices: every call is recorded, handles are small numbers.
struct FakeWindows {
    struct Device {
        std::wstring path;
        DWORD openError = 0;
        DWORD attributesError = 0;
        DWORD capsError = 0;
        uint16_t vendorId = 0, productId = 0;
        HidWinCaps caps;
    };
    std::vector<Device> devices;
    std::vector<std::string> calls;
    std::vector<std::wstring> heldLocks;
    DWORD lockError = 0;
    DWORD flushError = 0;
    DWORD writeError = 0;
    int shortWrite = 0;  // bytes the write falls short by
    std::deque<ReadStep> reads;
    std::vector<int> readWaits;  // the timeout handed to each read
    Bytes lastReport;            // the buffer of the last report call or write
    int64_t now = 1000;
    int openHandles = 0;

    HidWinOps ops() {
        HidWinOps o;
        o.listPaths = [this] {
            std::vector<std::wstring> paths;
            for (const Device& d : devices)
                paths.push_back(d.path);
            return paths;
        };
        o.openPath = [this](const std::wstring& path, bool overlapped, HANDLE* out) -> DWORD {
            calls.push_back(overlapped ? "open overlapped" : "open");
            for (size_t i = 0; i < devices.size(); ++i) {
                if (devices[i].path != path)
                    continue;
                if (devices[i].openError != 0)
                    return devices[i].openError;
                ++openHandles;
                *out = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x100 + i));
                return 0;
            }
            return ERROR_FILE_NOT_FOUND;
        };
        o.closeHandle = [this](HANDLE) {
            calls.push_back("close");
            --openHandles;
        };
        o.getAttributes = [this](HANDLE h, uint16_t* v, uint16_t* p) -> DWORD {
            const Device& d = device(h);
            *v = d.vendorId;
            *p = d.productId;
            return d.attributesError;
        };
        o.getCaps = [this](HANDLE h, HidWinCaps* caps) -> DWORD {
            *caps = device(h).caps;
            return device(h).capsError;
        };
        o.getInputReport = [this](HANDLE, uint8_t* r, DWORD n) -> DWORD {
            calls.push_back("getInput");
            lastReport.assign(r, r + n);
            for (DWORD i = 1; i < n; ++i)
                r[i] = static_cast<uint8_t>(i);
            return 0;
        };
        o.setOutputReport = [this](HANDLE, uint8_t* r, DWORD n) -> DWORD {
            calls.push_back("setOutput");
            lastReport.assign(r, r + n);
            return 0;
        };
        o.flushQueue = [this](HANDLE) -> DWORD {
            calls.push_back("flush");
            return flushError;
        };
        o.writeFile = [this](HANDLE, const uint8_t* data, DWORD n, int, DWORD* written) -> DWORD {
            calls.push_back("write");
            lastReport.assign(data, data + n);
            *written = n - static_cast<DWORD>(shortWrite);
            return writeError;
        };
        o.readFile = [this](HANDLE, uint8_t* data, DWORD n, int timeoutMs, DWORD* got) -> DWORD {
            readWaits.push_back(timeoutMs);
            if (reads.empty()) {  // a silent device
                now += timeoutMs;
                return WAIT_TIMEOUT;
            }
            const ReadStep step = reads.front();
            reads.pop_front();
            if (step.takesMs > timeoutMs) {  // comes too late for this wait
                now += timeoutMs;
                return WAIT_TIMEOUT;
            }
            now += step.takesMs;
            *got = static_cast<DWORD>(std::min<size_t>(step.report.size(), n));
            std::copy(step.report.begin(), step.report.begin() + *got, data);
            return step.error;
        };
        o.acquireLock = [this](const std::wstring& name, HANDLE* lock) -> DWORD {
            if (lockError != 0)
                return lockError;
            heldLocks.push_back(name);
            *lock = reinterpret_cast<HANDLE>(static_cast<intptr_t>(heldLocks.size()));
            return 0;
        };
        o.releaseLock = [this](HANDLE lock) {
            heldLocks.erase(heldLocks.begin() + (reinterpret_cast<intptr_t>(lock) - 1));
        };
        o.nowMs = [this] { return now; };
        return o;
    }

    const Device& device(HANDLE h) const {
        return devices.at(static_cast<size_t>(reinterpret_cast<intptr_t>(h) - 0x100));
    }
};

FakeWindows::Device vendorDevice(const wchar_t* path = L"\\\\?\\HID#VID_1234&PID_5678#7&1") {
    FakeWindows::Device d;
    d.path = path;
    d.vendorId = 0x1234;
    d.productId = 0x5678;
    d.caps = HidWinCaps{0xFF00, 0x0001, 65, 65};
    return d;
}

TEST(HidHostWindowsTest, EnumerationTurnsCapsIntoKeysAndSkipsFailedQueries) {
    FakeWindows win;
    win.devices.push_back(vendorDevice());
    FakeWindows::Device denied = vendorDevice(L"\\\\?\\hid#denied");
    denied.openError = ERROR_ACCESS_DENIED;
    FakeWindows::Device noAttributes = vendorDevice(L"\\\\?\\hid#noattr");
    noAttributes.attributesError = ERROR_INVALID_FUNCTION;
    FakeWindows::Device noCaps = vendorDevice(L"\\\\?\\hid#nocaps");
    noCaps.capsError = ERROR_INVALID_DATA;
    win.devices.insert(win.devices.end(), {denied, noAttributes, noCaps});
    HidHostWindows host(win.ops());

    const std::vector<HidInterfaceInfo> found = host.enumerate();
    ASSERT_EQ(found.size(), 4u);
    EXPECT_EQ(found[0].path, "\\\\?\\HID#VID_1234&PID_5678#7&1");
    EXPECT_EQ(found[0].queryError, HidQueryError::none);
    EXPECT_EQ(found[0].vendorId, 0x1234);
    EXPECT_EQ(found[0].productId, 0x5678);
    EXPECT_EQ(found[0].usagePage, 0xFF00);
    EXPECT_EQ(found[0].usage, 0x0001);
    EXPECT_EQ(found[0].inputReportLength, 65);
    EXPECT_EQ(found[0].outputReportLength, 65);
    const struct {
        HidQueryError error;
        uint32_t osError;
    } failures[] = {{HidQueryError::openFailed, ERROR_ACCESS_DENIED},
                    {HidQueryError::attributesFailed, ERROR_INVALID_FUNCTION},
                    {HidQueryError::capsFailed, ERROR_INVALID_DATA}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(found[i + 1].queryError, failures[i].error) << i;
        EXPECT_EQ(found[i + 1].osError, failures[i].osError) << i;
    }
    // Queries use plain handles, and every one opened is closed again.
    EXPECT_EQ(win.openHandles, 0);
    EXPECT_EQ(std::count(win.calls.begin(), win.calls.end(), "open overlapped"), 0);
    // A path that is not ASCII survives the way through UTF-8.
    EXPECT_EQ(wideText(narrowText(L"\\\\?\\hid#\u00e9\u4e2d")), L"\\\\?\\hid#\u00e9\u4e2d");
}

TEST(HidHostWindowsTest, LockNameFoldsCaseAndStaysAValidObjectName) {
    const std::wstring name = deviceLockName("\\\\?\\HID#VID_1234&PID_5678#7&1");
    EXPECT_EQ(name, deviceLockName("\\\\?\\hid#vid_1234&pid_5678#7&1"));
    EXPECT_NE(name, deviceLockName("\\\\?\\hid#vid_1234&pid_5678#7&2"));
    EXPECT_EQ(name.rfind(L"Global\\", 0), 0u);
    EXPECT_EQ(name.find(L'\\', 7), std::wstring::npos);
    const std::string longPath = "\\\\?\\hid#" + std::string(400, 'a');
    const std::wstring hashed = deviceLockName(longPath);
    EXPECT_LT(hashed.size(), static_cast<size_t>(MAX_PATH));
    EXPECT_NE(hashed, deviceLockName(longPath + "b"));
}

TEST(HidHostWindowsTest, OpenHoldsTheDeviceLockUntilClose) {
    FakeWindows win;
    win.devices.push_back(vendorDevice());
    HidHostWindows host(win.ops());
    const HidInterfaceInfo iface = host.enumerate().at(0);

    uint32_t osError = 0;
    const HidHandle h = host.open(iface, &osError);
    ASSERT_NE(h, kInvalidHidHandle);
    EXPECT_EQ(win.calls.back(), "open overlapped");
    ASSERT_EQ(win.heldLocks.size(), 1u);
    // The same device again (another collection run, or a second target) is in use.
    EXPECT_EQ(host.open(iface, &osError), kInvalidHidHandle);
    EXPECT_EQ(osError, kHidDeviceInUseError);
    host.close(h);
    EXPECT_TRUE(win.heldLocks.empty());
    EXPECT_EQ(win.openHandles, 0);

    // Held by another run: the device is not even opened.
    win.lockError = kHidDeviceInUseError;
    win.calls.clear();
    EXPECT_EQ(host.open(iface, &osError), kInvalidHidHandle);
    EXPECT_EQ(osError, kHidDeviceInUseError);
    EXPECT_TRUE(win.calls.empty());
    // The device refuses the open: the lock is given back.
    win.lockError = 0;
    win.devices[0].openError = ERROR_ACCESS_DENIED;
    EXPECT_EQ(host.open(iface, &osError), kInvalidHidHandle);
    EXPECT_EQ(osError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(win.heldLocks.empty());

    const struct {
        uint32_t error;
        HidOpenFailure kind;
    } classes[] = {{kHidDeviceInUseError, HidOpenFailure::inUse},
                   {ERROR_SHARING_VIOLATION, HidOpenFailure::inUse},
                   {ERROR_ACCESS_DENIED, HidOpenFailure::denied},
                   {ERROR_FILE_NOT_FOUND, HidOpenFailure::other}};
    for (const auto& c : classes)
        EXPECT_EQ(host.classifyOpenError(c.error), c.kind) << c.error;
}

TEST(HidHostWindowsTest, ReportBuffersHaveTheCollectionsLength) {
    FakeWindows win;
    FakeWindows::Device d = vendorDevice();
    d.caps.inputReportLength = 100;
    d.caps.outputReportLength = 300;
    win.devices.push_back(d);
    HidHostWindows host(win.ops());
    uint32_t osError = 0;
    const HidHandle h = host.open(host.enumerate().at(0), &osError);
    ASSERT_NE(h, kInvalidHidHandle);

    // Input: the report id asks for the report, only `length` bytes come back.
    uint8_t in[66] = {0x0E};
    in[65] = 0xAA;
    ASSERT_TRUE(host.getInputReport(h, in, 65, &osError));
    EXPECT_EQ(win.lastReport.size(), 100u);
    EXPECT_EQ(win.lastReport[0], 0x0E);
    EXPECT_EQ(in[64], 64);
    EXPECT_EQ(in[65], 0xAA);

    // Output, either path: zero padded to the collection's output length.
    const uint8_t out[3] = {0x0E, 0x20, 0x30};
    ASSERT_TRUE(host.setOutputReport(h, out, sizeof out, &osError));
    Bytes padded(300, 0);
    std::copy(out, out + sizeof out, padded.begin());
    EXPECT_EQ(win.lastReport, padded);
    // A report longer than the collection's goes out whole.
    EXPECT_EQ(driverReportBuffer(out, 3, 2).size(), 3u);

    // A handle this host did not open never reaches the driver.
    win.calls.clear();
    EXPECT_FALSE(host.setOutputReport(h + 1, out, sizeof out, &osError));
    EXPECT_EQ(osError, static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(win.calls.empty());
    host.close(h);
}

TEST(HidHostWindowsTest, WriteDiscardsQueuedReportsFirstAndFailsOnShortOrRefusedWrites) {
    FakeWindows win;
    win.devices.push_back(vendorDevice());
    HidHostWindows host(win.ops());
    uint32_t osError = 0;
    const HidHandle h = host.open(host.enumerate().at(0), &osError);
    const Bytes report(65, 0x0E);

    win.calls.clear();
    ASSERT_TRUE(host.writeReport(h, report.data(), report.size(), &osError));
    EXPECT_EQ(win.calls, (std::vector<std::string>{"flush", "write"}));

    const struct {
        DWORD flushError, writeError;
        int shortBy;
        uint32_t expected;
    } failures[] = {{ERROR_INVALID_FUNCTION, 0, 0, ERROR_INVALID_FUNCTION},
                    {0, WAIT_TIMEOUT, 0, WAIT_TIMEOUT},
                    {0, ERROR_DEVICE_NOT_CONNECTED, 0, ERROR_DEVICE_NOT_CONNECTED},
                    {0, 0, 1, ERROR_WRITE_FAULT}};
    for (const auto& f : failures) {
        win.flushError = f.flushError;
        win.writeError = f.writeError;
        win.shortWrite = f.shortBy;
        win.calls.clear();
        EXPECT_FALSE(host.writeReport(h, report.data(), report.size(), &osError));
        EXPECT_EQ(osError, f.expected);
        // Nothing is sent when the queue could not be emptied.
        EXPECT_EQ(win.calls.size(), f.flushError != 0 ? 1u : 2u);
    }
    host.close(h);
}

TEST(HidHostWindowsTest, ReadSkipsOtherReportsWithinOneBoundedWait) {
    const Bytes touch = {0x01, 0x11, 0x22};
    Bytes answer(268, 0x5A);
    answer[0] = 0x0E;
    const struct Case {
        const char* name;
        std::vector<ReadStep> steps;
        HidReadResult result;
        uint32_t osError;
        size_t reads;
    } cases[] = {
        {"answer after touch reports",
         {{0, touch, 5}, {0, touch, 5}, {0, answer, 5}},
         HidReadResult::ok,
         0,
         3},
        {"an empty read is skipped", {{0, {}, 1}, {0, answer, 1}}, HidReadResult::ok, 0, 2},
        {"silent device", {}, HidReadResult::timeout, WAIT_TIMEOUT, 1},
        // Touch reports keep coming: the deadline ends the wait all the same.
        {"flood of touch reports",
         {{0, touch, 700}, {0, touch, 700}, {0, answer, 700}},
         HidReadResult::timeout,
         WAIT_TIMEOUT,
         3},
        {"device gone",
         {{0, touch, 5}, {ERROR_DEVICE_NOT_CONNECTED, {}, 0}},
         HidReadResult::failed,
         ERROR_DEVICE_NOT_CONNECTED,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeWindows win;
        FakeWindows::Device d = vendorDevice();
        d.caps.inputReportLength = 268;
        win.devices.push_back(d);
        win.reads.assign(c.steps.begin(), c.steps.end());
        HidHostWindows host(win.ops());
        uint32_t osError = 0;
        const HidHandle h = host.open(host.enumerate().at(0), &osError);
        uint8_t report[268] = {0};
        size_t received = 99;
        osError = 0;
        EXPECT_EQ(host.readReport(h, 0x0E, report, sizeof report, 2000, &received, &osError),
                  c.result);
        EXPECT_EQ(osError, c.osError);
        EXPECT_EQ(win.readWaits.size(), c.reads);
        // Each read waits only for what is left of the one deadline.
        for (size_t i = 1; i < win.readWaits.size(); ++i)
            EXPECT_LT(win.readWaits[i], win.readWaits[i - 1]);
        EXPECT_LE(win.now - 1000, 2000);
        if (c.result == HidReadResult::ok) {
            EXPECT_EQ(received, 268u);
            EXPECT_EQ(Bytes(report, report + 268), answer);
        } else {
            EXPECT_EQ(received, 0u);
        }
        host.close(h);
    }
}

// The real named mutex: held by one thread, another cannot take it until
// the holder lets go (and a holder that ends without letting go frees it).
TEST(HidHostWindowsTest, SystemLockIsExclusiveBetweenHolders) {
    const HidWinOps ops = systemHidWinOps();
    const std::wstring name =
        deviceLockName("\\\\?\\hid#touchfw-lock-test#" + std::to_string(::GetCurrentProcessId()));
    std::promise<DWORD> taken;
    std::promise<void> letGo;
    std::thread holder([&] {
        HANDLE lock = nullptr;
        taken.set_value(ops.acquireLock(name, &lock));
        letGo.get_future().wait();
        ops.releaseLock(lock);
    });
    ASSERT_EQ(taken.get_future().get(), 0u);
    HANDLE lock = nullptr;
    EXPECT_EQ(ops.acquireLock(name, &lock), kHidDeviceInUseError);
    letGo.set_value();
    holder.join();
    ASSERT_EQ(ops.acquireLock(name, &lock), 0u);
    ops.releaseLock(lock);

    std::thread quitter([&] {
        HANDLE abandoned = nullptr;
        ops.acquireLock(name, &abandoned);  // never released: abandoned when the thread ends
    });
    quitter.join();
    EXPECT_EQ(ops.acquireLock(name, &lock), 0u);
    ops.releaseLock(lock);
}

}  // namespace

#endif  // _WIN32
