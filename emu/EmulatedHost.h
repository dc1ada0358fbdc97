// The emulated HID host: the HidHost seam on top of an emulated chip.
//
// It enumerates the chip's vendor collection among decoys, in this order:
// a keyboard that cannot be opened for querying (as the OS keeps keyboards
// to itself), the chip device's touch (digitizer) collection, its vendor
// collection with another usage, the chip's vendor collection, and a second
// device with the same keys enumerated later (the "twin", its own chip with
// product id "TWIN"). Reports to the chip go through both report paths.
// Reports to a decoy or on the wrong path are protocol errors, and so is an
// open of the twin while the first device is there and was not refused
// since the last enumeration. Opens can be made to fail and the device can
// disappear (fault script of the chip).
//
// Given a lock file (touchfw-emu names the chip-state file's), the chip's
// device is held exclusively as a hidraw node is: the first open of the
// chip's device takes an exclusive lock (FileLock) on the file and the host keeps
// it until it is destroyed; an open while another process holds it fails as
// "in use". When the lock file cannot be made at all (a folder this user may
// not write), the chip's state cannot be kept: every open then fails, the
// twin's too, so that the run does not go on with another device unnoticed.
// Before writeReport sends, the reports queued for the host are dropped, as a
// real host does.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "emu/EmulatedChip.h"
#include "hid/HidHost.h"
#include "sys/FileLock.h"

namespace emu {

enum class InterfaceRole { chip, twin, decoy };

struct EmulatedInterface {
    HidInterfaceInfo info;
    InterfaceRole role = InterfaceRole::decoy;
    int device = 0;                // interfaces of one device share this number
    EmulatedChip* chip = nullptr;  // the chip behind it (chip and twin roles)
    int opens = 0;                 // successful opens so far
};

class EmulatedHost : public HidHost {
  public:
    // `twin` may be null (no second device); `decoys` false leaves only the
    // chip (and the twin).
    EmulatedHost(EmulatedChip& chip, EmulatedChip* twin, bool decoys);
    EmulatedHost(const EmulatedHost&) = delete;
    EmulatedHost& operator=(const EmulatedHost&) = delete;

    // Holds the chip's device through a lock on `path` (created when
    // missing). `onLocked` runs once, right after the lock is taken, before
    // the open returns (touchfw-emu loads the chip state there);
    // `onLockFailed` runs when the lock file cannot be made, with the reason.
    void setDeviceLock(const std::string& path, std::function<void()> onLocked,
                       std::function<void(const std::string&)> onLockFailed = nullptr);

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
    bool deviceGone(uint32_t osError) const override;

    const std::vector<EmulatedInterface>& interfaces() const { return interfaces_; }
    // Index of the chip's vendor collection in interfaces().
    size_t chipIndex() const;
    int openCount(InterfaceRole role) const;
    size_t openHandles() const { return handles_.size(); }

    // Runs after every output report the chip took (a test interrupts the
    // run there); nullptr removes it.
    void setReportHook(std::function<void()> hook) { reportHook_ = std::move(hook); }

    // The chip's device vanishes (all its collections): enumeration no longer
    // lists it, opens fail, every call on an open handle fails.
    void disappear();
    bool gone() const { return gone_; }

  private:
    // The interface behind an open handle; null (with *osError set) when the
    // handle is unknown or its device is gone.
    EmulatedInterface* resolve(HidHandle handle, const char* what, uint32_t* osError);
    // Output report bookkeeping shared by both paths; true when the chip got it.
    bool sendToChip(HidHandle handle, const uint8_t* report, size_t length, ReportPath via,
                    uint32_t* osError);
    // Input bookkeeping shared by both paths: the chip behind the handle, or
    // null (with *osError set) when the report is null, the handle unusable
    // or a fault fails the transfer.
    EmulatedChip* inputChip(HidHandle handle, const uint8_t* report, const char* what,
                            uint32_t* osError);
    bool isGone(const EmulatedInterface& iface) const { return gone_ && iface.device == 1; }
    // Takes the device lock if one is set and not yet held; false (with
    // *osError) when another process holds it.
    bool takeDeviceLock(uint32_t* osError);

    EmulatedChip& chip_;
    std::vector<EmulatedInterface> interfaces_;
    std::map<HidHandle, size_t> handles_;
    HidHandle nextHandle_ = 100;
    bool gone_ = false;
    bool chipOpenFailed_ = false;  // since the last enumeration
    std::string lockPath_;
    std::function<void()> onLocked_;
    std::function<void(const std::string&)> onLockFailed_;
    std::function<void()> reportHook_;
    FileLock lock_;
    bool lockFailed_ = false;  // the lock file could not be made
};

}  // namespace emu
