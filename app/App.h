// app: the front end.
//
// Offers runMain(): one command line in, one job run, the exit status out.
// It parses the options, refuses incomplete requests, selects the chip
// family, configures the log, publishes the device match settings and the
// HID interface, runs one run mode and prints its result.
// Relies on: every layer below (ops, fw, cfg for the jobs; hid, chip, log, sys).
#pragma once

#include <cstdint>

constexpr const char* kAppVersion = "0.11.0.0";
// Sub-firmware types the update flashes when --fwflag is not given (bits 2 and 3).
constexpr uint32_t kDefaultFwFlag = 0x0C;

extern int32_t defaultPid;
extern int32_t defaultUsagePage;

// Writes defaultPid and defaultUsagePage from the chip type's family row; -1
// and nothing written for an unknown chip type.
int setDeviceDefaults(int32_t type);

// The whole program; the result is the process exit status.
int runMain(int argc, char** argv);

// Back to the state before the first run: option table, chip type and
// profile, device defaults and match settings, log configuration and HID
// interface (tests only).
void resetProcessState();
