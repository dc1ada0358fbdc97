// HID targets: find the device's vendor collection by its four keys (vendor
// id, product id, usage page, usage) among the interfaces the HID host
// enumerates, keep its handle while open, and move single reports through it.
// HidTarget uses the 65-byte standard path (input report on request, output
// report); HidTargetFjordK8 uses 268-byte reports written and read on the
// handle. Matching, listing and logging live here, above the host seam, so
// they behave the same on every host.
#pragma once

#include <cstdint>
#include <string>

#include "hid/HidHost.h"

class HidTarget {
  public:
    HidTarget() = default;
    HidTarget(const HidTarget&) = delete;
    HidTarget& operator=(const HidTarget&) = delete;

    // With listOnly false: finds the first interface, in host order, whose
    // four keys equal vid/pid/usagePage/usage exactly, opens it, stores the
    // handle in handleOut and returns 0; -1 when none matched (or none of the
    // matching ones could be opened). With listOnly true: prints one console
    // line per interface that could be queried, opens nothing, leaves
    // handleOut untouched and returns -1.
    virtual int findMathingDevice(HidHandle* handleOut, bool listOnly);
    // Does not close: the process-wide targets outlive the host objects at
    // exit, and the system releases the handle then.
    virtual ~HidTarget() = default;

    // Copies the keys from deviceMatch, then finds and opens the device
    // unless it is open already. 0 when open afterwards, -1 otherwise. The
    // first successful open of the run pins deviceMatch.path to the opened
    // node (the node a given path led to), so that every later open of the
    // run reopens that same device or fails. A search that opens a device
    // names on standard error the matching devices it passed over and the
    // others with the same keys (once per run).
    int open();
    // Closes the handle if open. Always 0.
    int close();
    // True when the last open failed only because another process holds
    // every matching device (the console was told so).
    bool openRefusedInUse() const { return openRefusedInUse_; }
    // True when a report call on the open handle failed because the device
    // is gone; cleared by close.
    bool deviceGone() const { return deviceGone_; }
    // The scan listing, each interface listed also added to `listed` when
    // given; returns findMathingDevice's result (-1).
    int listDevices(std::vector<HidInterfaceInfo>* listed = nullptr);

    // One report on the target's path; here the standard path, 65-byte
    // reports. 0, -1 length above 65 (or negative), -2 null buffer, -3 the
    // host call failed.
    virtual int read(uint8_t* buffer, int length);
    virtual int write(const uint8_t* buffer, int length);

    bool isOpen() const { return handle != kInvalidHidHandle; }

    HidHandle handle = kInvalidHidHandle;
    uint16_t pid = 0;
    uint16_t usage = 0;
    uint16_t usagePage = 0;
    uint16_t vid = 0;

  protected:
    // The search shared by both classes; `fn` names the caller in the log.
    // On success *found is set to the matched interface.
    int searchDevice(const char* fn, HidHandle* handleOut, bool listOnly, HidInterfaceInfo* found,
                     std::vector<HidInterfaceInfo>* listed = nullptr);
    // Notes a failed report call: sets deviceGone() when the host says the
    // device is gone.
    void noteTransferError(uint32_t osError);

  private:
    std::string openedPath_;  // node of the last successful search
    bool openRefusedInUse_ = false;
    bool deviceGone_ = false;
};

class HidTargetFjordK8 : public HidTarget {
  public:
    // As the base, with two extra Debug lines: one at entry, and the report
    // lengths of the matched interface after the success line.
    int findMathingDevice(HidHandle* handleOut, bool listOnly) override;

    // 268-byte path: write one report, read the next queued report with id
    // 0x0E waiting at most kHidReadTimeoutMs. 0, -1 length above 268 (or
    // negative), -2 null buffer, -3 the host call failed or the wait expired.
    int read(uint8_t* buffer, int length) override;
    int write(const uint8_t* buffer, int length) override;
};

// The two process-wide targets used by the HID interface operations.
extern HidTarget hidTarget;
extern HidTargetFjordK8 hidTargetFjordK8;
