// chip: the register framings.
//
// Offers the three framings a family's registers are reached through, as
// data: how wide an address is, how long the header and the reports are, how
// much a write report and a read request carry, and where an answer's
// length and data sit. The register protocol (tlc), the HID layer's choice of
// report path, the emulated chip's frame decoder and the test fakes all read
// these rows; the family table names a family's row by its version.
// Relies on: nothing but the C++ standard library.
#pragma once

#include <cstdint>

// Report lengths on the wire, report id included: the standard path (output
// report, input report on request) and the long path (written and read on
// the handle).
constexpr int kStandardReportSize = 65;
constexpr int kLongReportSize = 268;

// The framing versions (a family's `framing`, the profile's protoType).
enum TlcFraming : int32_t {
    kTlcFramingV1 = 1,
    kTlcFramingV2 = 2,
    kTlcFramingV3 = 3,
};

// A register frame: byte 0 report id, 1 frame marker, 2 more-follows flag, 3
// sequence number, 4 count of the bytes after it, 5 operation, 6 on the
// address (big-endian, addressBytes wide) and the 16-bit length, then a
// write's payload. An answer carries its 16-bit length at answerLengthAt and
// its data at answerDataAt.
struct Framing {
    int32_t version;
    int addressBytes;   // 2: only the low 16 bits of an address go out
    int header;         // bytes before a write's payload; a read request's length
    int writePayload;   // most bytes one write report carries
    int readChunk;      // most bytes one read request asks for
    int reportSize;     // kStandardReportSize or kLongReportSize
    bool wholeReports;  // every report goes out at reportSize, a write in one
                        // report a chunk, with bytes 2 to 4 zero
    int answerLengthAt;
    int answerDataAt;
    const char* writeName;  // names of the transfers in the log
    const char* readName;

    bool longReports() const { return reportSize == kLongReportSize; }
    uint32_t maxAddress() const { return addressBytes == 2 ? 0xFFFFu : 0xFFFFFFFFu; }
    uint32_t wireAddress(uint32_t addr) const { return addr & maxAddress(); }
};

inline constexpr Framing kFramings[] = {
    {kTlcFramingV1, 2, 10, 55, 60, kStandardReportSize, false, 3, 5, "TlcConnection::writeV1",
     "TlcConnection::readV1"},
    {kTlcFramingV2, 4, 12, 53, 60, kStandardReportSize, false, 3, 5, "TlcConnection::writeV2",
     "TlcConnection::readV2"},
    {kTlcFramingV3, 4, 12, 256, 256, kLongReportSize, true, 10, 12, "TlcConnection::writeV3",
     "TlcConnection::readV3"},
};

// The row of a framing version; nullptr for any other value.
constexpr const Framing* framingRow(int32_t version) {
    for (const Framing& f : kFramings) {
        if (f.version == version)
            return &f;
    }
    return nullptr;
}

// The longest report any framing sends.
constexpr int kLargestReportSize = kLongReportSize;
