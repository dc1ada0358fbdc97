// A device behind the HID interface table that takes every report and
// answers a read request at once with the length it asked for (framing
// versions 1 and 2 carry it in bytes 3 and 4 of the answer, version 3 in
// bytes 10 and 11). It allocates and records nothing, so the allocation
// guard and the benchmarks measure only the tool's own work.
#pragma once

#include <cstdint>

#include "hid/HidInterface.h"

namespace instantdevice {

inline int requestedLength = 0;

// The framing row of a report of `length` bytes as the tool sends it: only
// the long path sends whole reports.
inline const Framing& rowOf(int length) {
    return *framingRow(length == kLongReportSize ? kTlcFramingV3 : kTlcFramingV2);
}

inline int takeReport(uint8_t* report, int length, void*) {
    // A short request ends with its length field.
    const int at = length == kLongReportSize ? rowOf(length).header - 2 : length - 2;
    requestedLength = report[at] << 8 | report[at + 1];
    return 0;
}

inline int answerReport(uint8_t* report, int length, void*) {
    const int at = rowOf(length).answerLengthAt;
    report[at] = static_cast<uint8_t>(requestedLength >> 8);
    report[at + 1] = static_cast<uint8_t>(requestedLength);
    return 0;
}

inline int succeed(void*) {
    return 0;
}

// The interface table entries of the device.
inline HidInterface table() {
    return HidInterface{succeed, succeed, takeReport, answerReport, nullptr};
}

}  // namespace instantdevice
