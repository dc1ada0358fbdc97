#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "chip/ChipProfile.h"
#include "fw/FwImage.h"
#include "tests/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Field positions written down independently of the production tables.
struct Family {
    int32_t chip;
    const char* className;
    bool layoutB;
    uint32_t pidOffset, vidOffset, countOffset, tableOffset, dataOffset;
};

const Family kFamilies[] = {
    {CHIP_5410, "FwImage_5410", false, 15, 23, 27, 32, 256},
    {CHIP_5415R, "FwImage_5415R", false, 15, 23, 27, 32, 256},
    {CHIP_FJORDK, "FwImage_FjordK", true, 17, 25, 29, 42, 512},
    {CHIP_FJORDH3, "FwImage_FjordH3", true, 17, 25, 29, 36, 256},
    {CHIP_CORVINA, "FwImage_Corvina", true, 17, 25, 29, 42, 512},
    {CHIP_FJORDK8, "FwImage_FjordK", true, 17, 25, 29, 42, 512},
    {CHIP_FJORDK4, "FwImage_FjordK", true, 17, 25, 29, 42, 512},
};

const Family& family(int32_t chip) {
    for (const Family& f : kFamilies) {
        if (f.chip == chip)
            return f;
    }
    return kFamilies[0];
}

struct Sub {
    uint8_t type;
    uint32_t addr;
    Bytes data;
};

void putBe(Bytes& b, size_t at, uint32_t value, int width) {
    for (int i = 0; i < width; ++i)
        b[at + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

void putLe(Bytes& b, size_t at, uint32_t value, int width) {
    for (int i = 0; i < width; ++i)
        b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Rewrites the length and checksum fields so they match the bytes behind them.
void sealHeader(Bytes& image, bool layoutB) {
    if (!layoutB) {
        uint32_t sum = 0;
        for (size_t i = 6; i < image.size(); ++i)
            sum += image[i];
        putBe(image, 0, static_cast<uint32_t>(image.size() - 6), 4);
        putBe(image, 4, sum & 0xFFFF, 2);
    } else {
        uint64_t sum = 0;
        for (size_t i = 8; i < image.size(); i += 2) {
            sum += image[i] + (i + 1 < image.size() ? image[i + 1] * 256u : 0u);
        }
        putLe(image, 0, static_cast<uint32_t>(image.size() - 8), 4);
        putLe(image, 4, static_cast<uint32_t>(sum), 4);
    }
}

Bytes makeImage(const Family& f, const Bytes& pidBytes, const Bytes& vid,
                const std::vector<Sub>& subs) {
    size_t total = f.dataOffset;
    for (const Sub& s : subs)
        total += s.data.size();
    Bytes image(total, 0);
    std::copy(pidBytes.begin(), pidBytes.end(), image.begin() + f.pidOffset);
    std::copy(vid.begin(), vid.end(), image.begin() + f.vidOffset);
    image[f.countOffset] = static_cast<uint8_t>(subs.size());
    size_t entry = f.tableOffset;
    size_t data = f.dataOffset;
    for (const Sub& s : subs) {
        image[entry] = s.type;
        if (f.layoutB) {
            putLe(image, entry + 1, static_cast<uint32_t>(s.data.size()), 4);
            putLe(image, entry + 5, s.addr, 4);
            entry += 10;
        } else {
            putBe(image, entry + 1, static_cast<uint32_t>(s.data.size()), 4);
            putBe(image, entry + 5, s.addr >> 8, 2);
            entry += 8;
        }
        std::copy(s.data.begin(), s.data.end(), image.begin() + data);
        data += s.data.size();
    }
    sealHeader(image, f.layoutB);
    return image;
}

Bytes text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

std::string str(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

class FwImageTest : public testsupport::ProcessFixture {
  protected:
    int32_t loadBytes(FwImage& image, const Bytes& bytes) {
        const std::string path = dir_.file("image.bin");
        testsupport::writeFile(path, str(bytes));
        return image.load(path.c_str());
    }

    testsupport::TempDir dir_;
};

TEST_F(FwImageTest, WorkedExamplesAndLengthAndChecksumChecks) {
    struct Case {
        const char* name;
        int32_t chip;
        Bytes file;
        bool passes;
        const char* message;  // expected in an Error line when the check fails
    };
    // Layout A: 00 00 00 03 01 26 "abc"; layout B: 04 00 00 00 c4 c6 00 00 "abcd".
    const Bytes a = {0x00, 0x00, 0x00, 0x03, 0x01, 0x26, 'a', 'b', 'c'};
    const Bytes b = {0x04, 0x00, 0x00, 0x00, 0xC4, 0xC6, 0x00, 0x00, 'a', 'b', 'c', 'd'};
    auto with = [](Bytes bytes, size_t at, uint8_t value) {
        bytes[at] = value;
        return bytes;
    };
    // A 300-byte body of 0xFF sums to 76500, stored as 76500 mod 65536 = 0x2AD4.
    Bytes wrapA(306, 0xFF);
    putBe(wrapA, 0, 300, 4);
    putBe(wrapA, 4, 76500 % 65536, 2);
    // 65538 words of 0xFFFF sum to 0x1_0000_FFFE, stored modulo 2^32.
    Bytes wrapB(8 + 2 * 65538, 0xFF);
    putLe(wrapB, 0, 2 * 65538, 4);
    putLe(wrapB, 4, 0x0000FFFE, 4);
    // Odd layout B body "abc": words 0x6261 and 0x0063 (missing high byte is 0).
    const Bytes oddB = {0x03, 0x00, 0x00, 0x00, 0xC4, 0x62, 0x00, 0x00, 'a', 'b', 'c'};

    const Case cases[] = {
        {"A worked example", CHIP_5410, a, true, nullptr},
        {"A length one less", CHIP_5410, with(a, 3, 0x02), false,
         "invalid len,from fw:2.total len:9."},
        {"A length one more", CHIP_5410, with(a, 3, 0x04), false,
         "invalid len,from fw:4.total len:9."},
        {"A checksum off by one", CHIP_5410, with(a, 5, 0x27), false,
         "Check sum error, calculated result(0x126), stored checkSum(0x127)."},
        {"A checksum wraps at 16 bits", CHIP_5415R, wrapA, true, nullptr},
        {"A header only", CHIP_5410, {0, 0, 0, 0, 0, 0}, true, nullptr},
        {"A shorter than its header", CHIP_5410, {0, 0, 0}, false, "header ends at 6, file size 3"},
        {"B worked example", CHIP_FJORDK, b, true, nullptr},
        {"B length one less", CHIP_FJORDH3, with(b, 0, 0x03), false,
         "FwImage_FjordH3::checkFw, fw invalid len,from fw:3.total len:12."},
        {"B length one more", CHIP_CORVINA, with(b, 0, 0x05), false,
         "FwImage_Corvina::checkFw, fw invalid len,from fw:5.total len:12."},
        {"B checksum off by one", CHIP_FJORDK, with(b, 4, 0xC5), false,
         "Check sum error, calculated result(0xC6C4), stored checkSum(0xC6C5)."},
        {"B checksum wraps at 32 bits", CHIP_FJORDK, wrapB, true, nullptr},
        {"B odd body, missing high byte is 0", CHIP_FJORDK, oddB, true, nullptr},
        {"B odd body, high byte not taken from beyond", CHIP_FJORDK, with(oddB, 5, 0xC5), false,
         "calculated result(0x62C4)"},
        {"B shorter than its header",
         CHIP_FJORDK4,
         {4, 0, 0, 0, 0},
         false,
         "header ends at 8, file size 5"},
        // 0xFFFFFFFC + 8 wraps to 4: the length matches only in 32 bits and
        // there is no checksum field to read.
        {"B length wrapping onto a 4-byte file",
         CHIP_FJORDK,
         {0xFC, 0xFF, 0xFF, 0xFF},
         false,
         "header ends at 8, file size 4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        log_->clear();
        auto image = createFwImage(c.chip);
        ASSERT_NE(image, nullptr);
        EXPECT_EQ(image->checkFw(c.file.data(), static_cast<uint32_t>(c.file.size())), c.passes);
        if (c.message != nullptr) {
            EXPECT_EQ(log_->count("[Error]"), 1u);
            EXPECT_TRUE(log_->contains(c.message))
                << (log_->lines().empty() ? "" : log_->lines()[0]);
        }
    }
    EXPECT_EQ(fwChecksumLayoutA(a.data() + 6, 3), 0x0126);
    EXPECT_EQ(fwChecksumLayoutB(b.data() + 8, 4), 0x0000C6C4u);
}

TEST_F(FwImageTest, LoadResultCodes) {
    auto image = createFwImage(CHIP_FJORDK);
    EXPECT_EQ(image->load(nullptr), -1);
    EXPECT_TRUE(log_->contains("Firmware image file name cannot be NULL."));
    EXPECT_EQ(image->load(""), -2);
    EXPECT_EQ(image->load(dir_.file("missing.bin").c_str()), -2);
    EXPECT_TRUE(
        log_->contains("Open firmware file failed. filename = " + dir_.file("missing.bin")));
    EXPECT_EQ(image->load(dir_.path().c_str()), -2);  // a folder is no firmware file

    Bytes good =
        makeImage(family(CHIP_FJORDK), text("FJKx"), {1, 2, 3, 4}, {{2, 0x10000, pattern(10, 1)}});
    EXPECT_EQ(loadBytes(*image, good), 0);
    EXPECT_TRUE(image->isLoaded);
    EXPECT_EQ(image->fwSize, good.size());
    EXPECT_EQ(image->fwData, good);
    EXPECT_TRUE(log_->contains("Firmware file size is 522."));

    // A failed load of the same object drops what the previous load held.
    good[100] ^= 0x01;  // a padding byte: only the checksum notices
    log_->clear();
    EXPECT_EQ(loadBytes(*image, good), -6);
    EXPECT_TRUE(log_->contains("Check sum error\n"));
    EXPECT_FALSE(image->isLoaded);
    EXPECT_TRUE(image->fwData.empty());
    EXPECT_STREQ(image->pid, "");
    EXPECT_EQ(image->getFwSubFwData(0), nullptr);
}

TEST_F(FwImageTest, EveryFamilyReadsItsFields) {
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.className);
        std::vector<Sub> subs = {{2, 0x030000, pattern(5000, 3)},
                                 {3, 0x010000, pattern(17, 9)},
                                 {0x42, 0x020000, pattern(4, 200)}};
        const Bytes bytes = makeImage(f, text("TP01"), {0xA1, 0xB2, 0xC3, 0xD4}, subs);
        auto image = createFwImage(f.chip);
        ASSERT_NE(image, nullptr);
        ASSERT_NE(image->layout(), nullptr);
        EXPECT_STREQ(image->layout()->className, f.className);
        ASSERT_EQ(loadBytes(*image, bytes), 0);
        EXPECT_STREQ(image->pid, "TP01");
        const uint8_t vid[4] = {0xA1, 0xB2, 0xC3, 0xD4};
        EXPECT_EQ(std::memcmp(image->vid, vid, 4), 0);
        ASSERT_EQ(image->getFwSubFwNum(), 3);
        EXPECT_EQ(image->getFwSubFwInfoOffset(), static_cast<int32_t>(f.tableOffset));
        EXPECT_EQ(image->getFwSubFwDataOffset(), static_cast<int32_t>(f.dataOffset));
        // Data follow each other in table order, whatever the flash addresses say.
        size_t offset = f.dataOffset;
        for (int32_t i = 0; i < 3; ++i) {
            EXPECT_EQ(image->getFwSubFwType(i), subs[i].type);
            EXPECT_EQ(image->getFwSubFwLen(i), subs[i].data.size());
            EXPECT_EQ(image->getFwSubFwAddr(i), subs[i].addr);
            EXPECT_EQ(image->getFwSubFwData(i), image->fwData.data() + offset);
            EXPECT_EQ(image->getFwSubInfo(i),
                      image->fwData.data() + f.tableOffset + (f.layoutB ? 10 : 8) * i);
            offset += subs[i].data.size();
        }
    }
    EXPECT_EQ(createFwImage(0), nullptr);
    EXPECT_EQ(createFwImage(8), nullptr);
    EXPECT_EQ(fwImageLayout(8), nullptr);
}

TEST_F(FwImageTest, PidSkipsZeroBytesAnd5415RMapsTo5416) {
    struct Case {
        int32_t chip;
        Bytes pidBytes;
        const char* pid;
    };
    const Case cases[] = {
        {CHIP_5410, {0x37, 0x00, 0x38, 0, 0, 0, 0, 0}, "78"},
        {CHIP_FJORDH3, {0x37, 0x00, 0x38, 0, 0, 0, 0, 0}, "78"},
        {CHIP_FJORDK, {0, 'F', 0, 'J', 'K', 0, 'x', 0}, "FJKx"},
        {CHIP_CORVINA, text("ABCDEFGH"), "ABCDEFGH"},
        {CHIP_5415R, text("5415R"), "5416"},
        {CHIP_5415R, text("5415R123"), "5416"},
        {CHIP_5415R, {'5', '4', 0, '1', '5', 'R', 0, 0}, "5416"},  // zeros skipped first
        {CHIP_5415R, text("5415"), "5415"},
        {CHIP_5415R, text("5415r"), "5415r"},
        {CHIP_5410, text("5415R"), "5415R"},  // only the 5415R family maps
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pid));
        log_->clear();
        auto image = createFwImage(c.chip);
        ASSERT_EQ(loadBytes(*image, makeImage(family(c.chip), c.pidBytes, {1, 2, 3, 4}, {})), 0);
        EXPECT_STREQ(image->pid, c.pid);
    }
    EXPECT_TRUE(log_->contains("<FwImage_5410::initPid> FwImage_5410 Pid is 5415R."));
    log_->clear();
    auto image = createFwImage(CHIP_5415R);
    ASSERT_EQ(loadBytes(*image, makeImage(family(CHIP_5415R), text("5415R"), {1, 2, 3, 4}, {})), 0);
    EXPECT_TRUE(log_->contains("<FwImage_5415R::initPid> FwImage_5415R Pid is 5415R (5416)."));
    EXPECT_TRUE(log_->contains("<FwImage_5415R::initVid> FwImage_5415R Vid is 01 02 03 04."));
}

TEST_F(FwImageTest, AddressDecodingInBothLayouts) {
    // Layout A keeps the address in 256-byte units (bytes 0x12 0x34); layout B
    // keeps all 32 bits (bytes 00 34 12 00): both give 0x123400.
    Bytes a = makeImage(family(CHIP_5410), text("5410"), {0, 0, 0, 1}, {{2, 0, pattern(3, 0)}});
    a[32 + 5] = 0x12;
    a[32 + 6] = 0x34;
    a[32 + 7] = 0x99;  // not part of the address
    sealHeader(a, false);
    Bytes b = makeImage(family(CHIP_FJORDK), text("FJK"), {0, 0, 0, 1}, {{2, 0, pattern(3, 0)}});
    const uint8_t addrB[4] = {0x00, 0x34, 0x12, 0x00};
    std::memcpy(&b[42 + 5], addrB, 4);
    sealHeader(b, true);
    auto imageA = createFwImage(CHIP_5410);
    auto imageB = createFwImage(CHIP_FJORDK);
    ASSERT_EQ(loadBytes(*imageA, a), 0);
    ASSERT_EQ(loadBytes(*imageB, b), 0);
    EXPECT_EQ(imageA->getFwSubFwAddr(0), 0x123400u);
    EXPECT_EQ(imageB->getFwSubFwAddr(0), 0x123400u);

    // Full 32-bit layout B address and a length above 16 bits, little-endian.
    Bytes big = makeImage(family(CHIP_CORVINA), text("C"), {0, 0, 0, 1},
                          {{7, 0xFEDCBA98, pattern(70000, 5)}});
    auto imageC = createFwImage(CHIP_CORVINA);
    ASSERT_EQ(loadBytes(*imageC, big), 0);
    EXPECT_EQ(imageC->getFwSubFwAddr(0), 0xFEDCBA98u);
    EXPECT_EQ(imageC->getFwSubFwLen(0), 70000u);
}

TEST_F(FwImageTest, IndexOutsideTheTable) {
    for (int32_t chip : {CHIP_5410, CHIP_FJORDH3}) {
        const Family& f = family(chip);
        SCOPED_TRACE(f.className);
        auto image = createFwImage(chip);
        ASSERT_EQ(loadBytes(*image, makeImage(f, text("P"), {0, 0, 0, 1},
                                              {{2, 0, pattern(3, 0)},
                                               {3, 0x100, pattern(3, 0)},
                                               {3, 0x200, pattern(3, 0)}})),
                  0);
        log_->clear();
        EXPECT_EQ(image->getFwSubInfo(3), nullptr);
        EXPECT_TRUE(
            log_->contains("getFwSubInfo,argument is invalid,totoal sub num:3,subFwIndex:3."));
        EXPECT_EQ(image->getFwSubFwType(3), 0xFF);
        EXPECT_EQ(image->getFwSubFwLen(3), 0xFFFFFFFFu);
        EXPECT_EQ(image->getFwSubFwAddr(3), 0xFFFFFFFFu);
        EXPECT_EQ(image->getFwSubFwData(3), nullptr);
        EXPECT_TRUE(log_->contains("FwImage::getFwSubFwData end,can't find rawdata."));
        log_->clear();
        EXPECT_EQ(image->getFwSubInfo(-1), nullptr);
        EXPECT_FALSE(log_->contains("argument is invalid"));
        EXPECT_EQ(image->getFwSubFwData(-1), nullptr);
    }
}

// Which part of the image a cut at `size` leaves outside the file.
const char* outsidePart(const Family& f, size_t size, size_t tableEnd, size_t dataEnd) {
    const size_t fixedEnd = f.countOffset + 1;
    if (size < fixedEnd)
        return "Pid, Vid and sub-firmware count end at";
    if (size < tableEnd)
        return "sub-firmware table ends at";
    if (size < dataEnd)
        return "sub-firmware data end at";
    return nullptr;
}

TEST_F(FwImageTest, TruncatedImagesAreRejectedAtEveryByte) {
    for (int32_t chip : {CHIP_5410, CHIP_5415R, CHIP_FJORDH3, CHIP_CORVINA, CHIP_FJORDK}) {
        const Family& f = family(chip);
        SCOPED_TRACE(f.className);
        const Bytes full = makeImage(f, text("CUT1"), {9, 8, 7, 6},
                                     {{2, 0x1000 * 256, pattern(5, 1)},
                                      {3, 0x2000 * 256, pattern(0, 0)},
                                      {3, 0x3000 * 256, pattern(6, 2)}});
        const size_t tableEnd = f.tableOffset + 3 * (f.layoutB ? 10 : 8);
        const size_t headerSize = f.layoutB ? 8 : 6;
        for (size_t size = 0; size < full.size(); ++size) {
            SCOPED_TRACE("size " + std::to_string(size));
            Bytes cut(full.begin(), full.begin() + size);
            auto image = createFwImage(chip);
            // As cut: the length field no longer matches.
            EXPECT_EQ(loadBytes(*image, cut), -6);
            EXPECT_FALSE(image->isLoaded);
            EXPECT_TRUE(image->fwData.empty());
            if (size < headerSize)
                continue;
            // Length and checksum made to match the cut file: the fields that
            // lie outside it are named.
            sealHeader(cut, f.layoutB);
            log_->clear();
            const char* part = outsidePart(f, size, tableEnd, full.size());
            EXPECT_EQ(loadBytes(*image, cut), part ? -6 : 0);
            if (part != nullptr) {
                EXPECT_TRUE(log_->contains(std::string("Firmware image too short: ") + part))
                    << (log_->lines().empty() ? "" : log_->lines().back());
                EXPECT_TRUE(log_->contains("file size " + std::to_string(size) + "."));
            }
        }
    }
}

TEST_F(FwImageTest, LengthsThatDescribeMoreThanTheFileAreRejected) {
    const Family& f = family(CHIP_FJORDK);
    struct Case {
        const char* name;
        std::vector<uint32_t> lengths;  // written into the table entries
        const char* message;
    };
    const Case cases[] = {
        {"ending at the last byte", {5, 8}, nullptr},
        {"one byte too long", {5, 9}, "sub-firmware data end at 526, file size 525."},
        // 0xFFFFFFFF + 2 wraps to 1 in 32 bits and would seem to fit.
        {"lengths wrapping in 32 bits", {0xFFFFFFFF, 2}, "sub-firmware data end at 4294967809"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes =
            makeImage(f, text("L"), {0, 0, 0, 1}, {{2, 0, pattern(5, 0)}, {3, 0, pattern(7, 0)}});
        bytes.push_back(0);  // one spare byte after the data is fine
        for (size_t i = 0; i < c.lengths.size(); ++i)
            putLe(bytes, 42 + 10 * i + 1, c.lengths[i], 4);
        sealHeader(bytes, true);
        auto image = createFwImage(CHIP_FJORDK);
        log_->clear();
        EXPECT_EQ(loadBytes(*image, bytes), c.message ? -6 : 0);
        if (c.message != nullptr) {
            EXPECT_TRUE(log_->contains(c.message))
                << (log_->lines().empty() ? "" : log_->lines().back());
        }
    }

    // A table long enough to run into the data area is no table.
    Bytes crowded = makeImage(family(CHIP_5410), text("5410"), {0, 0, 0, 1}, {});
    crowded.resize(2000, 0);
    crowded[27] = 29;  // 32 + 29 * 8 = 264 > 256
    sealHeader(crowded, false);
    auto image = createFwImage(CHIP_5410);
    EXPECT_EQ(loadBytes(*image, crowded), -6);
    EXPECT_TRUE(log_->contains(
        "sub-firmware table of 29 entries ends at 264, after the start of the sub-firmware data "
        "at 256."));
    crowded[27] = 28;  // 32 + 28 * 8 = 256: the last entry ends where the data begin
    sealHeader(crowded, false);
    EXPECT_EQ(loadBytes(*image, crowded), 0);
}

TEST_F(FwImageTest, AccessorsStayInsideHandMadeData) {
    // Objects filled by hand, never loaded: no accessor reads past fwData.
    FwImage empty(&kFwLayoutFjordK);
    EXPECT_EQ(empty.initPid(), -1);
    EXPECT_TRUE(log_->contains("<FwImage_FjordK::initPid> initPid fwData is NULL."));
    EXPECT_EQ(empty.initVid(), -1);
    EXPECT_TRUE(log_->contains("FwImage_FjordK initVid fwData is NULL."));
    EXPECT_EQ(empty.getFwSubFwNum(), 0);
    EXPECT_TRUE(log_->contains("<FwImage_FjordK::getFwSubFwNum> getFwSubFwNum fwData is NULL."));
    EXPECT_EQ(empty.getFwSubInfo(0), nullptr);
    EXPECT_TRUE(log_->contains("FwImage_FjordK getFwSubInfo,fw data is invalid."));
    EXPECT_EQ(empty.getFwSubFwData(0), nullptr);
    EXPECT_TRUE(log_->contains("FwImage::getFwSubFwData get fw data failed."));

    const Bytes full = makeImage(family(CHIP_FJORDK), text("HAND"), {1, 2, 3, 4},
                                 {{2, 0, pattern(40, 1)}, {3, 0, pattern(40, 2)}});
    struct Case {
        size_t size;
        int32_t pidResult, vidResult, count;
        bool entry0, entry1, data0, data1;
    };
    const Case cases[] = {
        {20, -1, -1, 0, false, false, false, false},  // Pid cut
        {27, 0, -1, 0, false, false, false, false},   // Vid cut
        {45, 0, 0, 2, false, false, false, false},    // count read, entry 0 cut
        {60, 0, 0, 2, true, false, false, false},     // entry 1 cut
        {530, 0, 0, 2, true, true, false, false},     // data 0 cut
        {560, 0, 0, 2, true, true, true, false},      // data 1 cut
        {full.size(), 0, 0, 2, true, true, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size));
        FwImage image(&kFwLayoutFjordK);
        image.fwData.assign(full.begin(), full.begin() + c.size);
        image.isLoaded = true;
        EXPECT_EQ(image.initPid(), c.pidResult);
        EXPECT_EQ(image.initVid(), c.vidResult);
        EXPECT_EQ(image.getFwSubFwNum(), c.count);
        EXPECT_EQ(image.getFwSubInfo(0) != nullptr, c.entry0);
        EXPECT_EQ(image.getFwSubInfo(1) != nullptr, c.entry1);
        EXPECT_EQ(image.getFwSubFwData(0) != nullptr, c.data0);
        EXPECT_EQ(image.getFwSubFwData(1) != nullptr, c.data1);
    }

    // Layout A through the base class's decoding.
    const Bytes fullA =
        makeImage(family(CHIP_5410), text("5410"), {1, 2, 3, 4}, {{2, 0x100, pattern(40, 1)}});
    FwImage imageA(&kFwLayout5410);
    imageA.fwData.assign(fullA.begin(), fullA.begin() + 36);
    imageA.isLoaded = true;
    EXPECT_EQ(imageA.getFwSubFwNum(), 1);
    EXPECT_EQ(imageA.getFwSubFwType(0), 0xFF);
    EXPECT_EQ(imageA.getFwSubFwLen(0), 0xFFFFFFFFu);
    EXPECT_TRUE(log_->contains("FwImage::getFwSubFwLen,get fw sub fw info failed."));
}

TEST_F(FwImageTest, BareBaseClassAndRelease) {
    FwImage base;
    EXPECT_EQ(base.getFwSubFwNum(), 0);
    EXPECT_EQ(base.getFwSubFwInfoOffset(), 0);
    EXPECT_EQ(base.getFwSubFwDataOffset(), 0);
    EXPECT_EQ(log_->count("This function should not be called."), 3u);

    auto image = createFwImage(CHIP_FJORDK8);
    ASSERT_EQ(loadBytes(*image, makeImage(family(CHIP_FJORDK8), text("FJK8"), {0, 0, 0, 1},
                                          {{2, 0, pattern(9, 0)}})),
              0);
    image->releaseData();
    EXPECT_FALSE(image->isLoaded);
    EXPECT_TRUE(image->fwData.empty());
    EXPECT_EQ(image->getFwSubFwData(0), nullptr);
}

}  // namespace

namespace {

// The checksums over every length around the 32-byte steps of the fast
// loops, and a large image, against the definitions summed byte by byte.
TEST(FwChecksumTest, AgreeWithTheBytewiseDefinitionsAtEveryLength) {
    Bytes data((1u << 20) + 3);
    uint32_t x = 12345;
    for (uint8_t& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 24);
    }
    std::vector<size_t> sizes = {data.size(), data.size() - 1, 4096, 4097};
    for (size_t n = 0; n <= 100; ++n)
        sizes.push_back(n);
    for (const size_t n : sizes) {
        for (const size_t offset : {size_t{0}, size_t{1}}) {  // unaligned starts too
            const size_t len = std::min(n, data.size() - offset);
            const uint8_t* p = data.data() + offset;
            uint32_t sumA = 0;
            uint32_t sumB = 0;
            for (size_t i = 0; i < len; ++i) {
                sumA += p[i];
                sumB += (i % 2 == 0) ? p[i] : static_cast<uint32_t>(p[i]) << 8;
            }
            SCOPED_TRACE(std::to_string(len) + " bytes at offset " + std::to_string(offset));
            EXPECT_EQ(fwChecksumLayoutA(p, len), static_cast<uint16_t>(sumA));
            EXPECT_EQ(fwChecksumLayoutB(p, len), sumB);
        }
    }
}

}  // namespace
