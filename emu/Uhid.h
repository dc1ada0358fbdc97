// The emulated chip as a real HID device on Linux, through /dev/uhid
// (touchfw-emu --uhid): the kernel's HID core, hid-generic and hidraw see a
// device with the family's keys, and touchfw reaches it through its real
// backend. What arrives from the kernel is answered by an EmulatedChip, the
// same chip (state file, fault list, transcript) as on the emulated host:
//
//   UHID_OUTPUT            an output report (HIDIOCSOUTPUT, write()): to the chip;
//                          on the 268-byte path the chip's answers go back
//                          at once as input reports (UHID_INPUT2)
//   UHID_GET_REPORT        input report 0x0E on request (HIDIOCGINPUT): the
//                          chip's answer in UHID_GET_REPORT_REPLY
//   UHID_SET_REPORT        an output report sent as SET_REPORT: to the chip,
//                          acknowledged with UHID_SET_REPORT_REPLY
//   UHID_START/STOP/OPEN/CLOSE   noted in the transcript
//
// Time is real here: the chip's clock follows the monotonic clock, so its
// acknowledgements and frames appear after real milliseconds. A late answer
// (fault late-answer) goes out kUhidLateAnswerMs after the request, when the
// host has stopped waiting for it, unless the host sent another report
// first. Host-side faults: a failed or dropped output report is lost (the
// kernel has already told the writer it was sent; a SET_REPORT is answered
// with EIO when it fails), a failed input report is answered with EIO (268:
// never sent), and disappear removes the device (UHID_DESTROY).
//
// Relies on: the Linux uhid interface (linux/uhid.h), the emulated chip.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "emu/EmulatedChip.h"
#include "hid/HidHost.h"
#include "sys/Clock.h"

namespace emu {

// Report id of the touch collection's report.
constexpr uint8_t kUhidTouchReportId = 0x01;
// After a read request whose answer is to come late, the answer goes out
// this long after the request was taken in: the host's wait (which starts
// about then) has expired, and a host that retries after a pause (30 ms for
// a register check) has not asked again yet.
constexpr uint64_t kUhidLateAnswerMs = kHidReadTimeoutMs + 15;

// The device's report descriptor: a touch screen (digitizer page 0x0D, usage
// 0x04, report 1: tip switch, X, Y) and the family's vendor collection (its
// usage page, usage 0x0001) with input and output report 0x0E of the
// family's report size (65 bytes, 268 for the 268-byte path), report id
// included.
std::vector<uint8_t> uhidReportDescriptor(int32_t type);

class UhidDevice {
  public:
    // `fd` is /dev/uhid opened for reading and writing (in tests one end of
    // a socket pair); not owned. The chip's clock is `clock`, advanced to
    // `nowMs` (milliseconds since any fixed point; the monotonic clock when
    // unset) before each event.
    UhidDevice(int fd, EmulatedChip& chip, VirtualClock& clock,
               std::function<uint64_t()> nowMs = {});
    ~UhidDevice();
    UhidDevice(const UhidDevice&) = delete;
    UhidDevice& operator=(const UhidDevice&) = delete;

    // UHID_CREATE2 with the family's keys (USB bus), name "touchfw-emu
    // <family>" and `uniq` (which the device's uevent shows as HID_UNIQ).
    bool create(const std::string& uniq, std::string* error);
    // UHID_DESTROY, once; nothing more is sent afterwards.
    void destroy();
    bool live() const { return created_ && !destroyed_; }
    bool started() const { return started_; }

    // Reads one event and answers it. False when the read failed or the
    // descriptor was closed (`error` says why).
    bool handleEvent(std::string* error);
    // Milliseconds until a late answer is due, -1 when none is waiting.
    int64_t msUntilDue();
    // Sends the late answer when it is due.
    void sendDue();

  private:
    void syncClock();
    bool send(const void* event, std::string* error = nullptr);
    void output(const uint8_t* data, size_t size, const uint32_t* replyId);
    void getReport(uint32_t id, uint8_t reportNumber, uint8_t reportType);
    void sendInput(const std::vector<uint8_t>& report);
    void sendQueuedAnswers();
    // The host-side fault of an input report; true when it failed (the
    // device may be gone).
    bool inputFault(const char* what);

    int fd_;
    EmulatedChip& chip_;
    VirtualClock& clock_;
    std::function<uint64_t()> nowMs_;
    bool created_ = false;
    bool destroyed_ = false;
    bool started_ = false;
    uint64_t lateDueMs_ = 0;
    bool lateWaiting_ = false;
};

// True when the command line asks for the uhid mode (--uhid).
bool uhidRequested(int argc, char** argv);
// touchfw-emu --uhid [--chip FAMILY]: creates the virtual panel and serves
// it until SIGTERM or SIGINT, then removes it and saves the chip's state.
// Environment as for touchfw-emu (state folder, faults, transcript). The
// process's exit status.
int runUhid(int argc, char** argv);

}  // namespace emu
