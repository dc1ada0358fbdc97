// The register path copies each report on the stack: a register write or
// read of any framing allocates nothing per report. This test binary counts
// every allocation through the replaceable global operator new.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "hid/HidInterface.h"
#include "log/Log.h"
#include "tests/InstantDevice.h"
#include "tests/TestSupport.h"
#include "tlc/TlcConnection.h"

// AddressSanitizer brings its own operator new; replacing it there would mix
// its allocations with ours, so the count is taken in the plain build only.
#if defined(__SANITIZE_ADDRESS__)
#define TOUCHFW_COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TOUCHFW_COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef TOUCHFW_COUNT_ALLOCATIONS
#define TOUCHFW_COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<long> allocations{0};
}  // namespace

#if TOUCHFW_COUNT_ALLOCATIONS
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#endif

namespace {

class ReportAllocationTest : public testsupport::ProcessFixture {};

TEST_F(ReportAllocationTest, RegisterWritesAndReadsAllocateNothingPerReport) {
    if (!TOUCHFW_COUNT_ALLOCATIONS)
        GTEST_SKIP() << "allocations are counted in the build without AddressSanitizer";
    HidInterface* hid = getHidInterface();
    *hid = instantdevice::table();
    std::vector<uint8_t> data(4096, 0x5A);
    // Every level but Debug: a Debug line is one per register transfer, not per report.
    logLevel = 0x1E;
    for (const TlcFraming framing : {kTlcFramingV1, kTlcFramingV2, kTlcFramingV3}) {
        SCOPED_TRACE("framing version " + std::to_string(framing));
        TlcConnection connection;
        connection.protoType = framing;
        const long before = allocations.load();
        // A flash block's buffer write (dozens of reports) and reads of one and several chunks.
        EXPECT_EQ(connection.write(0x1000, data.data(), 4096, false), 0);
        EXPECT_EQ(connection.read(0x1000, data.data(), 1, false), 0);
        EXPECT_EQ(connection.read(0x1000, data.data(), 600, false), 0);
        EXPECT_EQ(allocations.load() - before, 0);
    }
}

}  // namespace
