// The emulated chip's data mode: acknowledgements, frames published behind
// the ready flag on virtual time, sample byte order, faults.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "tests/EmuFixture.h"
#include "tests/TestSupport.h"

namespace {

using emutest::Bytes;
using emutest::cmd5410;
using emutest::fjordCmd;

class EmuDataModeTest : public EmuFixture {
  protected:
    bool ready(emutest::Wire& wire) {
        return (wire.read(chip().profile().dataReadyAddr, 1)[0] & 0x80) != 0;
    }
    void acknowledge(emutest::Wire& wire) {
        ASSERT_TRUE(wire.write(chip().profile().dataReadyAddr, {0x00}));
    }
    // Sample i of a block, decoded with the given byte order.
    static int16_t sample(const Bytes& block, size_t i, bool bigEndian) {
        const uint8_t a = block[2 * i];
        const uint8_t b = block[2 * i + 1];
        return static_cast<int16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
    }
};

TEST_F(EmuDataModeTest, FjordFramesFollowEachAcknowledgement) {
    startEmu(CHIP_FJORDK);
    chip().setSensorSize(2, 3);
    chip().setFramePattern([](emu::FrameKind kind, uint32_t frame, uint32_t index) {
        const int base = kind == emu::FrameKind::raw ? 100 : kind == emu::FrameKind::diff ? -50 : 7;
        return static_cast<int16_t>(base * static_cast<int>(frame) + static_cast<int>(index));
    });
    const ChipProfile& p = chip().profile();
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(p.cmdAddr, fjordCmd(0x02)));
    sleepMs(50);
    EXPECT_EQ(wire.read(p.cmdAddr, 1), Bytes{0x80});
    EXPECT_TRUE(chip().inDataMode());
    acknowledge(wire);  // drop whatever was there: the next frame is fresh
    EXPECT_FALSE(ready(wire));
    sleepMs(5);
    EXPECT_FALSE(ready(wire));
    sleepMs(5);
    ASSERT_TRUE(ready(wire));
    const uint32_t frame = chip().frameNumber();
    const Bytes raw = wire.read(p.rawDataAddr, 12);
    const Bytes diff = wire.read(p.diffDataAddr, 12);
    const Bytes base = wire.read(p.baseDataAddr, 12);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(sample(raw, i, false), 100 * static_cast<int>(frame) + static_cast<int>(i));
        EXPECT_EQ(sample(diff, i, false), -50 * static_cast<int>(frame) + static_cast<int>(i));
        EXPECT_EQ(sample(base, i, false), 7 * static_cast<int>(frame) + static_cast<int>(i));
    }
    // No new frame until this one is taken.
    sleepMs(100);
    EXPECT_EQ(chip().frameNumber(), frame);
    acknowledge(wire);
    sleepMs(10);
    EXPECT_TRUE(ready(wire));
    EXPECT_EQ(chip().frameNumber(), frame + 1);

    // Normal mode stops the frames.
    ASSERT_TRUE(wire.write(p.cmdAddr, fjordCmd(0x00)));
    sleepMs(10);
    EXPECT_EQ(wire.read(p.cmdAddr, 2), (Bytes{0x80, 0x80}));
    acknowledge(wire);
    sleepMs(100);
    EXPECT_FALSE(ready(wire));
    EXPECT_FALSE(chip().inDataMode());
}

TEST_F(EmuDataModeTest, OlderFamiliesAcknowledgeWithFFAndSendHighByteFirst) {
    startEmu(CHIP_5410);
    chip().setSensorSize(1, 2);
    chip().setFramePattern([](emu::FrameKind, uint32_t, uint32_t index) {
        return static_cast<int16_t>(index == 0 ? 0x0102 : -2);
    });
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(0x60CC, cmd5410(0x01)));
    sleepMs(5);
    EXPECT_EQ(wire.read(0x60CC, 1), Bytes{0xFF});
    acknowledge(wire);
    sleepMs(10);
    ASSERT_TRUE(ready(wire));
    EXPECT_EQ(wire.read(0x7828, 4), (Bytes{0x01, 0x02, 0xFF, 0xFE}));
}

TEST_F(EmuDataModeTest, DefaultSensorKeepsTheFrameBlocksApart) {
    struct Case {
        int32_t type;
        uint32_t rows, cols;
    };
    const Case cases[] = {
        {CHIP_5410, 30, 18},    {CHIP_5415R, 22, 36},   {CHIP_FJORDK, 52, 66},
        {CHIP_FJORDH3, 21, 34}, {CHIP_CORVINA, 20, 36}, {CHIP_FJORDK8, 52, 66},
        {CHIP_FJORDK4, 52, 75},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(emu::familyName(c.type));
        startEmu(c.type);
        EXPECT_EQ(chip().sensorRows(), c.rows);
        EXPECT_EQ(chip().sensorCols(), c.cols);
        emutest::Wire wire(sys());
        const ChipProfile& p = chip().profile();
        const Bytes cmd = isFjordFamily(c.type) ? fjordCmd(0x02)
                          : c.type == CHIP_5410 ? cmd5410(0x01)
                                                : emutest::cmd5415R(0x01);
        ASSERT_TRUE(wire.write(p.cmdAddr, cmd));
        sleepMs(20);
        ASSERT_TRUE(ready(wire));
        // Every block reads back whole: no block overwrote another.
        const size_t n = c.rows * c.cols;
        const bool big = p.dataBigEndian != 0;
        const struct {
            emu::FrameKind kind;
            uint32_t addr;
        } blocks[] = {{emu::FrameKind::raw, p.rawDataAddr},
                      {emu::FrameKind::diff, p.diffDataAddr},
                      {emu::FrameKind::base, p.baseDataAddr}};
        for (const auto& b : blocks) {
            const Bytes data = chip().peekRegisters(b.addr, 2 * n);
            size_t wrong = 0;
            for (size_t i = 0; i < n; ++i) {
                wrong += sample(data, i, big) !=
                         emu::defaultFramePattern(b.kind, 1, static_cast<uint32_t>(i));
            }
            EXPECT_EQ(wrong, 0u) << static_cast<int>(b.kind);
        }
        bool negative = false;
        const Bytes diff = chip().peekRegisters(p.diffDataAddr, 2 * n);
        for (size_t i = 0; i < n; ++i)
            negative = negative || sample(diff, i, big) < 0;
        EXPECT_TRUE(negative);
    }
}

TEST_F(EmuDataModeTest, FrameThatNeverBecomesReady) {
    startEmu(CHIP_FJORDH3);
    ASSERT_TRUE(chip().addFault(emu::faults::frameNeverReady(1)));
    {
        emutest::Wire wire(sys());
        ASSERT_TRUE(wire.write(0x10180, fjordCmd(0x02)));
        acknowledge(wire);
        sleepMs(15);
        EXPECT_FALSE(ready(wire));  // the first frame was withheld
        sleepMs(10);
        EXPECT_TRUE(ready(wire));  // the chip tried again a period later
        EXPECT_EQ(chip().frameNumber(), 1u);
    }

    startEmu(CHIP_FJORDH3);
    ASSERT_TRUE(chip().addFault(emu::faults::frameNeverReady()));
    emutest::Wire wire2(sys());
    ASSERT_TRUE(wire2.write(0x10180, fjordCmd(0x02)));
    sleepMs(1500);
    EXPECT_FALSE(ready(wire2));
    chip().flushEffects();  // ends although the frame keeps being withheld
    EXPECT_EQ(chip().frameNumber(), 0u);
}

TEST_F(EmuDataModeTest, FailingBlockReadAndWithheldDataModeAcknowledgement) {
    startEmu(CHIP_CORVINA);
    const ChipProfile& p = chip().profile();
    ASSERT_TRUE(chip().addFault(emu::faults::withholdAck(emu::ChipCommand::dataMode, 1)));
    ASSERT_TRUE(chip().addFault(emu::faults::failAnswerAt(p.rawDataAddr)));
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(p.cmdAddr, fjordCmd(0x02)));
    sleepMs(50);
    EXPECT_EQ(wire.read(p.cmdAddr, 1), Bytes{0x00});
    ASSERT_TRUE(wire.write(p.cmdAddr, fjordCmd(0x02)));
    sleepMs(50);
    EXPECT_EQ(wire.read(p.cmdAddr, 1), Bytes{0x80});
    ASSERT_TRUE(ready(wire));
    ASSERT_TRUE(wire.send(emutest::v2Read(p.rawDataAddr, 60)));
    Bytes answer;
    EXPECT_EQ(wire.receive(&answer), HidReadResult::failed);
    EXPECT_EQ(wire.read(p.diffDataAddr, 4).size(), 4u);
}

// Every capture the documentation shows (--chip X ... --row R --col C) reads
// frames of the emulated chip that its blocks hold whole: a larger one would
// show the next block's samples in its last rows.
TEST_F(EmuDataModeTest, DocumentedCapturesFitTheEmulatedSensor) {
    namespace fs = std::filesystem;
    const fs::path root = TOUCHFW_SOURCE_DIR;
    std::vector<fs::path> docs = {root / "README.md", root / "examples" / "README.md"};
    for (const fs::path& dir : {root / "docs", root / "docs" / "man"}) {
        std::error_code error;
        fs::directory_iterator entries(dir, error);
        ASSERT_FALSE(error) << dir.string() << ": " << error.message();
        for (const auto& entry : entries) {
            if (entry.path().extension() == ".md" || entry.path().extension() == ".1")
                docs.push_back(entry.path());
        }
    }
    const std::regex capture(R"(--chip (\w+) .*--row (\d+) --col (\d+))");
    size_t seen = 0;
    for (const fs::path& doc : docs) {
        std::istringstream lines(testsupport::readFile(doc.string()));
        for (std::string line; std::getline(lines, line);) {
            line = std::regex_replace(line, std::regex(R"(\\-)"), "-");  // roff's \-
            std::smatch m;
            if (!std::regex_search(line, m, capture))
                continue;
            SCOPED_TRACE(doc.string() + ": " + line);
            const ChipFamily* family = chipFamilyNamed(m[1]);
            ASSERT_NE(family, nullptr);
            startEmu(family->type);
            EXPECT_LE(std::stoul(m[2]) * std::stoul(m[3]),
                      chip().sensorRows() * chip().sensorCols());
            ++seen;
        }
    }
    EXPECT_GE(seen, 3u);
}

}  // namespace
