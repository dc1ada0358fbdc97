// hid: the HID transport.
//
// Offers the HID interface table through which the register protocol
// reaches the device: open, close, write and read of one report (report id
// 0x0E; 65-byte reports on the standard path, 268 bytes for fjordK8), bound
// at start-up, the target being selected by the family on every call; the
// HidTarget classes that find the device by its four keys (HidTarget.h); the
// host seam below them (HidHost.h, with the ForwardingHidHost that
// decorators derive from) with the Linux hidraw backend
// (HidHostLinux.h) and its report descriptor parser (ReportDescriptor.h);
// the one-line hints on standard error when no device matches or a matching
// one may not be opened (OpenHints.h).
// the wire recording of --record, decorators of the host and the clock
// (RecordingHost.h), and its line format (WireRecording.h).
// Relies on: chip (family table), log, and the host's HID stack (on Linux
// sysfs and /dev/hidrawN).
#pragma once

#include <cstdint>

struct HidInterface {
    int (*open)(void* context);
    int (*close)(void* context);
    int (*write)(uint8_t* buffer, int length, void* context);
    int (*read)(uint8_t* buffer, int length, void* context);
    void* context;
};

constexpr uint8_t kHidReportId = 0x0E;
constexpr int kStandardReportSize = 65;
constexpr int kFjordK8ReportSize = 268;

HidInterface* getHidInterface();
// True when all four operations are bound.
bool hidInterfaceConfigured();
// Binds the four operations to the target operations (done once at start-up).
void bindHidInterface();
// About the target selected by the family's report length: the last open failed only
// because another process holds the device; a report call failed because the
// device is gone (until the target is closed).
bool hidOpenRefusedInUse();
bool hidDeviceGone();
// Back to the unbound state and closes both process-wide targets (tests only).
void resetHidInterface();

// The scan run mode: lists every HID interface through a local, never
// opened HidTarget. Returns the listing's result (always -1).
int listHidDevices();
