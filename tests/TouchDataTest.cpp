#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "chip/ChipProfile.h"
#include "ops/TouchData.h"
#include "tests/ScriptedHid.h"
#include "tests/TestSupport.h"

namespace {

using testsupport::Bytes;
using testsupport::countLine;
using testsupport::ScriptedHid;

constexpr bool kOn = true;
constexpr bool kOff = false;
constexpr int32_t kHex = 0;
constexpr int32_t kDec = 1;

class TouchDataTest : public testsupport::ProcessFixture {
  protected:
    // The chip enters data mode at once and always shows a frame ready.
    void readyChip(ScriptedHid& hid) {
        const bool legacy = chipType == CHIP_5410 || chipType == CHIP_5415R;
        hid.setRegs(chipProfile.cmdAddr, {static_cast<uint8_t>(legacy ? 0xFF : 0x80)});
        hid.setRegs(chipProfile.dataReadyAddr, {0x80});
    }
    int32_t capture(bool raw, bool base, bool diff, int32_t row, int32_t col, int32_t times,
                    int32_t showType) {
        testing::internal::CaptureStdout();
        const int32_t r = GetSomeData(raw, base, diff, row, col, times, showType);
        std::fflush(stdout);
        output_ = testing::internal::GetCapturedStdout();
        return r;
    }
    // The block reads as (start address, bytes): consecutive read requests
    // that continue each other are merged; flag and status polls left out.
    static std::vector<std::pair<uint32_t, int>> blockReads(const ScriptedHid& hid) {
        std::vector<std::pair<uint32_t, int>> runs;
        for (const testsupport::WireFrame& f : hid.frames()) {
            if (f.op != 0x01 || f.addr == chipProfile.dataReadyAddr ||
                f.addr == chipProfile.cmdAddr)
                continue;
            if (!runs.empty() && runs.back().first + runs.back().second == f.addr)
                runs.back().second += f.len;
            else
                runs.emplace_back(f.addr, f.len);
        }
        return runs;
    }
    std::string output_;
};

void useChip(int32_t type) {
    chipType = type;
    initChipProfile();
}

TEST_F(TouchDataTest, GeometryAndCountAreCheckedBeforeAnythingIsSent) {
    struct Case {
        int32_t row;
        int32_t col;
        int32_t times;
        const char* line;
    } cases[] = {
        {53, 75, 1,
         "   [Error] <GetSomeData> Input [row] and [col] param error,row*col * 2:7950 > "
         "rawDataMaxLen\xA3\xBA"
         "7800\n\n"},
        // Would wrap to 0 in 32-bit arithmetic.
        {65536, 32768, 1,
         "   [Error] <GetSomeData> Input [row] and [col] param error,row*col * 2:4294967296 > "
         "rawDataMaxLen\xA3\xBA"
         "7800\n\n"},
        {2, 2, 0, "   [Error] <GetSomeData> Input [times] value:0  invalid\n\n"},
        {2, 2, -3, "   [Error] <GetSomeData> Input [times] value:-3  invalid\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        useChip(CHIP_FJORDK);
        log_->clear();
        ScriptedHid hid(kTlcFramingV2);
        EXPECT_EQ(capture(kOn, kOn, kOn, c.row, c.col, c.times, kDec), -1);
        EXPECT_EQ(countLine(c.line), 1u);
        EXPECT_EQ(hid.events, (std::vector<std::string>{"open", "close"}));
        EXPECT_EQ(output_, "");
    }
}

TEST_F(TouchDataTest, LargestFrameIsAccepted) {
    useChip(CHIP_FJORDK);
    ScriptedHid hid(kTlcFramingV2);
    readyChip(hid);
    EXPECT_EQ(capture(kOn, kOff, kOn, 52, 75, 1, kHex), 0);
    EXPECT_EQ(blockReads(hid),
              (std::vector<std::pair<uint32_t, int>>{{0x1A67C, 7800}, {0x1C14C, 7800}}));
    // 52 lines of 75 samples in each block.
    const std::string zeroLine = [] {
        std::string line;
        for (int i = 0; i < 75; ++i)
            line += "0x0000,";
        return line + "\n";
    }();
    std::string block;
    for (int i = 0; i < 52; ++i)
        block += zeroLine;
    EXPECT_EQ(output_,
              "No.1\nrawdata:\n" + block + "rawdata end\ndiffdata:\n" + block + "diffdata end\n");
}

TEST_F(TouchDataTest, OpenFailure) {
    useChip(CHIP_FJORDK);
    ScriptedHid hid(kTlcFramingV2);
    hid.openResults = {-1, -1, -1};
    EXPECT_EQ(capture(kOn, kOff, kOff, 1, 1, 1, kHex), -2);
    EXPECT_EQ(countLine("   [Error] <GetSomeData> open TLC failed\n\n"), 1u);
    EXPECT_EQ(hid.count("write"), 0u);
    EXPECT_EQ(hid.count("close"), 0u);
}

TEST_F(TouchDataTest, SampleByteOrderFollowsTheChip) {
    struct Case {
        int32_t type;
        const char* line;
    } cases[] = {
        {CHIP_5410, "  258,\n"},
        {CHIP_5415R, "  258,\n"},
        {CHIP_FJORDK, "  513,\n"},
        {CHIP_CORVINA, "  513,\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        useChip(c.type);
        ScriptedHid hid(chipProfile.protoType);
        readyChip(hid);
        hid.setRegs(chipProfile.baseDataAddr, {0x01, 0x02});
        EXPECT_EQ(capture(kOff, kOn, kOff, 1, 1, 1, kDec), 0);
        EXPECT_EQ(output_, std::string("No.1\nbasedata:\n") + c.line + "basedata end\n");
    }
}

TEST_F(TouchDataTest, HexadecimalAndDecimalTables) {
    struct Case {
        int32_t showType;
        const char* table;
    } cases[] = {
        {kHex, "0x0001,0xFFFFFFFE,0x7FFF,\n0x012C,0xFFFFFFFB,0xFFFF8000,\n"},
        {7, "0x0001,0xFFFFFFFE,0x7FFF,\n0x012C,0xFFFFFFFB,0xFFFF8000,\n"},
        {kDec, "    1,   -2,32767,\n  300,   -5,-32768,\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.showType);
        useChip(CHIP_FJORDK4);
        ScriptedHid hid(kTlcFramingV2);
        readyChip(hid);
        // Little-endian samples 1, -2, 32767 / 300, -5, -32768.
        hid.setRegs(chipProfile.diffDataAddr,
                    {0x01, 0x00, 0xFE, 0xFF, 0xFF, 0x7F, 0x2C, 0x01, 0xFB, 0xFF, 0x00, 0x80});
        EXPECT_EQ(capture(kOff, kOff, kOn, 2, 3, 1, c.showType), 0);
        EXPECT_EQ(output_, std::string("No.1\ndiffdata:\n") + c.table + "diffdata end\n");
    }
}

TEST_F(TouchDataTest, RawAndBaselineWithoutDifference) {
    useChip(CHIP_5415R);
    ScriptedHid hid(kTlcFramingV1);
    readyChip(hid);
    hid.setRegs(chipProfile.rawDataAddr, {0x00, 0x0A, 0x00, 0x0B});
    hid.setRegs(chipProfile.baseDataAddr, {0x00, 0x14, 0x00, 0x15});
    hid.setRegs(chipProfile.diffDataAddr, {0x00, 0x63, 0x00, 0x63});
    EXPECT_EQ(capture(kOn, kOn, kOff, 1, 2, 2, kDec), 0);
    const std::string frame =
        "rawdata:\n   10,   11,\nrawdata end\nbasedata:\n   20,   21,\nbasedata end\n";
    EXPECT_EQ(output_, "No.1\n" + frame + "No.2\n" + frame);

    // From the end of the switch on: per frame the ready poll, raw, baseline,
    // the acknowledgement; then the normal-mode command.
    using Wire = std::vector<std::pair<uint8_t, uint32_t>>;
    Wire wire;
    for (const testsupport::WireFrame& f : hid.frames())
        wire.emplace_back(f.op, f.addr);
    const Wire tail = {{0x00, 0x4180},                                                  // switch
                       {0x01, 0x4180}, {0x01, 0x86B8}, {0x01, 0x8078}, {0x00, 0x4180},  // No.1
                       {0x01, 0x4180}, {0x01, 0x86B8}, {0x01, 0x8078}, {0x00, 0x4180},  // No.2
                       {0x00, 0x4160}};                                                 // normal
    ASSERT_GE(wire.size(), tail.size());
    EXPECT_EQ(Wire(wire.end() - static_cast<long>(tail.size()), wire.end()), tail);
    EXPECT_EQ(hid.writesTo(0x4160).back(), (Bytes{0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(hid.events.back(), "close");
}

TEST_F(TouchDataTest, FrameThatNeverBecomesReadyFailsTheCapture) {
    useChip(CHIP_5410);
    ScriptedHid hid(kTlcFramingV1);
    readyChip(hid);
    hid.setRegs(0x4100, {0x7F});  // every bit but the ready bit
    EXPECT_EQ(capture(kOn, kOn, kOn, 2, 2, 2, kHex), -1);
    EXPECT_EQ(output_, "No.1\nNo.2\n");
    EXPECT_EQ(hid.readRequestsAt(0x4100), 600u);
    EXPECT_TRUE(blockReads(hid).empty());
    // Only the clear after the switch; no frame acknowledged.
    EXPECT_EQ(hid.writesTo(0x4100).size(), 1u);
    std::vector<uint32_t> waits{5};  // switch
    waits.insert(waits.end(), 600, 5);
    waits.push_back(10);  // normal mode
    EXPECT_EQ(clock_.waits(), waits);
    EXPECT_EQ(hid.writesTo(0x60CC).back(), (Bytes{0x00, 0x00, 0x00}));
}

TEST_F(TouchDataTest, FailedBlockReadPrintsClearedBufferAndGoesOn) {
    const std::string failedFrame =
        "No.1\nread rawdata failed.rawdata:\n0x0000,0x0000,\nrawdata end\n"
        "basedata:\n0x0003,0x0004,\nbasedata end\n";
    struct Case {
        int32_t times;
        bool failBase;     // the baseline read of the first frame fails too
        int32_t expected;  // any failed block read fails the capture
        std::string output;
    } cases[] = {
        {1, false, -1, failedFrame},
        {1, true, -1,
         "No.1\nread rawdata failed.read basedata failed.rawdata:\n0x0000,0x0000,\n"
         "rawdata end\nbasedata:\n0x0000,0x0000,\nbasedata end\n"},
        {2, true, -1,
         "No.1\nread rawdata failed.read basedata failed.rawdata:\n0x0000,0x0000,\n"
         "rawdata end\nbasedata:\n0x0000,0x0000,\nbasedata end\n"
         "No.2\nrawdata:\n0x0001,0x0002,\nrawdata end\n"
         "basedata:\n0x0003,0x0004,\nbasedata end\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        useChip(CHIP_FJORDK);
        ScriptedHid hid(kTlcFramingV2);
        readyChip(hid);
        hid.setRegs(chipProfile.rawDataAddr, {0x01, 0x00, 0x02, 0x00});
        hid.setRegs(chipProfile.baseDataAddr, {0x03, 0x00, 0x04, 0x00});
        hid.failReadAt(chipProfile.rawDataAddr);
        if (c.failBase)
            hid.failReadAt(chipProfile.baseDataAddr);
        EXPECT_EQ(capture(kOn, kOn, kOff, 1, 2, c.times, kHex), c.expected);
        EXPECT_EQ(output_, c.output);
        // Each frame is acknowledged, failed reads or not.
        EXPECT_EQ(hid.writesTo(chipProfile.dataReadyAddr).size(), 1u + c.times);
    }
}

TEST_F(TouchDataTest, FailedReadyPollIsRetriedAtOnce) {
    useChip(CHIP_FJORDK);
    ScriptedHid hid(kTlcFramingV2);
    readyChip(hid);
    hid.failReadAt(0x10274);
    hid.answerAt(0x10274, {0x00});
    EXPECT_EQ(capture(kOn, kOff, kOff, 1, 1, 1, kDec), 0);
    EXPECT_EQ(hid.readRequestsAt(0x10274), 3u);
    EXPECT_EQ(clock_.waits(), (std::vector<uint32_t>{50, 5, 10}));
}

TEST_F(TouchDataTest, NoDataModeStillSendsNormalMode) {
    struct Case {
        int32_t type;
        uint8_t status;  // command status the chip shows
        const char* line;
    } cases[] = {
        {CHIP_FJORDK8, 0x80,
         "   [Error] <SwitchToDataModel> unsupport disable report ,chip type:6.\n"},
        {CHIP_FJORDK, 0x01,
         "   [Error] <SwitchToDataModeFjord> SwitchToDataModeFjord failed, ret:-2\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        useChip(c.type);
        log_->clear();
        ScriptedHid hid(chipProfile.protoType);
        hid.setRegs(chipProfile.cmdAddr, {c.status});
        hid.setRegs(chipProfile.dataReadyAddr, {0x80});
        EXPECT_EQ(capture(kOn, kOn, kOn, 2, 2, 1, kHex), -4);
        EXPECT_EQ(output_, "");
        EXPECT_EQ(countLine(c.line), 1u);
        EXPECT_EQ(countLine("   [Error] <GetSomeData> switch data model failed.\n"), 1u);
        EXPECT_EQ(countLine("    [Info] <SwitchOutDataModel> Switch to normal mode.\n"), 1u);
        EXPECT_EQ(hid.writesTo(chipProfile.cmdAddr).back(),
                  (Bytes{0x00, 0x00, 0x04, 0x00, 0x04, 0x00}));
        EXPECT_EQ(hid.readRequestsAt(chipProfile.dataReadyAddr), 0u);
        EXPECT_EQ(clock_.waits().back(), 10u);
        EXPECT_EQ(hid.events.back(), "close");
    }
}

}  // namespace
