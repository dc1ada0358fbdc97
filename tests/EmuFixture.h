// Test support for everything that runs against the chip emulator.
//
// EmuFixture: a ProcessFixture with an emulated system of one family. At
// TearDown it fails the test when the chip (or the twin) noticed a protocol
// error that the test did not expect, and shows the end of the transcript.
//
// emutest::Wire: hand-built frames of the three register framings, sent
// straight through the emulated host, for tests of the emulator itself.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "emu/Emulator.h"
#include "tests/TestSupport.h"

namespace emutest {

using Bytes = std::vector<uint8_t>;

// Register frames laid out byte by byte (65 bytes for versions 1 and 2,
// 268 for version 3), with the report id at byte 0.
Bytes v1Write(uint32_t addr, const Bytes& payload, uint8_t more = 0, uint8_t seq = 0);
Bytes v1Read(uint32_t addr, uint32_t len);
Bytes v2Write(uint32_t addr, const Bytes& payload, uint8_t more = 0, uint8_t seq = 0);
Bytes v2Read(uint32_t addr, uint32_t len);
Bytes v3Write(uint32_t addr, const Bytes& payload);
Bytes v3Read(uint32_t addr, uint32_t len);
// A raw command report padded to `size` bytes.
Bytes rawReport(const Bytes& bytes, size_t size);
// A single raw command (0x10 switch to patch, 0x11 enter update, 0x13 restart).
Bytes rawCommand(uint8_t sub, size_t size);
// A flash block command: 11 bytes for 5410/5415R (address bits 23..8, 16-bit
// checksum), 15 bytes for the fjord family (32-bit address and checksum).
Bytes flashCommand(int32_t type, uint32_t len, uint32_t addr, uint32_t checksum, size_t size);
// Block checksums as the chip verifies them: 5410/5415R big-endian 16-bit
// words summed in 16 bits, fjord family little-endian words summed in 32
// bits; an odd block's last word has a zero second byte.
uint32_t blockChecksum(int32_t type, const Bytes& data);
// Register commands as each family encodes them.
Bytes fjordCmd(uint8_t code);
Bytes cmd5410(uint8_t code);
Bytes cmd5415R(uint8_t code);

// Drives the emulated host like a tool would, one report at a time.
class Wire {
  public:
    explicit Wire(emu::EmulatedSystem& sys);
    ~Wire();
    HidHandle handle() const { return handle_; }

    // Sends one report on the chip's path; false when the host call failed.
    bool send(const Bytes& report, uint32_t* osError = nullptr);
    // Receives one input report on the chip's path.
    HidReadResult receive(Bytes* report, uint32_t* osError = nullptr);

    // A register read in the family's framing (one request, chunks of at
    // most 60 or 256 bytes); fails the test on a transfer failure or a
    // wrong length field.
    Bytes read(uint32_t addr, size_t len);
    // A register write in the family's framing; false when a report failed.
    bool write(uint32_t addr, const Bytes& data);
    // The answer's length field and data, without checks.
    bool rawRead(uint32_t addr, uint32_t len, uint32_t* lengthField, Bytes* data);

  private:
    emu::EmulatedSystem& sys_;
    HidHandle handle_ = kInvalidHidHandle;
};

}  // namespace emutest

class EmuFixture : public testsupport::ProcessFixture {
  protected:
    emu::EmulatedSystem& startEmu(int32_t type, emu::SystemOptions options = {});
    void TearDown() override;

    emu::EmulatedSystem& sys() { return *sys_; }
    emu::EmulatedChip& chip() { return sys_->chip(); }
    // Checks that the protocol errors recorded so far contain, one each and
    // in order, the given texts; then forgets them.
    void expectProtocolErrors(const std::vector<std::string>& texts);

    std::unique_ptr<emu::EmulatedSystem> sys_;
};
