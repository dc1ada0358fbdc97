#include "hid/HidHostWindows.h"

#if defined(_WIN32)

#include <setupapi.h>

extern "C" {
#include <hidsdi.h>
}

#include <algorithm>
#include <cstring>
#include <cwctype>
#include <utility>

namespace {

// Object names are limited to MAX_PATH characters; longer paths are hashed.
constexpr size_t kMaxLockNameLength = MAX_PATH - 1;
constexpr const wchar_t* kLockNamePrefix = L"Global\\touchfw-hid-";

DWORD lastErrorOr(DWORD fallback) {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : fallback;
}

// One overlapped transfer on a device opened with FILE_FLAG_OVERLAPPED,
// waiting at most timeoutMs. A transfer still pending then is cancelled; the
// wait for the cancellation to land keeps the buffer owned by this call.
DWORD overlappedTransfer(HANDLE device, bool isRead, uint8_t* data, DWORD length, int timeoutMs,
                         DWORD* transferred) {
    *transferred = 0;
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr)
        return lastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
    const BOOL started = isRead ? ::ReadFile(device, data, length, nullptr, &ov)
                                : ::WriteFile(device, data, length, nullptr, &ov);
    DWORD error = 0;
    bool timedOut = false;
    if (!started) {
        error = ::GetLastError();
        if (error != ERROR_IO_PENDING) {
            ::CloseHandle(ov.hEvent);
            return error != 0 ? error : ERROR_GEN_FAILURE;
        }
        const DWORD wait =
            ::WaitForSingleObject(ov.hEvent, static_cast<DWORD>(std::max(timeoutMs, 0)));
        if (wait != WAIT_OBJECT_0) {
            timedOut = wait == WAIT_TIMEOUT;
            ::CancelIoEx(device, &ov);
        }
    }
    DWORD n = 0;
    error = ::GetOverlappedResult(device, &ov, &n, TRUE) ? 0 : lastErrorOr(ERROR_GEN_FAILURE);
    ::CloseHandle(ov.hEvent);
    // A transfer that completed while being cancelled still counts.
    if (error == ERROR_OPERATION_ABORTED && timedOut)
        return WAIT_TIMEOUT;
    if (error == 0)
        *transferred = n;
    return error;
}

std::vector<std::wstring> listHidInterfacePaths() {
    std::vector<std::wstring> paths;
    GUID hidGuid;
    ::HidD_GetHidGuid(&hidGuid);
    HDEVINFO set =
        ::SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return paths;
    std::vector<uint8_t> detailBuffer;
    for (DWORD index = 0; index < kMaxHidInterfaces; ++index) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!::SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &data))
            break;
        DWORD required = 0;
        ::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        // Zero filled, so the path is terminated even if the driver's is not.
        detailBuffer.assign(required + sizeof(wchar_t), 0);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detailBuffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr))
            continue;
        paths.emplace_back(detail->DevicePath);
    }
    ::SetupDiDestroyDeviceInfoList(set);
    return paths;
}

}  // namespace

HidWinOps systemHidWinOps() {
    HidWinOps ops;
    ops.listPaths = listHidInterfacePaths;
    ops.openPath = [](const std::wstring& path, bool overlapped, HANDLE* device) -> DWORD {
        const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
        if (h == INVALID_HANDLE_VALUE || h == nullptr)
            return lastErrorOr(ERROR_GEN_FAILURE);
        *device = h;
        return 0;
    };
    ops.closeHandle = [](HANDLE device) { ::CloseHandle(device); };
    ops.getAttributes = [](HANDLE device, uint16_t* vendorId, uint16_t* productId) -> DWORD {
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        if (!::HidD_GetAttributes(device, &attributes))
            return lastErrorOr(ERROR_GEN_FAILURE);
        *vendorId = attributes.VendorID;
        *productId = attributes.ProductID;
        return 0;
    };
    ops.getCaps = [](HANDLE device, HidWinCaps* caps) -> DWORD {
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (!::HidD_GetPreparsedData(device, &preparsed))
            return lastErrorOr(ERROR_GEN_FAILURE);
        HIDP_CAPS hidCaps{};
        const NTSTATUS status = ::HidP_GetCaps(preparsed, &hidCaps);
        ::HidD_FreePreparsedData(preparsed);
        if (status != HIDP_STATUS_SUCCESS)
            return ERROR_INVALID_DATA;
        caps->usagePage = hidCaps.UsagePage;
        caps->usage = hidCaps.Usage;
        caps->inputReportLength = hidCaps.InputReportByteLength;
        caps->outputReportLength = hidCaps.OutputReportByteLength;
        return 0;
    };
    ops.getInputReport = [](HANDLE device, uint8_t* report, DWORD length) -> DWORD {
        return ::HidD_GetInputReport(device, report, length) ? 0 : lastErrorOr(ERROR_GEN_FAILURE);
    };
    ops.setOutputReport = [](HANDLE device, uint8_t* report, DWORD length) -> DWORD {
        return ::HidD_SetOutputReport(device, report, length) ? 0 : lastErrorOr(ERROR_GEN_FAILURE);
    };
    ops.flushQueue = [](HANDLE device) -> DWORD {
        return ::HidD_FlushQueue(device) ? 0 : lastErrorOr(ERROR_GEN_FAILURE);
    };
    ops.writeFile = [](HANDLE device, const uint8_t* data, DWORD length, int timeoutMs,
                       DWORD* written) -> DWORD {
        return overlappedTransfer(device, false, const_cast<uint8_t*>(data), length, timeoutMs,
                                  written);
    };
    ops.readFile = [](HANDLE device, uint8_t* data, DWORD length, int timeoutMs,
                      DWORD* read) -> DWORD {
        return overlappedTransfer(device, true, data, length, timeoutMs, read);
    };
    ops.acquireLock = [](const std::wstring& name, HANDLE* lock) -> DWORD {
        const HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
        if (mutex == nullptr)
            return lastErrorOr(ERROR_GEN_FAILURE);
        const DWORD wait = ::WaitForSingleObject(mutex, 0);
        // An abandoned mutex was held by a run that ended without closing: it is free now.
        if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) {
            *lock = mutex;
            return 0;
        }
        const DWORD error =
            wait == WAIT_TIMEOUT ? kHidDeviceInUseError : lastErrorOr(ERROR_GEN_FAILURE);
        ::CloseHandle(mutex);
        return error;
    };
    ops.releaseLock = [](HANDLE lock) {
        ::ReleaseMutex(lock);
        ::CloseHandle(lock);
    };
    ops.nowMs = []() -> int64_t { return static_cast<int64_t>(::GetTickCount64()); };
    return ops;
}

std::string narrowText(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                           nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::string();
    std::string out(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size,
                          nullptr, nullptr);
    return out;
}

std::wstring wideText(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int size =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], size);
    return out;
}

std::wstring deviceLockName(const std::string& path) {
    std::wstring key = wideText(path);
    for (wchar_t& c : key) {
        c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        if (c == L'\\')
            c = L'/';
    }
    std::wstring name = kLockNamePrefix + key;
    if (name.size() <= kMaxLockNameLength)
        return name;
    // FNV-1a over the folded path, in two lanes for 128 bits.
    uint64_t lanes[2] = {0xcbf29ce484222325ULL, 0x84222325cbf29ce4ULL};
    for (wchar_t c : key) {
        for (uint64_t& lane : lanes) {
            lane ^= static_cast<uint64_t>(c);
            lane *= 0x100000001b3ULL;
        }
        lanes[1] = (lanes[1] << 7) | (lanes[1] >> 57);
    }
    wchar_t hex[40];
    swprintf(hex, sizeof hex / sizeof hex[0], L"%016llx%016llx",
             static_cast<unsigned long long>(lanes[0]), static_cast<unsigned long long>(lanes[1]));
    return kLockNamePrefix + std::wstring(L"h-") + hex;
}

std::vector<uint8_t> driverReportBuffer(const uint8_t* report, size_t length,
                                        uint16_t collectionLength) {
    std::vector<uint8_t> buffer(std::max(length, static_cast<size_t>(collectionLength)), 0);
    if (report != nullptr && length > 0)
        std::memcpy(buffer.data(), report, length);
    return buffer;
}

HidHostWindows::HidHostWindows(HidWinOps ops) : ops_(std::move(ops)) {}

HidHostWindows::~HidHostWindows() {
    while (!open_.empty())
        close(open_.begin()->first);
    for (const auto& hold : held_)
        ops_.releaseLock(hold.second);
}

HidInterfaceInfo HidHostWindows::query(const std::wstring& path) {
    HidInterfaceInfo iface;
    iface.path = narrowText(path);
    HANDLE device = INVALID_HANDLE_VALUE;
    DWORD error = ops_.openPath(path, false, &device);
    if (error != 0) {
        iface.queryError = HidQueryError::openFailed;
        iface.osError = error;
        return iface;
    }
    HidWinCaps caps;
    if ((error = ops_.getAttributes(device, &iface.vendorId, &iface.productId)) != 0)
        iface.queryError = HidQueryError::attributesFailed;
    else if ((error = ops_.getCaps(device, &caps)) != 0)
        iface.queryError = HidQueryError::capsFailed;
    else
        static_cast<HidCollectionInfo&>(iface) = caps;
    iface.osError = error;
    ops_.closeHandle(device);
    return iface;
}

std::vector<HidInterfaceInfo> HidHostWindows::enumerate() {
    std::vector<HidInterfaceInfo> interfaces;
    for (const std::wstring& path : ops_.listPaths())
        interfaces.push_back(query(path));
    return interfaces;
}

HidHandle HidHostWindows::open(const HidInterfaceInfo& iface, uint32_t* osError) {
    auto fail = [osError](DWORD error) {
        setOsError(osError, error);
        return kInvalidHidHandle;
    };
    // The lock comes first: a device another run holds is not touched at all.
    std::wstring lockName = deviceLockName(iface.path);
    for (const auto& entry : open_) {
        if (entry.second.lockName == lockName)
            return fail(kHidDeviceInUseError);
    }
    // A lock this run took at an earlier open is still its own.
    const bool heldAlready = held_.count(lockName) != 0;
    HANDLE lock = nullptr;
    DWORD error = heldAlready ? 0 : ops_.acquireLock(lockName, &lock);
    if (error != 0)
        return fail(error);
    HANDLE device = INVALID_HANDLE_VALUE;
    error = ops_.openPath(wideText(iface.path), true, &device);
    if (error != 0) {
        // A device this run never opened is not kept from others.
        if (!heldAlready)
            ops_.releaseLock(lock);
        return fail(error);
    }
    if (!heldAlready)
        held_[lockName] = lock;
    const HidHandle handle = reinterpret_cast<HidHandle>(device);
    open_[handle] =
        OpenDevice{device, std::move(lockName), iface.inputReportLength, iface.outputReportLength};
    return handle;
}

void HidHostWindows::close(HidHandle handle) {
    const auto it = open_.find(handle);
    if (it == open_.end())
        return;
    // The lock stays held (see held_) until the host is destroyed.
    ops_.closeHandle(it->second.device);
    open_.erase(it);
}

HidHostWindows::OpenDevice* HidHostWindows::ownDevice(HidHandle handle) {
    const auto it = open_.find(handle);
    return it == open_.end() ? nullptr : &it->second;
}

bool HidHostWindows::getInputReport(HidHandle handle, uint8_t* report, size_t length,
                                    uint32_t* osError) {
    OpenDevice* d = ownDevice(handle);
    if (d == nullptr || report == nullptr || length == 0)
        return failHostCall(osError, d == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    // The report id in byte 0 names the report asked for.
    std::vector<uint8_t> buffer = driverReportBuffer(report, length, d->inputReportLength);
    const DWORD error =
        ops_.getInputReport(d->device, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (error != 0)
        return failHostCall(osError, error);
    std::memcpy(report, buffer.data(), length);
    return true;
}

bool HidHostWindows::setOutputReport(HidHandle handle, const uint8_t* report, size_t length,
                                     uint32_t* osError) {
    OpenDevice* d = ownDevice(handle);
    if (d == nullptr || report == nullptr || length == 0)
        return failHostCall(osError, d == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    std::vector<uint8_t> buffer = driverReportBuffer(report, length, d->outputReportLength);
    const DWORD error =
        ops_.setOutputReport(d->device, buffer.data(), static_cast<DWORD>(buffer.size()));
    return error == 0 || failHostCall(osError, error);
}

bool HidHostWindows::writeReport(HidHandle handle, const uint8_t* report, size_t length,
                                 uint32_t* osError) {
    OpenDevice* d = ownDevice(handle);
    if (d == nullptr || report == nullptr || length == 0)
        return failHostCall(osError, d == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    // A late answer to an earlier request must never be read as the answer to
    // this one: what is queued now is discarded first.
    DWORD error = ops_.flushQueue(d->device);
    if (error != 0)
        return failHostCall(osError, error);
    const std::vector<uint8_t> buffer = driverReportBuffer(report, length, d->outputReportLength);
    DWORD written = 0;
    error = ops_.writeFile(d->device, buffer.data(), static_cast<DWORD>(buffer.size()),
                           kHidWriteTimeoutMs, &written);
    if (error != 0)
        return failHostCall(osError, error);
    if (written < length)
        return failHostCall(osError, ERROR_WRITE_FAULT);
    return true;
}

HidReadResult HidHostWindows::readReport(HidHandle handle, uint8_t reportId, uint8_t* report,
                                         size_t length, int timeoutMs, size_t* received,
                                         uint32_t* osError) {
    if (received)
        *received = 0;
    OpenDevice* d = ownDevice(handle);
    if (d == nullptr || report == nullptr)
        return failHostRead(osError, d == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    // The driver wants room for the collection's longest input report. Reports
    // with other ids are dropped until the wanted one comes, within one deadline.
    std::vector<uint8_t> scratch(
        std::max<size_t>({length, static_cast<size_t>(d->inputReportLength), 1}));
    const int64_t deadline = ops_.nowMs() + std::max(timeoutMs, 0);
    for (;;) {
        const int64_t remaining = deadline - ops_.nowMs();
        if (remaining <= 0)
            break;
        DWORD n = 0;
        const DWORD error =
            ops_.readFile(d->device, scratch.data(), static_cast<DWORD>(scratch.size()),
                          static_cast<int>(remaining), &n);
        if (error == WAIT_TIMEOUT)
            break;
        if (error != 0)
            return failHostRead(osError, error);
        if (n == 0 || scratch[0] != reportId)
            continue;
        const size_t count = std::min({static_cast<size_t>(n), length, scratch.size()});
        std::memcpy(report, scratch.data(), count);
        if (received)
            *received = count;
        return HidReadResult::ok;
    }
    setOsError(osError, WAIT_TIMEOUT);
    return HidReadResult::timeout;
}

HidOpenFailure HidHostWindows::classifyOpenError(uint32_t osError) const {
    if (osError == kHidDeviceInUseError || osError == ERROR_SHARING_VIOLATION)
        return HidOpenFailure::inUse;
    if (osError == ERROR_ACCESS_DENIED)
        return HidOpenFailure::denied;
    return HidOpenFailure::other;
}

#endif  // _WIN32
