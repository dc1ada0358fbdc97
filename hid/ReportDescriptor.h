// HID report descriptor parsing: the top-level collections a descriptor
// declares, each with its usage page, usage and report lengths. Used by the
// hidraw backend, which gets the raw descriptor from sysfs and has to find
// the vendor collection among the touch, mouse or keyboard collections that
// share one node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hid/HidHost.h"

struct ReportDescriptorInfo {
    std::vector<HidCollectionInfo> collections;  // top-level collections in order
    bool complete = true;                        // false when the descriptor ends inside an item
};

// Parses `size` bytes at `data`. Never reads outside them: a truncated item
// ends the parse and the collections seen so far are kept.
ReportDescriptorInfo parseReportDescriptor(const uint8_t* data, size_t size);
