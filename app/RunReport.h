// The end of a run for the people and scripts that started it: the closing
// line on standard error that says why a run failed (or what a run that
// wrote nothing found), and the --json result object on standard output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hid/HidHost.h"

// What the run did, filled by the entry point and its run modes as they go.
struct RunRecord {
    std::string mode = "none";  // the run mode (docs/RESULT-JSON.md lists them)
    std::string job;            // the job in a person's words ("getting the PID")
    bool deviceUsed = false;    // the run mode talks to the chip
    // A property read: its name and value as the console shows it.
    std::string propertyName;
    std::string propertyText;
    int64_t propertyNumber = -1;  // sensorid and cfgver
    // A register read or write, or a command sent.
    bool hasRegister = false;
    uint32_t address = 0;
    std::vector<uint8_t> bytes;
    bool bytesValid = false;                   // read: the bytes came from the chip
    std::vector<HidInterfaceInfo> interfaces;  // the scan listing
    uint64_t startMs = 0;
};

RunRecord& runRecord();

// --json anywhere on the command line: standard output is set aside for the
// result object, and whatever the run prints there is dropped.
bool jsonRequested(int argc, char** argv);
void divertStandardOutput();

// The closing line on standard error; with --json, also the result object.
// `result` is the exit status.
void finishRun(int result);

// Back to a run that has recorded nothing (tests only).
void resetRunRecord();
