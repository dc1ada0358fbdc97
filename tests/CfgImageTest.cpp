#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "tests/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

class CfgImageTest : public testsupport::ProcessFixture {
  protected:
    int32_t loadText(CfgImage& image, const std::string& content) {
        const std::string path = dir_.file("sample.cfg");
        testsupport::writeFile(path, content);
        return image.load(path.c_str());
    }

    // "0x00, 0x01, ..." with `count` tokens whose values are index & 0xFF.
    static std::string tokens(size_t count) {
        std::string s;
        char token[8];
        for (size_t i = 0; i < count; ++i) {
            std::snprintf(token, sizeof token, "0x%02X,", static_cast<unsigned>(i & 0xFF));
            s += token;
            s += (i % 16 == 15) ? "\n" : " ";
        }
        return s;
    }

    testsupport::TempDir dir_;
};

TEST_F(CfgImageTest, MarkersAndDigits) {
    struct Case {
        const char* name;
        std::string content;
        Bytes bytes;  // the parsed bytes; everything after them is zero
    };
    const Case cases[] = {
        {"tokens and commas", "0x01,0x02,0xA0", {0x01, 0x02, 0xA0}},
        {"lines and blanks", "0x10, 0x20,\r\n\t0x30\n", {0x10, 0x20, 0x30}},
        {"case does not matter", "0XaB 0xAb 0xab", {0xAB, 0xAB, 0xAB}},
        {"one digit: the comma counts as 0", "0x5,0x01", {0x50, 0x01}},
        {"three digits: the third is ignored", "0x123 0x45", {0x12, 0x45}},
        {"not a digit in the high place", "0xg1 0x01", {0x01, 0x01}},
        {"a word with an x adds a byte", "box 0x10", {0x00, 0x10}},
        {"a marker followed by a marker", "xx12", {0x01, 0x12}},
        {"digits past the end count as 0", "0x10,0x1", {0x10, 0x10}},
        {"marker as the last character", "0x10,0x", {0x10, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CfgImage image;
        ASSERT_EQ(loadText(image, c.content), 0);
        ASSERT_TRUE(image.loaded);
        ASSERT_EQ(image.cfgSize, 4096u);
        ASSERT_EQ(image.getCfgData(), image.cfgData.data());
        Bytes expected = c.bytes;
        expected.resize(4096, 0);
        EXPECT_EQ(image.cfgData, expected);
        EXPECT_EQ(image.getCfgVersion(), c.bytes[0]);
    }
}

TEST_F(CfgImageTest, TooFewMarkers) {
    struct Case {
        std::string content;
        const char* message;
    };
    const Case cases[] = {
        {"", "<CfgImage::load> Cfg file error. Valid data count is -1."},
        {"12, 34, 56", "<CfgImage::load> Cfg file error. Valid data count is -1."},
        {"0x12", "<CfgImage::load> Cfg file error. Valid data count is 0."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        log_->clear();
        CfgImage image;
        EXPECT_EQ(loadText(image, c.content), -6);
        EXPECT_TRUE(log_->contains(c.message));
        EXPECT_FALSE(image.loaded);
        EXPECT_EQ(image.getCfgData(), nullptr);
        EXPECT_TRUE(image.cfgData.empty());
    }
}

TEST_F(CfgImageTest, BlockSizeRoundsUpPastTheByteCount) {
    struct Case {
        size_t count;
        uint32_t cfgSize;
    };
    const Case cases[] = {{2, 4096}, {4095, 4096}, {4096, 8192}, {8191, 8192}, {8192, 12288}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        CfgImage image;
        ASSERT_EQ(loadText(image, tokens(c.count)), 0);
        EXPECT_EQ(image.cfgSize, c.cfgSize);
        ASSERT_EQ(image.cfgData.size(), c.cfgSize);
        EXPECT_EQ(image.cfgData[c.count - 1], static_cast<uint8_t>((c.count - 1) & 0xFF));
        for (size_t i = c.count; i < c.cfgSize; ++i) {
            ASSERT_EQ(image.cfgData[i], 0) << "byte " << i;
        }
    }
    EXPECT_TRUE(log_->contains("<CfgImage::load> cfgSize:8192"));
}

TEST_F(CfgImageTest, VersionBytePerFamily) {
    CfgImage plain;
    ASSERT_EQ(loadText(plain, "0x07, 0x01"), 0);
    EXPECT_EQ(plain.getCfgVersion(), 7);

    CfgImageFjordK fjord;
    ASSERT_EQ(loadText(fjord, tokens(34)), 0);  // bytes 0 to 33: byte 34 is fill
    EXPECT_EQ(fjord.getCfgVersion(), 0);
    ASSERT_EQ(loadText(fjord, tokens(35)), 0);
    EXPECT_EQ(fjord.getCfgVersion(), 34);

    for (int32_t type = 0; type <= 8; ++type) {
        auto image = createCfgImage(type);
        if (type < CHIP_5410 || type > CHIP_FJORDK4) {
            EXPECT_EQ(image, nullptr) << type;
            continue;
        }
        ASSERT_NE(image, nullptr);
        ASSERT_EQ(loadText(*image, tokens(40)), 0);
        EXPECT_EQ(image->getCfgVersion(), type <= CHIP_5415R ? 0 : 34) << type;
    }
}

TEST_F(CfgImageTest, FailuresLeaveNothingLoaded) {
    CfgImage image;
    EXPECT_EQ(image.load(nullptr), -1);
    EXPECT_TRUE(log_->contains("<CfgImage::load> Configuration file name cannot be NULL."));
    EXPECT_EQ(image.load(dir_.file("missing.cfg").c_str()), -2);
    EXPECT_TRUE(log_->contains("<CfgImage::load> Open cfg file failed. filename = " +
                               dir_.file("missing.cfg")));
    EXPECT_EQ(image.load(dir_.path().c_str()), -2);

    // A loaded object that fails its next load is empty again; it can still load.
    ASSERT_EQ(loadText(image, "0x05,0x06"), 0);
    EXPECT_EQ(loadText(image, "0x05"), -6);
    EXPECT_FALSE(image.loaded);
    EXPECT_EQ(image.getCfgData(), nullptr);
    EXPECT_EQ(image.cfgSize, 0u);
    ASSERT_EQ(loadText(image, "0x09,0x06"), 0);
    EXPECT_EQ(image.getCfgVersion(), 9);
    image.freeData();
    EXPECT_FALSE(image.loaded);
    EXPECT_EQ(image.getCfgData(), nullptr);
}

}  // namespace

namespace {

// The one-pass parser against the rule applied character by character, on
// texts with markers at every position of the 8-byte steps, runs of
// markers, both cases and markers among the last two characters.
TEST_F(CfgImageTest, ParsedBytesFollowTheMarkerRuleAtEveryPosition) {
    const char alphabet[] = "xX0123456789abcdefABCDEFg, \n";
    uint32_t seed = 7;
    for (size_t length = 1; length <= 300; length += 7) {
        std::string text;
        for (size_t i = 0; i < length; ++i) {
            seed = seed * 1103515245u + 12345u;
            text += alphabet[(seed >> 16) % (sizeof alphabet - 1)];
        }
        Bytes expected;
        auto digit = [&](size_t k) -> uint8_t {
            if (k >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[k])))
                return 0;
            return static_cast<uint8_t>(std::stoi(std::string(1, text[k]), nullptr, 16));
        };
        for (size_t k = 0; k < text.size(); ++k) {
            if (text[k] == 'x' || text[k] == 'X')
                expected.push_back(static_cast<uint8_t>(digit(k + 1) << 4 | digit(k + 2)));
        }
        SCOPED_TRACE(text);
        CfgImage image;
        ASSERT_EQ(loadText(image, text), expected.size() < 2 ? -6 : 0);
        if (expected.size() < 2)
            continue;
        expected.resize((expected.size() / 4096 + 1) * 4096, 0);
        EXPECT_EQ(image.cfgData, expected);
    }
}

}  // namespace
