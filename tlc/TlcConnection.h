// tlc: the register protocol.
//
// Offers TlcConnection: opening and closing the device through the HID
// interface (openTLC retries three times), raw reports (write0/read0), and
// register writes and reads framed into HID output/input reports by the
// framing row (chip/Framing.h) of the chip profile's protoType: one framed
// write and one framed read serve all three versions. Long transfers are
// split here; there are no retries or waits inside the framing (the device
// operations retry around it). getBasicProperties reads the chip's identity
// (product id text, version id, sensor id) into the connection.
// Relies on: hid (the HID interface table), chip (chip profile, framing
// rows), log, sys (sleepMs).
#pragma once

#include <cstdint>

#include "chip/Framing.h"

// Largest register address a framing version carries: 16 bits in version 1,
// 32 bits in versions 2 and 3.
constexpr uint32_t tlcMaxAddress(int32_t protoType) {
    return framingRow(protoType) ? framingRow(protoType)->maxAddress() : 0xFFFFFFFF;
}

// The register-protocol connection. Build one as a local object per device
// operation: openTLC(), any number of write/read/write0/read0, close().
// The object owns no device resource; the HID target is reached through
// getHidInterface().
//
// Return codes of write/read and the workers: 0 success; -1 length too large,
// unsupported protoType or a failed multi-report write; -2 the read request
// could not be sent; -3 the response could not be received; -4 the response's
// length field differs from the requested length. read() folds every chunk
// failure into -1.
class TlcConnection {
  public:
    // protoType is copied from chipProfile.protoType.
    TlcConnection();
    virtual ~TlcConnection() = default;

    TlcConnection(const TlcConnection&) = delete;
    TlcConnection& operator=(const TlcConnection&) = delete;

    // Up to three open() attempts with 400 ms waits after each failure; 0 or
    // -1. No further attempt when another process holds the device.
    int openTLC();
    // One attempt: 0, -1 (HID interface not configured), -2 (open failed).
    int open();
    // Failures are logged only.
    void close();
    // True when a report call failed because the device is gone: nothing
    // more can be sent to it or read from it on this connection.
    bool deviceGone() const;

    // Writes len bytes from data to the registers starting at addr (only the
    // low 16 bits in version 1), split into reports of the framing's payload.
    // logTransfer asks for the success line.
    int write(uint32_t addr, const uint8_t* data, int32_t len, bool logTransfer);
    // write() of a byte sequence of the chip profile.
    template <typename Seq>
    int writeSeq(uint32_t addr, const Seq& seq, bool logTransfer) {
        return write(addr, seq.data, static_cast<int32_t>(seq.size()), logTransfer);
    }
    // Reads len bytes from the registers starting at addr into buffer, in
    // chunks of the framing's read chunk.
    int read(uint32_t addr, uint8_t* buffer, int32_t len, bool logTransfer);
    // One read request of at most the framing's read chunk and its answer.
    int readFramed(uint32_t addr, uint8_t* buffer, int32_t len, bool logTransfer);

    // Sends one prepared report of `length` bytes (byte 0 becomes the report
    // id in the HID layer): 0, -1 (HID interface not configured), -2 (the
    // write failed).
    int write0(const uint8_t* buffer, int32_t length, bool logTransfer);
    // Receives one input report of `length` bytes: 0, -1 (HID interface not
    // configured), -2 (the read failed).
    int read0(uint8_t* buffer, int32_t length);

    // Reads product id, version id and sensor id (five attempts each, 20 ms
    // apart) into pid, vid and sensorId. 0, or -1/-2/-3 when the product id,
    // version id or sensor id could not be read; values read before a
    // failure stay in the object.
    int getBasicProperties();

    uint8_t sensorId = 16;
    char pid[9] = {};     // product id text, NUL-terminated
    uint8_t vid[5] = {};  // 4 version id bytes and a terminating zero
    int32_t protoType;
};
