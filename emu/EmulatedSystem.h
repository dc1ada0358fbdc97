// One emulated system for a test or for touchfw-emu: a chip of one family,
// a twin device, decoys, the emulated host installed as the process's HID
// host for the object's lifetime, and a virtual clock (the one in force if
// it is a VirtualClock, else an own one installed for the lifetime).
//
//   emu::EmulatedSystem sys(CHIP_FJORDK);
//   sys.chip().setVersionId({0x02, 0x00, 0x00, 0x00});
//   ... run a device operation ...
//   EXPECT_TRUE(sys.protocolErrors().empty());
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "emu/EmulatedChip.h"
#include "emu/EmulatedHost.h"
#include "sys/Clock.h"

namespace emu {

struct SystemOptions {
    bool decoys = true;  // keyboard, digitizer and other-usage collections
    bool twin = true;    // a second device with the same keys, enumerated later
    // Also set the chip type and profile, the device match settings and the
    // HID interface binding as the tool's start-up would (tests of the layers
    // below app); touchfw-emu leaves that to runMain.
    bool configureProcess = true;
};

class EmulatedSystem {
  public:
    explicit EmulatedSystem(int32_t type, SystemOptions options = SystemOptions());
    ~EmulatedSystem();
    EmulatedSystem(const EmulatedSystem&) = delete;
    EmulatedSystem& operator=(const EmulatedSystem&) = delete;

    EmulatedChip& chip() { return *chip_; }
    EmulatedChip* twin() { return twin_.get(); }
    EmulatedHost& host() { return *host_; }
    VirtualClock& clock() { return *clock_; }
    // Protocol errors of the chip and the twin.
    std::vector<std::string> protocolErrors() const;

  private:
    std::unique_ptr<VirtualClock> ownClock_;
    VirtualClock* clock_ = nullptr;
    std::unique_ptr<EmulatedChip> chip_;
    std::unique_ptr<EmulatedChip> twin_;
    std::unique_ptr<EmulatedHost> host_;
    HidHost* previousHost_ = nullptr;
};

// The chip family named by the last "--chip VALUE" pair of a command line
// (case-insensitive), fjordK when there is none or the name is unknown.
int32_t chipTypeFromArgs(int argc, char** argv);
// "<dir>/touchfw-emu-<family>.state"; dir is `stateDir` when given and
// non-empty, else ".".
std::string stateFilePath(int32_t type, const char* stateDir);

// What touchfw-emu and its virtual panel share. The value of the environment
// variable `name`; null when it is unset or empty.
const char* envValue(const char* name);
// Reads the state file into the chip; false (after saying why on standard
// error, unless `quiet`) when it does not read.
bool loadState(EmulatedChip& chip, const std::string& path, bool quiet = false);
// Adds the faults of $TOUCHFW_EMU_FAULT to the chip; false (after saying why
// on standard error) when the list is bad.
bool addFaultsFromEnv(EmulatedChip& chip);
// Appends the chip's transcript to the file at `path` (nothing when null).
void appendTranscript(EmulatedChip& chip, const char* path);
// Names each protocol error on standard error.
void printProtocolErrors(const std::vector<std::string>& errors);

}  // namespace emu
