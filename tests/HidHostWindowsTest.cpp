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
using Calls = std::vector<std::string>;

// One scripted read: an error code or a report, and how long it takes.
struct ReadStep {
    DWORD error;
    Bytes report;
    int64_t takesMs;
};

// Scripted devices (handle 0x100 + index) on a scripted clock; calls are recorded.
struct FakeWindows {
    struct Device {
        std::wstring path = L"\\\\?\\HID#VID_1234&PID_5678#7&1";
        DWORD errors[3] = {0, 0, 0};  // open, attributes, caps
        HidWinCaps caps{0xFF00, 0x0001, 65, 65};
    };
    std::vector<Device> devices{Device{}};
    Calls calls;
    std::vector<std::wstring> locks;
    DWORD lockError = 0, flushError = 0, writeError = 0, shortWrite = 0;
    std::deque<ReadStep> reads;
    std::vector<int> readWaits;  // the time each read was allowed
    Bytes lastReport;
    int64_t now = 1000;
    int openHandles = 0;

    const Device& device(HANDLE h) const {
        return devices.at(static_cast<size_t>(reinterpret_cast<intptr_t>(h) - 0x100));
    }
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
                if (devices[i].path == path && devices[i].errors[0] == 0) {
                    ++openHandles;
                    *out = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x100 + i));
                }
                if (devices[i].path == path)
                    return devices[i].errors[0];
            }
            return ERROR_FILE_NOT_FOUND;
        };
        o.closeHandle = [this](HANDLE) { --openHandles; };
        o.getAttributes = [this](HANDLE h, uint16_t* v, uint16_t* p) -> DWORD {
            *v = 0x1234, *p = 0x5678;
            return device(h).errors[1];
        };
        o.getCaps = [this](HANDLE h, HidWinCaps* caps) -> DWORD {
            *caps = device(h).caps;
            return device(h).errors[2];
        };
        auto record = [this](const char* call, const uint8_t* r, DWORD n) {
            calls.push_back(call);
            lastReport.assign(r, r + n);
        };
        o.getInputReport = [=](HANDLE, uint8_t* r, DWORD n) -> DWORD {
            record("getInput", r, n);
            for (DWORD i = 1; i < n; ++i)
                r[i] = static_cast<uint8_t>(i);
            return 0;
        };
        o.setOutputReport = [=](HANDLE, uint8_t* r, DWORD n) -> DWORD {
            record("setOutput", r, n);
            return 0;
        };
        o.flushQueue = [this](HANDLE) -> DWORD {
            calls.push_back("flush");
            return flushError;
        };
        o.writeFile = [=](HANDLE, const uint8_t* r, DWORD n, int, DWORD* written) -> DWORD {
            record("write", r, n);
            *written = n - shortWrite;
            return writeError;
        };
        o.readFile = [this](HANDLE, uint8_t* data, DWORD n, int timeoutMs, DWORD* got) -> DWORD {
            readWaits.push_back(timeoutMs);
            const ReadStep step = reads.empty() ? ReadStep{0, {}, INT32_MAX} : reads.front();
            if (!reads.empty())
                reads.pop_front();
            if (step.takesMs > timeoutMs) {  // silent, or too late for this wait
                now += timeoutMs;
                return WAIT_TIMEOUT;
            }
            now += step.takesMs;
            *got = static_cast<DWORD>(std::min<size_t>(step.report.size(), n));
            std::copy(step.report.begin(), step.report.begin() + *got, data);
            return step.error;
        };
        o.acquireLock = [this](const std::wstring& name, HANDLE* lock) -> DWORD {
            if (lockError == 0)
                locks.push_back(name);
            *lock = reinterpret_cast<HANDLE>(static_cast<intptr_t>(locks.size()));
            return lockError;
        };
        o.releaseLock = [this](HANDLE) { locks.pop_back(); };
        o.nowMs = [this] { return now; };
        return o;
    }
};

TEST(HidHostWindowsTest, EnumerationTurnsCapsIntoKeysAndSkipsFailedQueries) {
    FakeWindows win;
    const DWORD errors[3] = {ERROR_ACCESS_DENIED, ERROR_INVALID_FUNCTION, ERROR_INVALID_DATA};
    for (int step = 0; step < 3; ++step) {
        win.devices.emplace_back();
        win.devices.back().path += std::to_wstring(step);
        win.devices.back().errors[step] = errors[step];
    }
    HidHostWindows host(win.ops());
    const std::vector<HidInterfaceInfo> found = host.enumerate();
    ASSERT_EQ(found.size(), 4u);
    const HidInterfaceInfo& ok = found[0];
    EXPECT_EQ(ok.path, "\\\\?\\HID#VID_1234&PID_5678#7&1");
    EXPECT_EQ(ok.queryError, HidQueryError::none);
    EXPECT_EQ(std::vector<int>({ok.vendorId, ok.productId, ok.usagePage, ok.usage,
                                ok.inputReportLength, ok.outputReportLength}),
              std::vector<int>({0x1234, 0x5678, 0xFF00, 0x0001, 65, 65}));
    const HidQueryError kinds[3] = {HidQueryError::openFailed, HidQueryError::attributesFailed,
                                    HidQueryError::capsFailed};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(found[i + 1].queryError, kinds[i]) << i;
        EXPECT_EQ(found[i + 1].osError, errors[i]) << i;
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
    EXPECT_LT(deviceLockName(longPath).size(), static_cast<size_t>(MAX_PATH));
    EXPECT_NE(deviceLockName(longPath), deviceLockName(longPath + "b"));
}

// A run holds its device from its first open until the host ends (with the
// process): closing between two operations keeps the lock.
TEST(HidHostWindowsTest, OpenHoldsTheDeviceLockUntilTheHostEnds) {
    FakeWindows win;
    const std::vector<std::wstring> held{deviceLockName(narrowText(win.devices[0].path))};
    {
        HidHostWindows run(win.ops());
        const HidInterfaceInfo iface = run.enumerate().at(0);
        uint32_t osError = 0;
        const HidHandle h = run.open(iface, &osError);
        ASSERT_NE(h, kInvalidHidHandle);
        EXPECT_EQ(win.calls.back(), "open overlapped");
        EXPECT_EQ(win.locks, held);
        // The same device again while it is open (from this run) is in use.
        EXPECT_EQ(run.open(iface, &osError), kInvalidHidHandle);
        EXPECT_EQ(osError, kHidDeviceInUseError);
        run.close(h);
        EXPECT_EQ(win.locks, held);
        EXPECT_EQ(win.openHandles, 0);
        // The run's next operation opens it again under the same lock.
        const HidHandle again = run.open(iface, &osError);
        ASSERT_NE(again, kInvalidHidHandle);
        EXPECT_EQ(win.locks, held);
        run.close(again);
    }
    EXPECT_TRUE(win.locks.empty());
    EXPECT_EQ(win.openHandles, 0);

    HidHostWindows host(win.ops());
    const HidInterfaceInfo iface = host.enumerate().at(0);
    uint32_t osError = 0;
    // Held by another run: the device is not even opened.
    win.lockError = kHidDeviceInUseError;
    win.calls.clear();
    EXPECT_EQ(host.open(iface, &osError), kInvalidHidHandle);
    EXPECT_EQ(osError, kHidDeviceInUseError);
    EXPECT_TRUE(win.calls.empty());
    // The device refuses the open: the lock is given back.
    win.lockError = 0;
    win.devices[0].errors[0] = ERROR_ACCESS_DENIED;
    EXPECT_EQ(host.open(iface, &osError), kInvalidHidHandle);
    EXPECT_EQ(osError, static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(win.locks.empty());

    EXPECT_EQ(host.classifyOpenError(kHidDeviceInUseError), HidOpenFailure::inUse);
    EXPECT_EQ(host.classifyOpenError(ERROR_SHARING_VIOLATION), HidOpenFailure::inUse);
    EXPECT_EQ(host.classifyOpenError(ERROR_ACCESS_DENIED), HidOpenFailure::denied);
    EXPECT_EQ(host.classifyOpenError(ERROR_FILE_NOT_FOUND), HidOpenFailure::other);
}

TEST(HidHostWindowsTest, ReportBuffersAndTheFlushBeforeAWrite) {
    FakeWindows win;
    win.devices[0].caps.inputReportLength = 100;
    win.devices[0].caps.outputReportLength = 300;
    HidHostWindows host(win.ops());
    uint32_t osError = 0;
    const HidHandle h = host.open(host.enumerate().at(0), &osError);
    ASSERT_NE(h, kInvalidHidHandle);

    // Input: the report id asks for the report; only `length` bytes come back.
    uint8_t in[66] = {0x0E};
    in[65] = 0xAA;
    ASSERT_TRUE(host.getInputReport(h, in, 65, &osError));
    EXPECT_EQ(win.lastReport.size(), 100u);
    EXPECT_EQ(win.lastReport[0], 0x0E);
    EXPECT_EQ(in[64], 64);
    EXPECT_EQ(in[65], 0xAA);

    // Output, either path: zero padded to the collection's output length;
    // the plain path first discards the queued input reports.
    const uint8_t out[3] = {0x0E, 0x20, 0x30};
    Bytes padded(300, 0);
    std::copy(out, out + 3, padded.begin());
    win.calls.clear();
    ASSERT_TRUE(host.setOutputReport(h, out, 3, &osError));
    ASSERT_TRUE(host.writeReport(h, out, 3, &osError));
    EXPECT_EQ(win.calls, (Calls{"setOutput", "flush", "write"}));
    EXPECT_EQ(win.lastReport, padded);
    EXPECT_EQ(driverReportBuffer(out, 3, 2).size(), 3u);  // longer ones go out whole

    // Failures: the flush (then nothing is sent), the write, a short write.
    const DWORD failures[][4] = {{ERROR_INVALID_FUNCTION, 0, 0, ERROR_INVALID_FUNCTION},
                                 {0, WAIT_TIMEOUT, 0, WAIT_TIMEOUT},
                                 {0, 0, 298, ERROR_WRITE_FAULT}};
    for (const auto& f : failures) {
        win.flushError = f[0], win.writeError = f[1], win.shortWrite = f[2];
        win.calls.clear();
        EXPECT_FALSE(host.writeReport(h, out, 3, &osError));
        EXPECT_EQ(osError, f[3]);
        EXPECT_EQ(win.calls.size(), f[0] != 0 ? 1u : 2u);
    }
    // A handle this host did not open never reaches the driver.
    win.calls.clear();
    EXPECT_FALSE(host.setOutputReport(h + 1, out, 3, &osError));
    EXPECT_EQ(osError, static_cast<uint32_t>(ERROR_INVALID_HANDLE));
    EXPECT_TRUE(win.calls.empty());
}

TEST(HidHostWindowsTest, ReadSkipsOtherReportsWithinOneBoundedWait) {
    const Bytes touch = {0x01, 0x11, 0x22};
    Bytes answer(268, 0x5A);
    answer[0] = 0x0E;
    const HidReadResult ok = HidReadResult::ok, timeout = HidReadResult::timeout;
    const struct Case {
        const char* name;
        std::vector<ReadStep> steps;
        HidReadResult result;
        DWORD osError;
        size_t reads;
    } cases[] = {
        {"touch, then the answer", {{0, touch, 5}, {0, touch, 5}, {0, answer, 5}}, ok, 0, 3},
        {"an empty read is skipped", {{0, {}, 1}, {0, answer, 1}}, ok, 0, 2},
        {"silent device", {}, timeout, WAIT_TIMEOUT, 1},
        // Touch reports keep coming: the one deadline ends the wait all the same.
        {"touch flood", {{0, touch, 700}, {0, touch, 700}, {0, answer, 700}}, timeout, 0x102, 3},
        {"device gone",
         {{0, touch, 5}, {ERROR_DEVICE_NOT_CONNECTED, {}, 0}},
         HidReadResult::failed,
         ERROR_DEVICE_NOT_CONNECTED,
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeWindows win;
        win.devices[0].caps.inputReportLength = 268;
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
        EXPECT_EQ(received, c.result == ok ? 268u : 0u);
        EXPECT_EQ(Bytes(report, report + 268), c.result == ok ? answer : Bytes(268, 0));
    }
}

// The real named mutex: held by one thread, another cannot take it until the
// holder lets go.
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
}

}  // namespace

#endif  // _WIN32
