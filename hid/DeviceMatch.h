// Device match settings: the four keys HidTarget::open copies at every open.
// Written once by the entry point from --vid/--pid/--usage/--usagepage and
// the chip family's defaults.
#pragma once

#include <cstdint>

struct DeviceMatchSettings {
    uint16_t vid;
    uint16_t pid;
    uint16_t usage;
    uint16_t usagePage;
};

extern DeviceMatchSettings deviceMatch;

// Back to all zero (tests only).
void resetDeviceMatch();
