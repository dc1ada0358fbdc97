// The HID host seam: what the tool needs of the host's HID stack, on plain
// data. One process-wide host is in force; touchfw installs the OS backend
// (hidraw on Linux, SetupAPI and the HID class driver on Windows), touchfw-emu
// and the behaviour tests install the emulated host.
// Matching, logging and the scan listing live above this seam (HidTarget).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using HidHandle = intptr_t;
constexpr HidHandle kInvalidHidHandle = -1;

// The longest a read waits for one input report. A chip answers a request
// within a few milliseconds; two seconds leave room for a slow bus or a busy
// flash while never letting a silent or vanished device hang the tool.
constexpr int kHidReadTimeoutMs = 2000;

// Why an interface could not be described (it is then neither listed nor matched).
enum class HidQueryError {
    none = 0,
    openFailed,        // the device could not be opened
    attributesFailed,  // vendor / product id could not be read
    capsFailed,        // usage page / usage could not be read
};

// What a top-level collection declares: its usage page and usage, and its
// longest input / output report in bytes, one byte for the report id
// included (0 when the collection has no such report). Of an enumerated
// interface the report lengths are as the host reports them, and only logged.
struct HidCollectionInfo {
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    uint16_t inputReportLength = 0;
    uint16_t outputReportLength = 0;
};

// One HID top-level collection as the host enumerates it.
struct HidInterfaceInfo : HidCollectionInfo {
    std::string path;  // device path, printed as text
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    HidQueryError queryError = HidQueryError::none;
    uint32_t osError = 0;  // system error code of the failed query step
    int collection = 0;    // index of the top-level collection on its node
};

// Why HidHost::open failed, for the console hint and the result: the user
// lacks permission, or another run holds the device (each run holds its
// device exclusively from its first open to its end).
enum class HidOpenFailure { other = 0, denied, inUse };

// Stores a host call's system error where the caller asked for it.
inline void setOsError(uint32_t* osError, uint32_t code) {
    if (osError != nullptr)
        *osError = code;
}
// A failed host call: stores `code` as setOsError does and gives false.
inline bool failHostCall(uint32_t* osError, uint32_t code) {
    setOsError(osError, code);
    return false;
}

// Result of HidHost::readReport.
enum class HidReadResult { ok, timeout, failed };

// A failed read: stores `code` as setOsError does and gives HidReadResult::failed.
inline HidReadResult failHostRead(uint32_t* osError, uint32_t code) {
    setOsError(osError, code);
    return HidReadResult::failed;
}

// Every method added here is added to ForwardingHidHost below as well.
class HidHost {
  public:
    virtual ~HidHost() = default;

    // Every interface (top-level collection) in host order.
    virtual std::vector<HidInterfaceInfo> enumerate() = 0;
    // Opens an enumerated interface for reading and writing. On failure
    // returns kInvalidHidHandle and stores the system error in osError.
    virtual HidHandle open(const HidInterfaceInfo& iface, uint32_t* osError) = 0;
    virtual void close(HidHandle handle) = 0;

    // Standard path: get the current input report whose id is report[0]
    // (on request), and send one output report, both of exactly `length` bytes.
    virtual bool getInputReport(HidHandle handle, uint8_t* report, size_t length,
                                uint32_t* osError) = 0;
    virtual bool setOutputReport(HidHandle handle, const uint8_t* report, size_t length,
                                 uint32_t* osError) = 0;

    // Plain path: write one report, and read the next queued input report
    // with id `reportId` waiting at most timeoutMs (queued reports with other
    // ids are dropped). `received` gets the number of bytes delivered. On
    // timeout osError may carry the host's time-out code (0 when it has none).
    // Before writeReport sends, the host discards the input reports already
    // queued on the handle, without waiting: a late answer to an earlier
    // request must never be read as the answer to this one.
    virtual bool writeReport(HidHandle handle, const uint8_t* report, size_t length,
                             uint32_t* osError) = 0;
    virtual HidReadResult readReport(HidHandle handle, uint8_t reportId, uint8_t* report,
                                     size_t length, int timeoutMs, size_t* received,
                                     uint32_t* osError) = 0;

    // Classifies the osError of a failed open.
    virtual HidOpenFailure classifyOpenError(uint32_t osError) const {
        (void)osError;
        return HidOpenFailure::other;
    }

    // Whether this user may open the interface, judged without opening it
    // (the scan listing notes the ones it may not).
    virtual bool mayOpen(const HidInterfaceInfo& iface) const {
        (void)iface;
        return true;
    }

    // True when the osError of a failed report call means the device is
    // gone (unplugged, reset, rebound): no later call on the handle can work.
    virtual bool deviceGone(uint32_t osError) const {
        (void)osError;
        return false;
    }

    // Called when a search found an interface with the wanted keys but could
    // not open it (osError from open), once per device path, before the
    // search reports failure. A host may explain the failure in the log (the
    // hidraw backend points to the udev rule on "permission denied").
    virtual void explainOpenFailure(const HidInterfaceInfo& iface, uint32_t osError) {
        (void)iface;
        (void)osError;
    }
};

// A host in front of another one that passes every call on unchanged. A
// decorator (the wire recording) derives from it and overrides only the calls
// it adds to, so every query it leaves alone still reaches the host below.
class ForwardingHidHost : public HidHost {
  public:
    explicit ForwardingHidHost(HidHost& inner) : inner_(inner) {}

    std::vector<HidInterfaceInfo> enumerate() override { return inner_.enumerate(); }
    HidHandle open(const HidInterfaceInfo& iface, uint32_t* osError) override {
        return inner_.open(iface, osError);
    }
    void close(HidHandle handle) override { inner_.close(handle); }
    bool getInputReport(HidHandle handle, uint8_t* report, size_t length,
                        uint32_t* osError) override {
        return inner_.getInputReport(handle, report, length, osError);
    }
    bool setOutputReport(HidHandle handle, const uint8_t* report, size_t length,
                         uint32_t* osError) override {
        return inner_.setOutputReport(handle, report, length, osError);
    }
    bool writeReport(HidHandle handle, const uint8_t* report, size_t length,
                     uint32_t* osError) override {
        return inner_.writeReport(handle, report, length, osError);
    }
    HidReadResult readReport(HidHandle handle, uint8_t reportId, uint8_t* report, size_t length,
                             int timeoutMs, size_t* received, uint32_t* osError) override {
        return inner_.readReport(handle, reportId, report, length, timeoutMs, received, osError);
    }
    HidOpenFailure classifyOpenError(uint32_t osError) const override {
        return inner_.classifyOpenError(osError);
    }
    bool mayOpen(const HidInterfaceInfo& iface) const override { return inner_.mayOpen(iface); }
    bool deviceGone(uint32_t osError) const override { return inner_.deviceGone(osError); }
    void explainOpenFailure(const HidInterfaceInfo& iface, uint32_t osError) override {
        inner_.explainOpenFailure(iface, osError);
    }

  protected:
    HidHost& inner_;  // the host below
};

// The host in force. Before any is installed it is the platform's default
// backend (an empty host where the platform has none).
HidHost& hidHost();
// Installs a host (nullptr restores the platform default). Not owned.
void setHidHost(HidHost* host);
