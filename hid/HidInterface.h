// hid: the HID transport.
//
// Offers the HID interface table through which the register protocol
// reaches the device: open, close, write and read of one report (report id
// 0x0E), bound at start-up. Every call goes to the target of the family's
// report path, chosen from its framing row on every call: HidTarget for
// 65-byte reports, HidTargetFjordK8 for 268-byte ones (HidTarget.h, where
// the targets find the device by its four keys). Below the targets lie the
// host seam (HidHost.h, with the ForwardingHidHost that decorators derive
// from), the Linux hidraw backend (HidHostLinux.h) and its report descriptor
// parser (ReportDescriptor.h). Also here: the one-line hints on standard
// error when no device matches or a matching one may not be opened
// (OpenHints.h), and the wire recording of --record with its decorators of
// the host and the clock (RecordingHost.h) and its line format
// (WireRecording.h).
// Relies on: chip (family table, framing rows), log, and the host's HID stack
// (on Linux sysfs and /dev/hidrawN).
#pragma once

#include <cstdint>

#include "chip/Framing.h"
#include "hid/HidHost.h"

struct HidInterface {
    int (*open)(void* context);
    int (*close)(void* context);
    int (*write)(uint8_t* buffer, int length, void* context);
    int (*read)(uint8_t* buffer, int length, void* context);
    void* context;
};

constexpr uint8_t kHidReportId = 0x0E;

HidInterface* getHidInterface();
// True when all four operations are bound.
bool hidInterfaceConfigured();
// Binds the four operations to the target operations (done once at start-up).
void bindHidInterface();
// About the target of the family's report path: the last open failed only
// because another process holds the device; a report call failed because the
// device is gone (until the target is closed).
bool hidOpenRefusedInUse();
bool hidDeviceGone();
// Back to the unbound state and closes both process-wide targets (tests only).
void resetHidInterface();

// The scan run mode: lists every HID interface through a local, never
// opened HidTarget, and adds each one listed to `listed` when given.
// Returns the listing's result (always -1).
int listHidDevices(std::vector<HidInterfaceInfo>* listed = nullptr);
