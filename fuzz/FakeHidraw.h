// A Linux hidraw host for the fuzz targets: the tool's hidraw backend runs
// with node operations (ioctl, poll, read, write) fed by the fuzzer, and its
// one interface is the vendor collection the tool looks for (whatever the
// device match settings say). Covers the standard path (input report on
// request, with the fall-back to the report queue when the kernel refuses
// the request) and the 268-byte path (poll and read with report ids, short
// and long reads).
//
// Control bytes drive the node:
//   input-report request: AnswerKind (DeviceSession.h; fail: EPIPE); with
//                         b & 7 == 7: ENOTTY, the kernel lacks the request
//   poll:  0 input ready, 1 nothing within the wait, 2 hang-up, 3 EINTR
//   read:  0 a well-formed answer, 1 u16 count (% 600) raw bytes,
//          2 EAGAIN, 3 a report of another collection (id 1)
// Past the end of the input every poll reports a time-out and every request
// fails. Every report the reader accepts is added to deliveries().
#pragma once

#include <cstdint>
#include <memory>

#include "fuzz/FuzzSupport.h"

class HidHost;

namespace fuzz {

class FakeHidraw {
  public:
    // Installs the host (setHidHost) for the object's lifetime. Only one at a time.
    FakeHidraw(ByteReader& in, uint8_t writeFailEvery);
    // Closes the tool's HID targets on this host and unbinds the HID
    // interface, then restores the default host.
    ~FakeHidraw();
    FakeHidraw(const FakeHidraw&) = delete;
    FakeHidraw& operator=(const FakeHidraw&) = delete;

  private:
    std::unique_ptr<HidHost> host_;
};

}  // namespace fuzz
