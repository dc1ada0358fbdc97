#include <gtest/gtest.h>

#include <random>

#include "hid/ReportDescriptor.h"
#include "tests/HidTestSupport.h"

namespace {

using hidtest::Bytes;

struct Expected {
    uint16_t usagePage;
    uint16_t usage;
    uint16_t inputLength;
    uint16_t outputLength;
};

struct DescriptorCase {
    const char* name;
    Bytes descriptor;
    std::vector<Expected> collections;
    bool complete;
};

ReportDescriptorInfo parse(const Bytes& bytes) {
    // An exact-size heap copy, so a read past the end is caught by AddressSanitizer.
    std::vector<uint8_t> exact(bytes);
    exact.shrink_to_fit();
    return parseReportDescriptor(exact.data(), exact.size());
}

void expectCollections(const ReportDescriptorInfo& info, const std::vector<Expected>& expected,
                       const char* name) {
    ASSERT_EQ(info.collections.size(), expected.size()) << name;
    for (size_t i = 0; i < expected.size(); ++i) {
        const HidCollectionInfo& c = info.collections[i];
        EXPECT_EQ(c.usagePage, expected[i].usagePage) << name << " #" << i;
        EXPECT_EQ(c.usage, expected[i].usage) << name << " #" << i;
        EXPECT_EQ(c.inputReportLength, expected[i].inputLength) << name << " #" << i;
        EXPECT_EQ(c.outputReportLength, expected[i].outputLength) << name << " #" << i;
    }
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(HidReportDescriptorTest, TopLevelCollections) {
    const DescriptorCase cases[] = {
        {"touch and vendor",
         hidtest::touchAndVendorDescriptor(),
         {{0x000D, 0x0004, 7, 0}, {0xFFF0, 0x0001, 65, 65}},
         true},
        {"268-byte vendor reports",
         hidtest::touchAndVendorDescriptor(267),
         {{0x000D, 0x0004, 7, 0}, {0xFFF0, 0x0001, 268, 268}},
         true},
        {"keyboard", hidtest::keyboardDescriptor(), {{0x0001, 0x0006, 9, 2}}, true},
        {"mouse (nested collection)", hidtest::mouseDescriptor(), {{0x0001, 0x0002, 4, 0}}, true},
        {"two devices' descriptors back to back",
         concat(hidtest::keyboardDescriptor(), hidtest::mouseDescriptor()),
         {{0x0001, 0x0006, 9, 2}, {0x0001, 0x0002, 4, 0}},
         true},
        {"extended usage carries its own page",
         {0x05, 0x01, 0x0B, 0x01, 0x00, 0xF0, 0xFF, 0xA1, 0x01, 0xC0},
         {{0xFFF0, 0x0001, 0, 0}},
         true},
        {"usage page declared after the usage applies at the collection",
         {0x09, 0x01, 0x06, 0x00, 0xFF, 0xA1, 0x01, 0xC0},
         {{0xFF00, 0x0001, 0, 0}},
         true},
        {"push and pop restore the usage page",
         {0x06, 0xF0, 0xFF, 0xA4, 0x05, 0x01, 0xB4, 0x09, 0x01, 0xA1, 0x01, 0xC0},
         {{0xFFF0, 0x0001, 0, 0}},
         true},
        {"long item data is not taken for items",
         {0xFE, 0x02, 0x10, 0xA1, 0x01, 0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0xC0},
         {{0x0001, 0x0002, 0, 0}},
         true},
        {"collection without usage",
         {0x06, 0x00, 0xFF, 0xA1, 0x01, 0xC0},
         {{0xFF00, 0x0000, 0, 0}},
         true},
        {"stray end collections do not underflow",
         {0xC0, 0xC0, 0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0xC0, 0xC0, 0x09, 0x06, 0xA1, 0x01, 0xC0},
         {{0x0001, 0x0002, 0, 0}, {0x0001, 0x0006, 0, 0}},
         true},
        {"unterminated collection is still reported",
         {0x05, 0x0D, 0x09, 0x04, 0xA1, 0x01, 0xA1, 0x02},
         {{0x000D, 0x0004, 0, 0}},
         true},
        {"huge report size and count saturate",
         {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF,
          0x97, 0xFF, 0xFF, 0xFF, 0xFF, 0x81, 0x02, 0x81, 0x02, 0xC0},
         {{0x0001, 0x0002, 0xFFFF, 0}},
         true},
        {"long item claiming more than is left",
         {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0xC0, 0xFE, 0xFF, 0x00, 0xA1, 0x01},
         {{0x0001, 0x0002, 0, 0}},
         false},
        {"long item cut inside its header", {0xFE, 0x05}, {}, false},
        {"four-byte item cut short",
         {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0xC0, 0x0B, 0x01, 0x00},
         {{0x0001, 0x0006, 0, 0}},
         false},
        {"empty descriptor", {}, {}, true},
    };
    for (const DescriptorCase& c : cases) {
        const ReportDescriptorInfo info = parse(c.descriptor);
        expectCollections(info, c.collections, c.name);
        EXPECT_EQ(info.complete, c.complete) << c.name;
    }
}

TEST(HidReportDescriptorTest, NullDataIsEmpty) {
    const ReportDescriptorInfo info = parseReportDescriptor(nullptr, 100);
    EXPECT_TRUE(info.collections.empty());
}

// Every prefix of a real descriptor: never a read past the end, never a
// collection that is not in the whole descriptor, and a cut inside an item
// is reported.
TEST(HidReportDescriptorTest, EveryTruncationStaysInBounds) {
    const Bytes whole = hidtest::touchAndVendorDescriptor();
    const ReportDescriptorInfo full = parse(whole);
    ASSERT_EQ(full.collections.size(), 2u);
    size_t truncatedCount = 0;
    for (size_t n = 0; n <= whole.size(); ++n) {
        const ReportDescriptorInfo info = parse(Bytes(whole.begin(), whole.begin() + n));
        ASSERT_LE(info.collections.size(), full.collections.size()) << n;
        for (size_t i = 0; i < info.collections.size(); ++i) {
            EXPECT_EQ(info.collections[i].usagePage, full.collections[i].usagePage) << n;
            EXPECT_EQ(info.collections[i].usage, full.collections[i].usage) << n;
        }
        if (!info.complete)
            ++truncatedCount;
    }
    // Cuts between items are complete descriptors; cuts inside a multi-byte item are not.
    EXPECT_GT(truncatedCount, 20u);
    EXPECT_LT(truncatedCount, whole.size());
}

// Random bytes: the parser must stay in bounds whatever it is given.
TEST(HidReportDescriptorTest, RandomBytesStayInBounds) {
    std::mt19937 rng(12345);
    for (int round = 0; round < 2000; ++round) {
        Bytes bytes(rng() % 64);
        for (uint8_t& b : bytes)
            b = static_cast<uint8_t>(rng());
        const ReportDescriptorInfo info = parse(bytes);
        // Each top-level collection needs its own Collection item (2 bytes).
        EXPECT_LE(info.collections.size() * 2, bytes.size());
    }
}

}  // namespace
