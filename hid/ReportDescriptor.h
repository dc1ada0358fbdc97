// HID report descriptor parsing: the top-level collections a descriptor
// declares, each with its usage page, usage and report lengths. Used by the
// hidraw backend, which gets the raw descriptor from sysfs and has to find
// the vendor collection among the touch, mouse or keyboard collections that
// share one node.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct HidCollectionInfo {
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    // Longest input / output report of the collection in bytes, one byte for
    // the report id included (0 when the collection has no such report).
    uint16_t inputReportLength = 0;
    uint16_t outputReportLength = 0;
};

struct ReportDescriptorInfo {
    std::vector<HidCollectionInfo> collections;  // top-level collections in order
    bool complete = true;                        // false when the descriptor ends inside an item
};

// Parses `size` bytes at `data`. Never reads outside them: a truncated item
// ends the parse and the collections seen so far are kept.
ReportDescriptorInfo parseReportDescriptor(const uint8_t* data, size_t size);
