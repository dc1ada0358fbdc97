// Device match settings: the four keys HidTarget::open copies at every open.
// Written once by the entry point from --vid/--pid/--usage/--usagepage and
// the chip family's defaults.
#pragma once

#include <cstdint>
#include <string>

struct DeviceMatchSettings {
    uint16_t vid;
    uint16_t pid;
    uint16_t usage;
    uint16_t usagePage;
    // When not empty, only interfaces at this device path are candidates.
    // Set from --path, and pinned to the node of the run's first successful
    // open so that every later open of the run reopens that same device.
    std::string path;
};

extern DeviceMatchSettings deviceMatch;

// The device path a path key leads to: a symbolic link (udev's stable names
// such as /dev/input/by-id/... are links) is resolved to the node it names.
// As given when it cannot be resolved (no such file, not a file path) and on
// Windows, whose device paths are compared as they are.
std::string devicePathOf(const std::string& path);

// Back to all zero and no path (tests only).
void resetDeviceMatch();
