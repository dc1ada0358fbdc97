#include "emu/EmulatedHost.h"

#include <cstdio>
#include <utility>

#include "sys/Files.h"

namespace emu {

namespace {

EmulatedInterface makeInterface(const char* path, int collection, uint16_t vid, uint16_t pid,
                                uint16_t usagePage, uint16_t usage, uint16_t reportLength,
                                int device, InterfaceRole role = InterfaceRole::decoy,
                                EmulatedChip* chip = nullptr) {
    EmulatedInterface iface;
    iface.info.path = path;
    iface.info.collection = collection;
    iface.info.vendorId = vid;
    iface.info.productId = pid;
    iface.info.usagePage = usagePage;
    iface.info.usage = usage;
    iface.info.inputReportLength = reportLength;
    iface.info.outputReportLength = reportLength;
    iface.device = device;
    iface.role = role;
    iface.chip = chip;
    return iface;
}

std::string describe(const HidInterfaceInfo& info) {
    char text[160];
    std::snprintf(text, sizeof text, "%s#%d (0x%04X:0x%04X, 0x%04X/0x%04X)", info.path.c_str(),
                  info.collection, info.vendorId, info.productId, info.usagePage, info.usage);
    return text;
}

}  // namespace

EmulatedHost::EmulatedHost(EmulatedChip& chip, EmulatedChip* twin, bool decoys) : chip_(chip) {
    const int32_t type = chip.type();
    const uint16_t pid = familyOf(type).defaultPid;
    const uint16_t page = familyOf(type).usagePage;
    const uint16_t reportLength = static_cast<uint16_t>(chip.reportSize());
    if (decoys) {
        EmulatedInterface keyboard =
            makeInterface("emu:/dev/hidraw0", 0, 0x046D, 0xC31C, 0x0001, 0x0006, 9, 3);
        keyboard.info.queryError = HidQueryError::openFailed;
        keyboard.info.osError = kOsAccessDenied;
        interfaces_.push_back(keyboard);
        interfaces_.push_back(
            makeInterface("emu:/dev/hidraw1", 0, kEmuVendorId, pid, 0x000D, 0x0004, 64, 1));
        interfaces_.push_back(
            makeInterface("emu:/dev/hidraw1", 1, kEmuVendorId, pid, page, 0x0002, reportLength, 1));
    }
    interfaces_.push_back(makeInterface("emu:/dev/hidraw1", decoys ? 2 : 0, kEmuVendorId, pid, page,
                                        kEmuUsage, reportLength, 1, InterfaceRole::chip, &chip));
    if (twin != nullptr) {
        interfaces_.push_back(makeInterface("emu:/dev/hidraw2", 0, kEmuVendorId, pid, page,
                                            kEmuUsage, reportLength, 2, InterfaceRole::twin, twin));
    }
}

void EmulatedHost::setDeviceLock(const std::string& path, std::function<void()> onLocked,
                                 std::function<void(const std::string&)> onLockFailed) {
    lockPath_ = path;
    onLocked_ = std::move(onLocked);
    onLockFailed_ = std::move(onLockFailed);
}

bool EmulatedHost::takeDeviceLock(uint32_t* osError) {
    if (lockPath_.empty() || lock_.held())
        return true;
    const FileLock::Result r = lock_.tryLock(lockPath_);
    if (r == FileLock::Result::busy) {
        setOsError(osError, kOsSharingViolation);
        chip_.record(TranscriptEntry::Kind::open,
                     "open refused: the device is held by another process");
        return false;
    }
    if (r != FileLock::Result::locked) {
        // Not a refusal of the device (no hint on access rights): the emulator failed.
        setOsError(osError, kOsGenFailure);
        const std::string reason = "cannot lock " + lockPath_ + ": " + fileErrorText(lock_.error());
        chip_.record(TranscriptEntry::Kind::open, "open refused: " + reason);
        if (!lockFailed_ && onLockFailed_)
            onLockFailed_(reason);
        lockFailed_ = true;
        return false;
    }
    if (onLocked_)
        onLocked_();
    return true;
}

HidOpenFailure EmulatedHost::classifyOpenError(uint32_t osError) const {
    if (osError == kOsAccessDenied)
        return HidOpenFailure::denied;
    if (osError == kOsSharingViolation)
        return HidOpenFailure::inUse;
    return HidOpenFailure::other;
}

bool EmulatedHost::deviceGone(uint32_t osError) const {
    return osError == kOsDeviceNotConnected;
}

size_t EmulatedHost::chipIndex() const {
    for (size_t i = 0; i < interfaces_.size(); ++i) {
        if (interfaces_[i].role == InterfaceRole::chip)
            return i;
    }
    return interfaces_.size();
}

int EmulatedHost::openCount(InterfaceRole role) const {
    int n = 0;
    for (const EmulatedInterface& iface : interfaces_) {
        if (iface.role == role)
            n += iface.opens;
    }
    return n;
}

void EmulatedHost::disappear() {
    if (!gone_)
        chip_.record(TranscriptEntry::Kind::open, "device disappeared");
    gone_ = true;
}

std::vector<HidInterfaceInfo> EmulatedHost::enumerate() {
    chipOpenFailed_ = false;
    std::vector<HidInterfaceInfo> list;
    for (const EmulatedInterface& iface : interfaces_) {
        if (!isGone(iface))
            list.push_back(iface.info);
    }
    return list;
}

HidHandle EmulatedHost::open(const HidInterfaceInfo& wanted, uint32_t* osError) {
    for (size_t i = 0; i < interfaces_.size(); ++i) {
        EmulatedInterface& iface = interfaces_[i];
        if (iface.info.path != wanted.path || iface.info.collection != wanted.collection ||
            isGone(iface)) {
            continue;
        }
        if (iface.info.queryError == HidQueryError::openFailed) {
            setOsError(osError, iface.info.osError);
            chip_.record(TranscriptEntry::Kind::open, "open refused: " + describe(iface.info));
            return kInvalidHidHandle;
        }
        if (iface.chip != nullptr) {
            std::string which;
            if (iface.chip->faults().check(FaultOn::open, ChipCommand::none, 0, &which)) {
                setOsError(osError, kOsAccessDenied);
                iface.chip->record(TranscriptEntry::Kind::fault, "open failed: " + which);
                if (iface.role == InterfaceRole::chip)
                    chipOpenFailed_ = true;
                return kInvalidHidHandle;
            }
        }
        if (iface.role == InterfaceRole::chip && !takeDeviceLock(osError)) {
            chipOpenFailed_ = true;  // a later device with the same keys may be opened
            return kInvalidHidHandle;
        }
        if (iface.role == InterfaceRole::twin && lockFailed_) {
            // The emulator failed, not the device: no other device stands in.
            setOsError(osError, kOsGenFailure);
            chip_.record(
                TranscriptEntry::Kind::open,
                "open refused: the chip's state cannot be kept (" + describe(iface.info) + ")");
            return kInvalidHidHandle;
        }
        if (iface.role == InterfaceRole::twin) {
            // First match wins: the twin may only be opened when the chip's
            // device is gone or could not be opened in this enumeration.
            const std::string text =
                "the later device with the same keys was opened (" + describe(iface.info) + ")";
            if (gone_ || chipOpenFailed_) {
                chip_.record(TranscriptEntry::Kind::note, text);
            } else {
                chip_.protocolError(text + " although the first one is there");
            }
        }
        const HidHandle handle = nextHandle_++;
        handles_[handle] = i;
        ++iface.opens;
        (iface.chip ? *iface.chip : chip_)
            .recordHost("open " + describe(iface.info) + " -> handle " + std::to_string(handle),
                        iface.info.path);
        return handle;
    }
    setOsError(osError, kOsFileNotFound);
    chip_.record(TranscriptEntry::Kind::open, "open of a missing interface " + describe(wanted));
    return kInvalidHidHandle;
}

void EmulatedHost::close(HidHandle handle) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        chip_.record(TranscriptEntry::Kind::note,
                     "close of an unknown handle " + std::to_string(handle));
        return;
    }
    EmulatedInterface& iface = interfaces_[it->second];
    (iface.chip ? *iface.chip : chip_)
        .recordHost("close handle " + std::to_string(handle), iface.info.path);
    handles_.erase(it);
}

EmulatedInterface* EmulatedHost::resolve(HidHandle handle, const char* what, uint32_t* osError) {
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        setOsError(osError, kOsInvalidHandle);
        chip_.record(TranscriptEntry::Kind::note,
                     std::string(what) + " on an invalid handle " + std::to_string(handle));
        return nullptr;
    }
    EmulatedInterface& iface = interfaces_[it->second];
    if (isGone(iface)) {
        setOsError(osError, kOsDeviceNotConnected);
        chip_.record(TranscriptEntry::Kind::note, std::string(what) + " on a device that is gone");
        return nullptr;
    }
    if (iface.chip == nullptr) {
        setOsError(osError, kOsGenFailure);
        chip_.protocolError(std::string(what) + " on a decoy interface " + describe(iface.info));
        return nullptr;
    }
    return &iface;
}

bool EmulatedHost::sendToChip(HidHandle handle, const uint8_t* report, size_t length,
                              ReportPath via, uint32_t* osError) {
    if (report == nullptr)
        return failHostCall(osError, kOsInvalidParameter);
    EmulatedInterface* iface = resolve(handle, "output report", osError);
    if (iface == nullptr)
        return false;
    EmulatedChip& chip = *iface->chip;
    const std::optional<FaultDo> fault = chip.outputFault(report, length);
    if (fault == FaultDo::disappear) {
        disappear();
        return failHostCall(osError, kOsDeviceNotConnected);
    }
    if (fault == FaultDo::dropReport)
        return true;
    if (fault)
        return failHostCall(osError, kOsGenFailure);
    if (!chip.receiveReport(report, length, via))
        return failHostCall(osError, kOsGenFailure);
    if (reportHook_)
        reportHook_();
    return true;
}

bool EmulatedHost::setOutputReport(HidHandle handle, const uint8_t* report, size_t length,
                                   uint32_t* osError) {
    return sendToChip(handle, report, length, ReportPath::standard, osError);
}

bool EmulatedHost::writeReport(HidHandle handle, const uint8_t* report, size_t length,
                               uint32_t* osError) {
    // Reports already queued are stale: a late answer to an earlier request
    // is never read as the answer to this one.
    auto it = handles_.find(handle);
    if (it != handles_.end()) {
        const EmulatedInterface& iface = interfaces_[it->second];
        if (iface.chip != nullptr && !isGone(iface))
            iface.chip->dropQueuedReports();
    }
    return sendToChip(handle, report, length, ReportPath::long268, osError);
}

EmulatedChip* EmulatedHost::inputChip(HidHandle handle, const uint8_t* report, const char* what,
                                      uint32_t* osError) {
    if (report == nullptr) {
        setOsError(osError, kOsInvalidParameter);
        return nullptr;
    }
    EmulatedInterface* iface = resolve(handle, what, osError);
    if (iface == nullptr)
        return nullptr;
    EmulatedChip& chip = *iface->chip;
    std::string which;
    const std::optional<FaultDo> fault =
        chip.faults().check(FaultOn::inputReport, ChipCommand::none, 0, &which);
    if (fault == FaultDo::disappear) {
        chip.record(TranscriptEntry::Kind::fault, which);
        disappear();
        setOsError(osError, kOsDeviceNotConnected);
        return nullptr;
    }
    if (fault) {
        chip.discardAnswer();  // lost with the failed transfer
        chip.record(TranscriptEntry::Kind::fault, std::string(what) + " failed: " + which);
        setOsError(osError, kOsGenFailure);
        return nullptr;
    }
    return &chip;
}

bool EmulatedHost::getInputReport(HidHandle handle, uint8_t* report, size_t length,
                                  uint32_t* osError) {
    EmulatedChip* chip = inputChip(handle, report, "input report", osError);
    return chip != nullptr && chip->answerInputReport(report, length, osError);
}

HidReadResult EmulatedHost::readReport(HidHandle handle, uint8_t reportId, uint8_t* report,
                                       size_t length, int timeoutMs, size_t* received,
                                       uint32_t* osError) {
    if (received)
        *received = 0;
    EmulatedChip* chip = inputChip(handle, report, "read", osError);
    if (chip == nullptr)
        return HidReadResult::failed;
    return chip->nextQueuedReport(reportId, report, length, timeoutMs, received, osError);
}

}  // namespace emu
