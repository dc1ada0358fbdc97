#include "hid/HidTarget.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "hid/DeviceMatch.h"
#include "hid/HidInterface.h"
#include "hid/OpenHints.h"
#include "log/Log.h"
#include "log/RunReason.h"

#if defined(_WIN32)
#include "hid/HidHostWindows.h"
#endif

HidTarget hidTarget;
HidTargetFjordK8 hidTargetFjordK8;

namespace {

// Device paths are printed as the host gives them: wide text on Windows.
#if defined(_WIN32)
#define TFW_DEVICE_PATH "%ls"
std::wstring devicePathText(const std::string& path) {
    return wideText(path);
}
#else
#define TFW_DEVICE_PATH "%s"
const std::string& devicePathText(const std::string& path) {
    return path;
}
#endif

// A matching interface that could not be opened, remembered for the host's
// explanation should the search fail.
struct OpenFailure {
    HidInterfaceInfo iface;
    uint32_t osError;
};

// Adds `path` to `paths` unless it is there already; true when added.
bool addOnce(std::vector<std::string>* paths, const std::string& path) {
    if (std::find(paths->begin(), paths->end(), path) != paths->end())
        return false;
    paths->push_back(path);
    return true;
}

void explainOpenFailures(const std::vector<OpenFailure>& failures) {
    std::vector<std::string> explained;
    for (const OpenFailure& failure : failures) {
        if (addOnce(&explained, failure.iface.path))
            hidHost().explainOpenFailure(failure.iface, failure.osError);
    }
}

// False, after a Debug line for the two failures that have one, when the
// host could not query the interface: the search passes it by.
bool interfaceQueried(const char* fn, const HidInterfaceInfo& iface) {
    switch (iface.queryError) {
        case HidQueryError::openFailed:
            LOG_DEBUG(fn, "CreateFile failed. Get last error = 0x%02X.\n", iface.osError);
            return false;
        case HidQueryError::attributesFailed:
            LOG_DEBUG(fn, "HidD_GetAttributes failed. Get last error = 0x%02X.\n", iface.osError);
            return false;
        case HidQueryError::capsFailed:
            return false;
        case HidQueryError::none:
            break;
    }
    return true;
}

// One line of the scan listing; notes a node this user may not open.
void listInterface(HidHost& host, const HidInterfaceInfo& iface,
                   std::vector<std::string>* unopenable) {
    std::printf(
        "Vid = 0x%04X, Pid = 0x%04X, UsagePage = 0x%04X, Usage = 0x%04X, DevicePath "
        "= " TFW_DEVICE_PATH ".\n",
        iface.vendorId, iface.productId, iface.usagePage, iface.usage,
        devicePathText(iface.path).c_str());
    if (!host.mayOpen(iface))
        addOnce(unopenable, iface.path);
}

// True when the interface has the target's four keys and is on the node of
// `path` (any node when empty).
bool hasKeys(const HidTarget& target, const std::string& path, const HidInterfaceInfo& iface) {
    return (path.empty() || iface.path == path) && iface.vendorId == target.vid &&
           iface.productId == target.pid && iface.usagePage == target.usagePage &&
           iface.usage == target.usage;
}

// True when the interface has the target's keys. A path key (given, or
// pinned by an earlier open of this run; `path` is what it leads to) leaves
// only the interfaces on that node as candidates.
bool isCandidate(const char* fn, const HidTarget& target, const std::string& path,
                 const HidInterfaceInfo& iface) {
    if (!hasKeys(target, path, iface)) {
        LOG_INFO(fn,
                 "device is unmatch,Vid = 0x%04X, Pid = 0x%04X, UsagePage = 0x%04X, Usage = "
                 "0x%04X, DevicePath = " TFW_DEVICE_PATH ".\n",
                 iface.vendorId, iface.productId, iface.usagePage, iface.usage,
                 devicePathText(iface.path).c_str());
        return false;
    }
    return true;
}

// The hint after a search that opened nothing: no matching device, the
// device another run holds, or the first node this user may not open.
void hintFailedSearch(const HidTarget& target, const std::vector<OpenFailure>& openFailures,
                      bool matched, bool inUse) {
    // Each hint is the reason of the run's failure, already told.
    if (!matched) {
        hintNoMatchingDevice(target.vid, target.pid, target.usagePage, target.usage,
                             deviceMatch.path);
        noteRunReason(kReasonSpecific,
                      "no HID interface matches vid 0x%04X, pid 0x%04X, usage page 0x%04X, usage "
                      "0x%04X",
                      target.vid, target.pid, target.usagePage, target.usage);
        noteRunReasonTold();
    } else if (inUse) {
        hintDeviceInUse(openFailures.back().iface.path);
        noteRunReason(kReasonSpecific, "the device %s is in use by another process",
                      logSafeText(openFailures.back().iface.path).c_str());
        noteRunReasonTold();
    } else {
        for (const OpenFailure& failure : openFailures) {
            if (hidHost().classifyOpenError(failure.osError) == HidOpenFailure::denied) {
                hintOpenDenied(failure.iface.path);
                noteRunReason(kReasonSpecific, "permission denied on %s",
                              logSafeText(failure.iface.path).c_str());
                noteRunReasonTold();
                return;
            }
        }
        if (!openFailures.empty()) {
            noteRunReason(kReasonGeneral, "the device %s could not be opened (error %u)",
                          logSafeText(openFailures.front().iface.path).c_str(),
                          static_cast<unsigned>(openFailures.front().osError));
        }
    }
}

// After a search that opened `used`: names on standard error the matching
// devices it passed over because they could not be opened, and the other
// devices with the same keys, so the user can tell which one was used.
void hintDeviceChoice(const HidTarget& target, const std::vector<HidInterfaceInfo>& interfaces,
                      const std::string& path, const std::vector<OpenFailure>& openFailures,
                      const std::string& used) {
    for (const OpenFailure& failure : openFailures) {
        hintSkippedDevice(failure.iface.path,
                          hidHost().classifyOpenError(failure.osError) == HidOpenFailure::denied,
                          failure.osError);
    }
    std::vector<std::string> others;
    for (const HidInterfaceInfo& iface : interfaces) {
        if (iface.queryError == HidQueryError::none && iface.path != used &&
            hasKeys(target, path, iface)) {
            addOnce(&others, iface.path);
        }
    }
    hintSeveralMatches(used, others);
}

}  // namespace

int HidTarget::searchDevice(const char* fn, HidHandle* handleOut, bool listOnly,
                            HidInterfaceInfo* found, std::vector<HidInterfaceInfo>* listed) {
    HidHost& host = hidHost();
    const std::vector<HidInterfaceInfo> interfaces = host.enumerate();
    std::vector<OpenFailure> openFailures;
    std::vector<std::string> unopenable;  // listed nodes this user may not open
    bool matched = false;
    // The node a path key leads to (a link, such as a udev stable name, is
    // followed once here); interfaces are opened at their own paths.
    const std::string path = devicePathOf(deviceMatch.path);

    for (const HidInterfaceInfo& iface : interfaces) {
        if (!interfaceQueried(fn, iface))
            continue;
        if (listOnly) {
            listInterface(host, iface, &unopenable);
            if (listed != nullptr)
                listed->push_back(iface);
            continue;
        }
        if (!isCandidate(fn, *this, path, iface))
            continue;
        matched = true;
        uint32_t osError = 0;
        const HidHandle h = host.open(iface, &osError);
        if (h == kInvalidHidHandle) {
            LOG_DEBUG(fn, "CreateFile failed. Get last error = 0x%02X.\n", osError);
            openFailures.push_back(OpenFailure{iface, osError});
            // The first matching device is the run's device: when another
            // run holds it, the search ends here rather than taking a
            // different device that happens to have the same keys.
            if (host.classifyOpenError(osError) == HidOpenFailure::inUse)
                break;
            continue;
        }
        LOG_INFO(fn,
                 "Find the target device successfully. Vid = 0x%04X, Pid = 0x%04X, UsagePage = "
                 "0x%04X, Usage = 0x%04X, DevicePath = " TFW_DEVICE_PATH ".\n",
                 iface.vendorId, iface.productId, iface.usagePage, iface.usage,
                 devicePathText(iface.path).c_str());
        *handleOut = h;
        openedPath_ = iface.path;
        openRefusedInUse_ = false;
        if (found != nullptr)
            *found = iface;
        hintDeviceChoice(*this, interfaces, path, openFailures, iface.path);
        return 0;
    }
    if (listOnly) {
        hintScanUnopenable(unopenable);
        return -1;
    }
    explainOpenFailures(openFailures);
    // The search stopped at a device another run holds.
    const bool inUse = !openFailures.empty() &&
                       host.classifyOpenError(openFailures.back().osError) == HidOpenFailure::inUse;
    openRefusedInUse_ = inUse;
    hintFailedSearch(*this, openFailures, matched, inUse);
    return -1;
}

int HidTarget::findMathingDevice(HidHandle* handleOut, bool listOnly) {
    return searchDevice("HidTarget::findMathingDevice", handleOut, listOnly, nullptr);
}

int HidTarget::open() {
    vid = deviceMatch.vid;
    pid = deviceMatch.pid;
    usage = deviceMatch.usage;
    usagePage = deviceMatch.usagePage;
    if (handle != kInvalidHidHandle) {
        LOG_INFO("HidTarget::open", "The device has already been opened.\n");
        return 0;
    }
    LOG_INFO("HidTarget::open",
             "Try to find the device with Vid(0x%04X), Pid(0x%04X) Usage(0x%04X) and "
             "UsagePage(0x%04X).\n",
             vid, pid, usage, usagePage);
    HidHandle h = kInvalidHidHandle;
    const int r = findMathingDevice(&h, false);
    if (r != 0) {
        LOG_ERROR("HidTarget::open", "Find the device failed. ret = %d.\n", r);
        return -1;
    }
    LOG_INFO("HidTarget::open", "Find the device successfully.\n");
    handle = h;
    deviceGone_ = false;
    // Every later open of this run goes to this same node, never to another
    // device with the same keys (a path given as a link is pinned to the
    // node it led to).
    deviceMatch.path = openedPath_;
    return 0;
}

int HidTarget::close() {
    if (handle != kInvalidHidHandle) {
        hidHost().close(handle);
        handle = kInvalidHidHandle;
    }
    deviceGone_ = false;
    return 0;
}

void HidTarget::noteTransferError(uint32_t osError) {
    if (hidHost().deviceGone(osError)) {
        deviceGone_ = true;
        noteRunReason(kReasonSpecific,
                      "the device %s went away during the run (unplugged or reset); check the "
                      "cable and run again",
                      logSafeText(openedPath_).c_str());
    }
}

int HidTarget::listDevices(std::vector<HidInterfaceInfo>* listed) {
    HidHandle scratch = kInvalidHidHandle;
    return searchDevice("HidTarget::findMathingDevice", &scratch, true, nullptr, listed);
}

int HidTarget::read(uint8_t* buffer, int length) {
    // A negative length would become a huge copy; it is refused like a long one.
    if (length > kStandardReportSize || length < 0) {
        LOG_ERROR("HidTarget::read", "Read len error, len = %d.\n", length);
        return -1;
    }
    if (buffer == nullptr) {
        LOG_ERROR("HidTarget::read", "Read failed, buffer is NULL.\n");
        return -2;
    }
    uint8_t report[kStandardReportSize] = {0};
    report[0] = kHidReportId;
    uint32_t osError = 0;
    if (!hidHost().getInputReport(handle, report, sizeof report, &osError)) {
        LOG_ERROR("HidTarget::read", "Read failed, because HidD_GetInputReport failed: 0x%02X.\n",
                  osError);
        noteTransferError(osError);
        return -3;
    }
    std::memcpy(buffer, report, static_cast<size_t>(length));
    return 0;
}

int HidTarget::write(const uint8_t* buffer, int length) {
    if (length > kStandardReportSize || length < 0) {
        LOG_ERROR("HidTarget::write", "Write len ERROR, len = %d.\n", length);
        return -1;
    }
    if (buffer == nullptr) {
        LOG_ERROR("HidTarget::write", "Write ERROR, buffer is NULL.\n");
        return -2;
    }
    uint8_t report[kStandardReportSize] = {0};
    std::memcpy(report, buffer, static_cast<size_t>(length));
    report[0] = kHidReportId;
    uint32_t osError = 0;
    if (!hidHost().setOutputReport(handle, report, sizeof report, &osError)) {
        LOG_ERROR("HidTarget::write", "Write failed. Error = 0x%02X.\n", osError);
        noteTransferError(osError);
        return -3;
    }
    return 0;
}

int HidTargetFjordK8::findMathingDevice(HidHandle* handleOut, bool listOnly) {
    const char* fn = "HidTargetFjordK8::findMathingDevice";
    LOG_DEBUG(fn, "find matching device at K8\n");
    HidInterfaceInfo found;
    const int r = searchDevice(fn, handleOut, listOnly, &found);
    if (r == 0) {
        LOG_DEBUG(fn, "InputReportByteLength:%d,OutputReportByteLength:%d\n",
                  found.inputReportLength, found.outputReportLength);
    }
    return r;
}

int HidTargetFjordK8::read(uint8_t* buffer, int length) {
    if (buffer == nullptr) {
        LOG_ERROR("HidTargetFjordK8::read", "Read failed, buffer is NULL.\n");
        return -2;
    }
    // The report is 268 bytes; a longer (or negative) request would read past it.
    if (length > kLongReportSize || length < 0) {
        LOG_ERROR("HidTargetFjordK8::read", "Read len error, len = %d.\n", length);
        return -1;
    }
    LOG_DEBUG("HidTargetFjordK8::read", "start ReadFile \n");
    uint8_t report[kLongReportSize] = {0};
    size_t received = 0;
    uint32_t osError = 0;
    // The wait is bounded: a chip that never answers fails the read instead
    // of hanging the tool.
    const HidReadResult result = hidHost().readReport(handle, kHidReportId, report, sizeof report,
                                                      kHidReadTimeoutMs, &received, &osError);
    if (result != HidReadResult::ok) {
        if (result == HidReadResult::timeout) {
            LOG_DEBUG("HidTargetFjordK8::read", "No input report within %d ms.\n",
                      kHidReadTimeoutMs);
            if (osError == 0)
                osError = ETIMEDOUT;
        }
        LOG_ERROR("HidTargetFjordK8::read", "Read failed, because ReadFile failed: 0x%02X.\n",
                  osError);
        noteTransferError(osError);
        return -3;
    }
    std::memcpy(buffer, report, static_cast<size_t>(length));
    return 0;
}

int HidTargetFjordK8::write(const uint8_t* buffer, int length) {
    if (buffer == nullptr) {
        LOG_ERROR("HidTargetFjordK8::write", "Write ERROR, buffer is NULL.\n");
        return -2;
    }
    if (length > kLongReportSize || length < 0) {
        LOG_ERROR("HidTargetFjordK8::write", "Write len ERROR, len = %d.\n", length);
        return -1;
    }
    LOG_DEBUG("HidTargetFjordK8::write", "Write len:%d.\n", length);
    uint8_t report[kLongReportSize] = {0};
    std::memcpy(report, buffer, static_cast<size_t>(length));
    report[0] = kHidReportId;
    uint32_t osError = 0;
    if (!hidHost().writeReport(handle, report, sizeof report, &osError)) {
        LOG_ERROR("HidTargetFjordK8::write", "Write file failed. Error = 0x%02X.\n", osError);
        noteTransferError(osError);
        return -3;
    }
    LOG_DEBUG("HidTargetFjordK8::write", "Write file success.\n");
    return 0;
}
