// The Windows HID host. SetupAPI lists the present HID device interfaces (one
// per top-level collection); each is queried through a handle from CreateFileW
// (shared read/write) with HidD_GetAttributes and HidD_GetPreparsedData /
// HidP_GetCaps. Reports move with HidD_GetInputReport / HidD_SetOutputReport
// (standard path) or overlapped WriteFile / ReadFile whose waits are bounded
// (plain path). A run holds its device exclusively through a named mutex
// derived from the device path, from its first open until the host is
// destroyed (for the process-wide host: until the process ends), so no other
// run takes the device between two operations of this one. The system calls
// are injectable so the backend's logic can be exercised on scripted devices.
#pragma once

#if defined(_WIN32)

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "hid/HidHost.h"

// What the HID class driver tells of one top-level collection.
using HidWinCaps = HidCollectionInfo;

// System operations. Each returns 0 on success or the system error code.
struct HidWinOps {
    // Device paths of the present HID interfaces, in SetupAPI order.
    std::function<std::vector<std::wstring>()> listPaths;
    // CreateFileW, read/write access shared with others; overlapped for transfers.
    std::function<DWORD(const std::wstring& path, bool overlapped, HANDLE* device)> openPath;
    std::function<void(HANDLE device)> closeHandle;
    std::function<DWORD(HANDLE device, uint16_t* vendorId, uint16_t* productId)> getAttributes;
    std::function<DWORD(HANDLE device, HidWinCaps* caps)> getCaps;
    std::function<DWORD(HANDLE device, uint8_t* report, DWORD length)> getInputReport;
    std::function<DWORD(HANDLE device, uint8_t* report, DWORD length)> setOutputReport;
    // Discards the input reports queued on the handle, without waiting.
    std::function<DWORD(HANDLE device)> flushQueue;
    // Overlapped WriteFile / ReadFile waiting at most timeoutMs; WAIT_TIMEOUT
    // when the wait ran out (the transfer is then cancelled).
    std::function<DWORD(HANDLE device, const uint8_t* data, DWORD length, int timeoutMs,
                        DWORD* written)>
        writeFile;
    std::function<DWORD(HANDLE device, uint8_t* data, DWORD length, int timeoutMs, DWORD* read)>
        readFile;
    // Takes the named lock without waiting: ERROR_BUSY when another holds it.
    std::function<DWORD(const std::wstring& name, HANDLE* lock)> acquireLock;
    std::function<void(HANDLE lock)> releaseLock;
    std::function<int64_t()> nowMs;  // a monotonic clock in milliseconds
};

// The real system calls.
HidWinOps systemHidWinOps();

// The open failure when another run (or another open in this one) holds the device.
constexpr DWORD kHidDeviceInUseError = ERROR_BUSY;
// The longest a plain-path write waits for the driver to take the report.
constexpr int kHidWriteTimeoutMs = kHidReadTimeoutMs;
// Enumeration stops after this many interfaces (a host has a few dozen).
constexpr DWORD kMaxHidInterfaces = 4096;

// Device paths are wide text on Windows; the host interface carries UTF-8.
std::string narrowText(const std::wstring& text);
std::wstring wideText(const std::string& text);

// The name of the mutex that guards the device at `path`: equal for paths that
// differ only in letter case, never holding a backslash after its namespace,
// and short enough for the object manager.
std::wstring deviceLockName(const std::string& path);

// One report as the driver takes it: the caller's `length` bytes zero padded
// up to the collection's report length (the driver wants the full length).
std::vector<uint8_t> driverReportBuffer(const uint8_t* report, size_t length,
                                        uint16_t collectionLength);

class HidHostWindows : public HidHost {
  public:
    explicit HidHostWindows(HidWinOps ops = systemHidWinOps());
    ~HidHostWindows() override;

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

  private:
    struct OpenDevice {
        HANDLE device;
        std::wstring lockName;
        uint16_t inputReportLength;
        uint16_t outputReportLength;
    };
    // The device when this host opened the handle and has not closed it: a
    // handle of another host (or a stale one) never reaches a system call.
    OpenDevice* ownDevice(HidHandle handle);
    HidInterfaceInfo query(const std::wstring& path);

    HidWinOps ops_;
    std::map<HidHandle, OpenDevice> open_;
    std::map<std::wstring, HANDLE> held_;  // lock name -> lock kept past close
};

#endif  // _WIN32
