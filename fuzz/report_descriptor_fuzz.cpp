// The HID report descriptor parser: any bytes, read only inside them.
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "hid/ReportDescriptor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact-size heap copy, so that a read one byte past the end is caught.
    std::vector<uint8_t> copy(data, data + size);
    const ReportDescriptorInfo info = parseReportDescriptor(copy.data(), copy.size());
    // Every top-level collection takes at least its one-byte Collection item.
    FUZZ_CHECK(info.collections.size() <= size);
    const ReportDescriptorInfo none = parseReportDescriptor(nullptr, size);
    FUZZ_CHECK(none.collections.empty());
    return 0;
}
