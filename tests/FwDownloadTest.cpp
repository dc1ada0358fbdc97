// The firmware download and the update driver against a scripted device.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "chip/ChipProfile.h"
#include "fw/FwDownload.h"
#include "fw/FwImage.h"
#include "fw/FwImageBuilder.h"
#include "fw/FwUpdate.h"
#include "tests/ScriptedHid.h"
#include "tests/TestSupport.h"
#include "tlc/TlcConnection.h"

namespace {

using testsupport::Bytes;
using testsupport::countLine;
using testsupport::ScriptedHid;

const uint8_t kOldVid[4] = {0x01, 0x00, 0x00, 0x00};
const uint8_t kNewVid[4] = {0x02, 0x00, 0x00, 0x07};

class FwDownloadTest : public testsupport::ProcessFixture {
  protected:
    void useChip(int32_t type) {
        chipType = type;
        initChipProfile();
    }

    // A scripted chip whose update patch, RAM buffer and flash acknowledge
    // everything.
    void makeCooperative(ScriptedHid& hid) {
        hid.setRegs(chipProfile.patchStatusAddr, {chipProfile.patchReadyValue});
        hid.setRegs(chipProfile.fwBufAddr, {0x55, 0x55, 0x55, 0x55, 0x55});
        hid.setRegs(chipProfile.flashStatusAddr, {chipProfile.flashAckValue});
    }

    // Writes an image of the current chip's layout and loads it.
    std::unique_ptr<FwImage> image(const std::vector<FwSubFirmware>& subs,
                                   const std::string& pid = "0121", const uint8_t* vid = kNewVid) {
        Bytes bytes;
        std::string error;
        EXPECT_TRUE(buildFwImage(*fwImageLayout(chipType), pid, vid, subs, bytes, error)) << error;
        const std::string path = dir_.file("image.bin");
        testsupport::writeFile(path, std::string(bytes.begin(), bytes.end()));
        std::unique_ptr<FwImage> fw = createFwImage(chipType);
        EXPECT_EQ(fw->load(path.c_str()), 0);
        return fw;
    }

    static std::vector<FwSubFirmware> subs(std::vector<std::pair<uint8_t, uint32_t>> typeLen) {
        std::vector<FwSubFirmware> out;
        uint32_t addr = 0x1000;
        for (size_t i = 0; i < typeLen.size(); ++i) {
            out.push_back(
                FwSubFirmware{typeLen[i].first, addr,
                              fwGeneratedData(i, typeLen[i].first, addr, typeLen[i].second)});
            addr += 0x10000;
        }
        return out;
    }

    // Raw reports (not register frames) with the given sub-command.
    static std::vector<Bytes> raw(const ScriptedHid& hid, uint8_t subCommand) {
        std::vector<Bytes> out;
        for (const Bytes& w : hid.writes) {
            if (w.size() > 1 && w[1] == subCommand)
                out.push_back(w);
        }
        return out;
    }

    size_t waitsOf(uint32_t ms) const {
        return static_cast<size_t>(std::count(clock_.waits().begin(), clock_.waits().end(), ms));
    }

    testsupport::TempDir dir_;
};

TEST_F(FwDownloadTest, FlashBlockCommandPerFamily) {
    const uint8_t odd[] = {0x01, 0x02, 0x03};
    uint8_t out[kFlashBlockCmdMaxLen];
    struct Case {
        int32_t chip;
        uint32_t addr;
        Bytes expected;
    };
    const Case cases[] = {
        // big-endian words 0x0102 + 0x0300; address bits 23..8 only
        {CHIP_5410, 0x123456, {0x0E, 0x12, 0x00, 0x00, 0x06, 0x00, 0x03, 0x12, 0x34, 0x04, 0x02}},
        {CHIP_5415R, 0x00C000, {0x0E, 0x12, 0x00, 0x00, 0x06, 0x00, 0x03, 0x00, 0xC0, 0x04, 0x02}},
        // little-endian words 0x0201 + 0x0003; the whole address
        {CHIP_FJORDK,
         0x10011000,
         {0x0E, 0x12, 0x00, 0x00, 0x0A, 0x00, 0x03, 0x10, 0x01, 0x10, 0x00, 0x00, 0x00, 0x02,
          0x04}},
        {CHIP_FJORDK8,
         0x40000,
         {0x0E, 0x12, 0x00, 0x00, 0x0A, 0x00, 0x03, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x02,
          0x04}},
    };
    for (const Case& c : cases) {
        useChip(c.chip);
        std::fill(std::begin(out), std::end(out), 0xEE);
        const int n = buildFlashBlockCmd(odd, 3, c.addr, out);
        ASSERT_EQ(n, static_cast<int>(c.expected.size())) << c.chip;
        EXPECT_EQ(Bytes(out, out + n), c.expected) << c.chip;
    }
    useChip(0);
    EXPECT_EQ(buildFlashBlockCmd(odd, 3, 0, out), 0);
}

TEST_F(FwDownloadTest, FlashBlockChecksumsWrapAtTheirWidth) {
    const Bytes block(4096, 0xFF);
    uint8_t out[kFlashBlockCmdMaxLen];
    useChip(CHIP_5410);
    ASSERT_EQ(buildFlashBlockCmd(block.data(), 4096, 0, out), 11);
    EXPECT_EQ(out[9] * 256 + out[10], (2048 * 0xFFFF) % 65536);
    EXPECT_EQ(out[5] * 256 + out[6], 4096);
    useChip(CHIP_CORVINA);
    ASSERT_EQ(buildFlashBlockCmd(block.data(), 4096, 0, out), 15);
    const uint32_t sum =
        (uint32_t{out[11]} << 24) | (uint32_t{out[12]} << 16) | (uint32_t{out[13]} << 8) | out[14];
    EXPECT_EQ(sum, 2048u * 0xFFFF);
}

TEST_F(FwDownloadTest, SubFirmwareIsWrittenInBlocksThroughTheRamBuffer) {
    useChip(CHIP_FJORDK);
    ScriptedHid hid(kTlcFramingV2);
    makeCooperative(hid);
    TlcConnection connection;
    const Bytes data = fwGeneratedData(0, 2, 0x40000, 4097);
    ASSERT_EQ(loadSubFw(connection, 0x40000, data.data(), 4097), 0);

    Bytes buffered;  // every register write frame into the RAM buffer, in order
    for (const testsupport::WireFrame& f : hid.frames()) {
        if (f.op == 0 && f.addr >= chipProfile.fwBufAddr && f.addr < chipProfile.fwBufAddr + 4096) {
            buffered.insert(buffered.end(), f.payload.begin(), f.payload.end());
        }
    }
    EXPECT_EQ(buffered, data);
    const std::vector<Bytes> flash = raw(hid, 0x12);
    ASSERT_EQ(flash.size(), 2u);
    uint8_t expected[kFlashBlockCmdMaxLen];
    ASSERT_EQ(buildFlashBlockCmd(data.data(), 4096, 0x40000, expected), 15);
    EXPECT_TRUE(std::equal(expected, expected + 15, flash[0].begin()));
    ASSERT_EQ(buildFlashBlockCmd(data.data() + 4096, 1, 0x41000, expected), 15);
    EXPECT_TRUE(std::equal(expected, expected + 15, flash[1].begin()));
    EXPECT_EQ(hid.writesTo(chipProfile.flashStatusAddr), (std::vector<Bytes>{{0x00}, {0x00}}));
    EXPECT_EQ(waitsOf(80), 2u);
    EXPECT_EQ(countLine("    [Info] <loadSubFw> Load sub firmware data successfully.\n"), 1u);
}

TEST_F(FwDownloadTest, BlockIsRetriedWholeAndGivenUpAfterTenAttempts) {
    useChip(CHIP_5410);
    {
        ScriptedHid hid(kTlcFramingV1);
        makeCooperative(hid);
        for (int i = 0; i < 5; ++i)
            hid.answerAt(chipProfile.flashStatusAddr, {0x00});
        TlcConnection connection;
        const Bytes data(10, 0x5A);
        EXPECT_EQ(loadSubFw(connection, 0x2000, data.data(), 10), 0);
        EXPECT_EQ(raw(hid, 0x12).size(), 2u);
        EXPECT_EQ(hid.writesTo(chipProfile.fwBufAddr).size(), 2u) << "the block is written again";
        EXPECT_EQ(countLine("   [Error] <loadSubFw> Write load flash command error. ret = -1. "
                            "Retry remaining: 9.\n"),
                  1u);
    }
    log_->clear();
    ScriptedHid hid(kTlcFramingV1);
    makeCooperative(hid);
    hid.setRegs(chipProfile.flashStatusAddr, {0x00});  // never acknowledges
    TlcConnection connection;
    const Bytes data(10, 0x5A);
    EXPECT_EQ(loadSubFw(connection, 0x2000, data.data(), 10), -1);
    EXPECT_EQ(raw(hid, 0x12).size(), 10u);
    EXPECT_EQ(countLine("   [Error] <loadSubFw> Write load flash command error. ret = -1. Retry "
                        "remaining: 0.\n"),
              1u);
    EXPECT_EQ(countLine("   [Error] <loadSubFw> Write load flash command error.\n"), 1u);
}

TEST_F(FwDownloadTest, EmptyAndMissingData) {
    useChip(CHIP_FJORDK);
    ScriptedHid hid(kTlcFramingV2);
    TlcConnection connection;
    EXPECT_EQ(loadSubFw(connection, 0x1000, nullptr, 0), 0);
    EXPECT_TRUE(hid.writes.empty());
    EXPECT_EQ(loadSubFw(connection, 0x1000, nullptr, 16), -1);
    EXPECT_TRUE(hid.writes.empty()) << "nothing is flashed without data";
}

TEST_F(FwDownloadTest, EnterUpdateAndRamCheck) {
    useChip(CHIP_FJORDK);
    {
        // The fjord family trusts the RAM check, not the command writes.
        ScriptedHid hid(kTlcFramingV2);
        makeCooperative(hid);
        hid.failWrite(0, -3);
        hid.failWrite(1, -3);
        hid.failWrite(2, -3);
        TlcConnection connection;
        EXPECT_EQ(NotifyICEnterUpdate(connection), 0);
        EXPECT_EQ(
            countLine("   [Error] <NotifyICEnterUpdate> <NotifyICEnterUpdate> Failed to start "
                      "updating. ret = -2.\n"),
            3u);
    }
    {
        ScriptedHid hid(kTlcFramingV2);  // RAM reads back zeros
        TlcConnection connection;
        EXPECT_EQ(NotifyICEnterUpdate(connection), -1);
        EXPECT_EQ(hid.writesTo(chipProfile.fwBufAddr).size(), 3u);
        EXPECT_EQ(waitsOf(10), 3u);
    }
    useChip(CHIP_5415R);
    ScriptedHid hid(kTlcFramingV1);
    hid.failWrite(0, -3);
    hid.failWrite(1, -3);
    hid.failWrite(2, -3);
    TlcConnection connection;
    EXPECT_EQ(NotifyICEnterUpdate(connection), -3);
    EXPECT_TRUE(hid.writesTo(chipProfile.fwBufAddr).empty());
}

TEST_F(FwDownloadTest, FlagSelectsTypesModuloThirtyTwoAndDrivesTheProgress) {
    useChip(CHIP_FJORDK);
    struct Case {
        uint32_t flag;
        size_t flashed;
        std::string progress;
    };
    const std::string back(59, '\b');
    const Case cases[] = {
        {0x0C, 3,
         "\nProgress:\n" + back + "[" + std::string(50, ' ') + "]  0%" + back + "[" +
             std::string(25, '=') + std::string(25, ' ') + "]  50%" + back + "[" +
             std::string(50, '=') + "]  100%\n"},
        {0x04, 2,
         "\nProgress:\n" + back + "[" + std::string(50, ' ') + "]  0%" + back + "[" +
             std::string(50, '=') + "]  100%\n"},
        {0x00, 0, ""},
    };
    for (const Case& c : cases) {
        ScriptedHid hid(kTlcFramingV2);
        makeCooperative(hid);
        auto fw = image(subs({{2, 100}, {35, 100}, {34, 100}}));  // 35 % 32 = 3, 34 % 32 = 2
        TlcConnection connection;
        testing::internal::CaptureStdout();
        EXPECT_EQ(fwUpdateWithConnection(connection, *fw, c.flag, nullptr, 0), 0) << c.flag;
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.progress) << c.flag;
        EXPECT_EQ(raw(hid, 0x12).size(), c.flashed) << c.flag;
        EXPECT_EQ(raw(hid, 0x13).size(), 1u) << "restarted";
    }
    EXPECT_EQ(countLine("    [Info] <fwUpdateWithConnection> no need flash cfg to ic,cfg len:0.\n"),
              3u);
}

TEST_F(FwDownloadTest, SingleSubFirmwareReachesOneHundredPercent) {
    useChip(CHIP_CORVINA);
    ScriptedHid hid(kTlcFramingV2);
    makeCooperative(hid);
    auto fw = image(subs({{3, 50}}));
    TlcConnection connection;
    testing::internal::CaptureStdout();
    EXPECT_EQ(fwUpdateWithConnection(connection, *fw, 0x0C, nullptr, 0), 0);
    std::fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("]  100%\n"), std::string::npos) << out;
}

TEST_F(FwDownloadTest, FjordK8SendsTheExtraCommandBeforeTheSixthSubFirmwareOnly) {
    for (int32_t chip : {CHIP_FJORDK8, CHIP_FJORDK}) {
        useChip(chip);
        ScriptedHid hid(chip == CHIP_FJORDK8 ? kTlcFramingV3 : kTlcFramingV2);
        makeCooperative(hid);
        auto fw = image(subs({{2, 10}, {2, 10}, {2, 10}, {2, 10}, {2, 10}, {9, 10}}));
        TlcConnection connection;
        testing::internal::CaptureStdout();
        EXPECT_EQ(fwUpdateWithConnection(connection, *fw, 0x0C, nullptr, 0), 0);
        testing::internal::GetCapturedStdout();
        const std::vector<Bytes> extra = raw(hid, 0x40);
        ASSERT_EQ(extra.size(), chip == CHIP_FJORDK8 ? 1u : 0u) << chip;
        if (!extra.empty()) {
            EXPECT_EQ(extra[0].size(), 3u);
        }
    }
}

TEST_F(FwDownloadTest, ConfigurationIsFlashedAtItsAddressAfterTheFirmware) {
    useChip(CHIP_FJORDH3);
    ScriptedHid hid(kTlcFramingV2);
    makeCooperative(hid);
    auto fw = image(subs({{2, 20}}));
    const Bytes cfg(4096, 0x33);
    TlcConnection connection;
    testing::internal::CaptureStdout();
    EXPECT_EQ(fwUpdateWithConnection(connection, *fw, 0x0C, cfg.data(), 4096), 0);
    testing::internal::GetCapturedStdout();
    const std::vector<Bytes> flash = raw(hid, 0x12);
    ASSERT_EQ(flash.size(), 2u);
    EXPECT_EQ(Bytes(flash[1].begin() + 7, flash[1].begin() + 11), (Bytes{0x00, 0x03, 0xE0, 0x00}));
}

TEST_F(FwDownloadTest, DownloadStopsAtTheFirstFailedStep) {
    struct Case {
        const char* name;
        void (*script)(ScriptedHid&);
        int32_t result;
    };
    const Case cases[] = {
        {"patch command lost", [](ScriptedHid& hid) { hid.failWrite(0); }, -1},
        {"patch never ready",
         [](ScriptedHid& hid) { hid.setRegs(chipProfile.patchStatusAddr, {0x00}); }, -2},
        {"RAM check fails",
         [](ScriptedHid& hid) {
             hid.setRegs(chipProfile.fwBufAddr, {0, 0, 0, 0, 0});
         },
         -3},
        {"flash never acknowledges",
         [](ScriptedHid& hid) { hid.setRegs(chipProfile.flashStatusAddr, {0x00}); }, -5},
    };
    for (const Case& c : cases) {
        useChip(CHIP_FJORDK);
        ScriptedHid hid(kTlcFramingV2);
        makeCooperative(hid);
        c.script(hid);
        auto fw = image(subs({{2, 20}}));
        TlcConnection connection;
        testing::internal::CaptureStdout();
        EXPECT_EQ(fwUpdateWithConnection(connection, *fw, 0x0C, nullptr, 0), c.result) << c.name;
        testing::internal::GetCapturedStdout();
        EXPECT_TRUE(raw(hid, 0x13).empty()) << c.name << ": no restart after a failure";
    }
}

class FwUpdateDriverTest : public FwDownloadTest {
  protected:
    // A cooperative chip that reports `pid` and kOldVid until the update and
    // `vidAfter` afterwards.
    void identity(ScriptedHid& hid, const std::string& pid, const uint8_t* vidAfter) {
        makeCooperative(hid);
        hid.setRegs(chipProfile.pidAddr, Bytes(pid.begin(), pid.end()));
        hid.answerAt(chipProfile.vidAddr, Bytes(kOldVid, kOldVid + 4));
        hid.setRegs(chipProfile.vidAddr, Bytes(vidAfter, vidAfter + 4));
        hid.setRegs(chipProfile.sidAddr, {0x03});
    }

    int32_t update(FwImage& fw, bool ignoreVer = false) {
        testing::internal::CaptureStdout();
        const int32_t ret = fwUpdateHelper(fw, ignoreVer, 0x0C, nullptr, 0);
        testing::internal::GetCapturedStdout();
        return ret;
    }
};

TEST_F(FwUpdateDriverTest, ResultCodes) {
    useChip(CHIP_FJORDK);
    struct Case {
        const char* name;
        const char* chipPid;
        const uint8_t* vidAfter;
        void (*script)(ScriptedHid&);
        int32_t result;
        const char* line;
    };
    const Case cases[] = {
        {"updated", "0121", kNewVid, [](ScriptedHid&) {}, 0,
         "    [Info] <fwUpdateHelper> Update firmware successfully.\n"},
        {"open fails", "0121", kNewVid,
         [](ScriptedHid& hid) {
             hid.openResults = {-1, -1, -1};
         },
         -1, nullptr},
        {"foreign chip", "9999", kNewVid, [](ScriptedHid&) {}, -1,
         "   [Error] <fwUpdateHelper> pid is invalid.\n"},
        {"identity unreadable", "0121", kNewVid,
         [](ScriptedHid& hid) { hid.failWritesTo(chipProfile.pidAddr); }, -2,
         "   [Error] <fwUpdateHelper> Read IC version failed. ret = -1.\n"},
        {"download fails", "0121", kNewVid,
         [](ScriptedHid& hid) { hid.setRegs(chipProfile.patchStatusAddr, {0x00}); }, -5,
         "   [Error] <fwUpdateHelper> Write firmware data failed. ret = -2.\n"},
        {"version unchanged", "0121", kOldVid, [](ScriptedHid&) {}, -7,
         "   [Error] <fwUpdateHelper> Vid version verify after updating failed.\n"},
    };
    for (const Case& c : cases) {
        log_->clear();
        ScriptedHid hid(kTlcFramingV2);
        identity(hid, c.chipPid, c.vidAfter);
        c.script(hid);
        auto fw = image(subs({{2, 64}}));
        EXPECT_EQ(update(*fw), c.result) << c.name;
        if (c.line != nullptr) {
            EXPECT_EQ(countLine(c.line), 1u) << c.name;
        }
        if (hid.count("open") > 0) {
            EXPECT_EQ(hid.events.back(), "close") << c.name << ": the connection is closed";
        }
    }
}

TEST_F(FwUpdateDriverTest, RetriesTheWholeDownloadAndWaitsBetweenAttempts) {
    useChip(CHIP_FJORDK);
    ScriptedHid hid(kTlcFramingV2);
    identity(hid, "0121", kNewVid);
    hid.setRegs(chipProfile.patchStatusAddr, {0x00});
    auto fw = image(subs({{2, 64}}));
    EXPECT_EQ(update(*fw), -5);
    EXPECT_EQ(raw(hid, 0x10).size(), 3u) << "three switch-to-patch reports";
    EXPECT_EQ(countLine("   [Error] <fwUpdateHelper> Write firmware data failed. ret = -2. Retry "
                        "remaining: 2.\n"),
              1u);
    EXPECT_EQ(countLine("   [Error] <fwUpdateHelper> Write firmware data failed. ret = -2. Retry "
                        "remaining: 0.\n"),
              1u);
    EXPECT_EQ(waitsOf(50), 3u);
}

TEST_F(FwUpdateDriverTest, EqualVersionsNeedNoDownload) {
    useChip(CHIP_FJORDK);
    ScriptedHid hid(kTlcFramingV2);
    identity(hid, "0121", kOldVid);
    auto fw = image(subs({{2, 64}}), "0121", kOldVid);
    EXPECT_EQ(update(*fw), 0);
    EXPECT_TRUE(raw(hid, 0x10).empty());
    EXPECT_EQ(countLine("    [Info] <fwUpdateHelper> There's no need to update FW.\n"), 1u);
}

TEST_F(FwUpdateDriverTest, IgnoreVersionFlashesEvenAForeignPid) {
    useChip(CHIP_FJORDK4);
    ScriptedHid hid(kTlcFramingV2);
    identity(hid, "ZZZZ", kNewVid);
    auto fw = image(subs({{2, 64}}), "0132");
    EXPECT_EQ(update(*fw, true), 0);
    EXPECT_EQ(raw(hid, 0x10).size(), 1u);
}

TEST_F(FwUpdateDriverTest, FileLevelCodes) {
    useChip(0);
    EXPECT_EQ(fwUpdateWithFile("x.bin", false, 0x0C, nullptr), -1);
    EXPECT_EQ(countLine("   [Error] <fwUpdateWithFile> unsupport this type:0.\n"), 1u);
    useChip(CHIP_FJORDK);
    ScriptedHid hid(kTlcFramingV2);
    EXPECT_EQ(fwUpdateWithFile(dir_.file("missing.bin").c_str(), false, 0x0C, nullptr), -3);
    auto fw = image(subs({{2, 64}}));
    const std::string badCfg = dir_.file("bad.cfg");
    testsupport::writeFile(badCfg, "0x01");
    EXPECT_EQ(fwUpdateWithFile(dir_.file("image.bin").c_str(), false, 0x0C, badCfg.c_str()), -4);
    EXPECT_TRUE(hid.events.empty()) << "nothing reaches the device when a file is bad";
}

}  // namespace
