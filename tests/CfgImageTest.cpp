#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "log/Log.h"
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
        {"a marker followed by a marker", "xx12 0x34 0x56", {0x01, 0x12, 0x34, 0x56}},
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

// The one-pass parser and its text checks against the rules applied
// character by character, on texts made of tokens, stray markers, digits,
// separators and the odd byte no text holds: markers fall on every position
// of the 8-byte steps and among the last characters, and the texts land on
// both sides of every check. A file that is not configuration text (a
// control byte, fewer well-formed 0xNN tokens than other markers, only zero
// bytes) is refused with the Error line that says which.
TEST_F(CfgImageTest, LoadFollowsTheMarkerAndTextRulesAtEveryPosition) {
    // Well-formed tokens and separators; markers that begin no token and
    // other characters; bytes no text holds.
    const std::string clean[] = {"0x1F", "0XaB", "0x00", "0x00", ", ", "\n", "\r\n", "\t", " "};
    const std::string noise[] = {"0x5", "0x123", "x",        "X",           "0",
                                 "7",   "g",     "\xC3\xA9", "\xFF\x80\x9F"};
    const std::string rare[] = {std::string(1, '\0'), "\x08", "\x0B", "\x0E", "\x1F", "\x7F"};
    uint32_t seed = 7;
    auto next = [&seed](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    // Loaded, -6, and refused for a control byte, for the tokens, for zeros.
    int outcomes[5] = {0, 0, 0, 0, 0};
    for (size_t length = 1; length <= 600; length += 3) {
        // From clean text to mostly noise; or clean text with a control
        // byte now and then, or with zero tokens only, which alone decides.
        const bool withControl = next(3) == 0;
        const bool zerosOnly = !withControl && next(6) == 0;
        const uint32_t noisePer8 = withControl || zerosOnly ? 0 : next(5);
        std::string text;
        while (text.size() < length) {
            if (withControl && next(40) == 0) {
                text += rare[next(std::size(rare))];
            } else if (next(8) < noisePer8) {
                text += noise[next(std::size(noise))];
            } else {
                const std::string& piece = clean[next(std::size(clean))];
                text += zerosOnly && piece[0] == '0' ? "0x00" : piece;
            }
        }
        auto at = [&](size_t k) {
            return k < text.size() ? static_cast<unsigned char>(text[k]) : 0;
        };
        auto digit = [&](size_t k) -> uint8_t {
            if (!std::isxdigit(at(k)))
                return 0;
            return static_cast<uint8_t>(std::stoi(std::string(1, text[k]), nullptr, 16));
        };
        Bytes expected;
        size_t tokens = 0;
        size_t control = std::string::npos;  // the first control byte
        for (size_t k = 0; k < text.size(); ++k) {
            const unsigned char c = at(k);
            if (control == std::string::npos &&
                ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F))
                control = k;
            if (c != 'x' && c != 'X')
                continue;
            expected.push_back(static_cast<uint8_t>(digit(k + 1) << 4 | digit(k + 2)));
            tokens += k > 0 && text[k - 1] == '0' && std::isxdigit(at(k + 1)) &&
                      std::isxdigit(at(k + 2)) &&
                      (k + 3 == text.size() || !std::isalnum(at(k + 3)));
        }
        bool allZero = true;
        for (uint8_t b : expected)
            allZero = allZero && b == 0;
        const size_t markers = expected.size();
        std::string refusal;
        int outcome = 0;
        if (markers < 2) {
            outcome = 1;
        } else if (control != std::string::npos) {
            outcome = 2;
            refusal = formatText("Cfg file is not text: byte 0x%02X at offset %zu.\n", at(control),
                                 control);
        } else if (tokens * 2 < markers) {
            outcome = 3;
            refusal = formatText("Cfg file is not configuration text: %zu of its %zu byte markers",
                                 tokens, markers);
        } else if (allZero) {
            outcome = 4;
            refusal = formatText("Cfg file holds no configuration: all its %zu bytes", markers);
        }
        outcomes[outcome]++;
        SCOPED_TRACE(testing::PrintToString(text));
        log_->clear();
        CfgImage image;
        ASSERT_EQ(loadText(image, text), outcome == 0 ? 0 : outcome == 1 ? -6 : kCfgNotText);
        if (outcome != 0) {
            EXPECT_TRUE(refusal.empty() || log_->contains(refusal)) << refusal;
            continue;
        }
        expected.resize((expected.size() / 4096 + 1) * 4096, 0);
        EXPECT_EQ(image.cfgData, expected);
    }
    for (int n : outcomes)
        EXPECT_GT(n, 0);  // the texts reach every outcome
}

}  // namespace
