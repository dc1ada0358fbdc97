// The firmware update driver against the emulated chip of every family: what
// lands in flash, the version decision and every result code.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "cfg/CfgImage.h"
#include "fw/FwImage.h"
#include "fw/FwImageBuilder.h"
#include "fw/FwUpdate.h"
#include "tests/EmuFixture.h"

namespace {

using emutest::Bytes;

const uint8_t kNewVid[4] = {0x09, 0x08, 0x07, 0x06};

class FwUpdateEmuTest : public EmuFixture {
  protected:
    // An image for the chip: sub-firmware 0 (type 2) carries the identity
    // block and is longer than one flash block, sub-firmware 1 (type 4) is
    // not selected by the default flag, sub-firmware 2 (type 3) is.
    std::string writeImage(const std::string& pid, const uint8_t* vid = kNewVid) {
        const bool layoutA = chipType == CHIP_5410 || chipType == CHIP_5415R;
        const uint32_t base = layoutA ? 0x000000 : 0x00000000;
        subs_ = {
            FwSubFirmware{2, base, fwGeneratedData(0, 2, base, 4200)},
            FwSubFirmware{4, base + 0x18000, fwGeneratedData(1, 4, base + 0x18000, 64)},
            FwSubFirmware{3, base + 0x10000, fwGeneratedData(2, 3, base + 0x10000, 601)},
        };
        const Bytes identity = fwIdentityBlock(pid, vid);
        subs_[0].data.insert(subs_[0].data.begin(), identity.begin(), identity.end());
        Bytes image;
        std::string error;
        EXPECT_TRUE(buildFwImage(*fwImageLayout(chipType), pid, vid, subs_, image, error)) << error;
        const std::string path = dir_.file("image.bin");
        testsupport::writeFile(path, std::string(image.begin(), image.end()));
        return path;
    }

    int32_t update(const std::string& path, bool ignoreVer = false, const char* cfg = nullptr,
                   uint32_t flag = 0x0C) {
        testing::internal::CaptureStdout();
        const int32_t ret = fwUpdateWithFile(path.c_str(), ignoreVer, flag, cfg);
        testing::internal::GetCapturedStdout();
        return ret;
    }

    static std::string pidOf(int32_t type) { return emu::defaultProductIdText(type); }

    std::vector<FwSubFirmware> subs_;
    testsupport::TempDir dir_;
};

TEST_F(FwUpdateEmuTest, SelectedSubFirmwaresLandInFlashByteForByte) {
    for (int32_t type = CHIP_5410; type <= CHIP_FJORDK4; ++type) {
        SCOPED_TRACE(emu::familyName(type));
        log_->clear();
        startEmu(type);
        const std::string path = writeImage(pidOf(type));
        ASSERT_EQ(update(path), 0);
        EXPECT_EQ(chip().readFlash(subs_[0].addr, subs_[0].data.size()), subs_[0].data);
        EXPECT_EQ(chip().readFlash(subs_[2].addr, subs_[2].data.size()), subs_[2].data);
        EXPECT_NE(chip().readFlash(subs_[1].addr, subs_[1].data.size()), subs_[1].data)
            << "type 4 is not selected by the default flag";
        EXPECT_EQ(chip().restarts(), 1);
        EXPECT_EQ(log_->count("Update firmware successfully."), 2u);
    }
}

TEST_F(FwUpdateEmuTest, FlagZeroFlashesNothingButRestarts) {
    startEmu(CHIP_FJORDH3);
    const std::string path = writeImage(pidOf(CHIP_FJORDH3));
    // Nothing flashed, so the chip keeps its version and the verification fails.
    EXPECT_EQ(update(path, false, nullptr, 0x00), -7);
    EXPECT_TRUE(chip().flashedSinceRestart().empty());
    EXPECT_EQ(log_->count("Sub firmware type does not math."), 3u);
}

TEST_F(FwUpdateEmuTest, ResultCodes) {
    struct Case {
        const char* name;
        int32_t chip;
        std::vector<emu::FaultRule> faults;
        bool badConfig;
        int32_t result;
    };
    const std::vector<Case> cases = {
        {"open fails", CHIP_FJORDK, {emu::faults::failOpen()}, false, -1},
        {"identity unreadable", CHIP_5410, {emu::faults::failAnswerAt(0x4535)}, false, -2},
        {"configuration file bad", CHIP_CORVINA, {}, true, -4},
        {"every download fails", CHIP_FJORDK4, {emu::faults::corruptAnswerAt(0x14000)}, false, -5},
        {"identity unreadable after",
         CHIP_FJORDH3,
         {emu::faults::failAnswerAt(0x10016, emu::kForever, 1)},
         false,
         -6},
        {"version unchanged", CHIP_FJORDK8, {emu::faults::wrongVidAfterRestart()}, false, -7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startEmu(c.chip, emu::SystemOptions{true, false, true});
        for (const emu::FaultRule& rule : c.faults)
            chip().addFault(rule);
        const std::string path = writeImage(pidOf(c.chip));
        const std::string cfg = dir_.file("bad.cfg");
        testsupport::writeFile(cfg, "0x01");
        EXPECT_EQ(update(path, false, c.badConfig ? cfg.c_str() : nullptr), c.result);
        if (c.result != -1 && c.result != -4) {
            EXPECT_EQ(log_->count("<TlcConnection::close>"), 0u) << "close succeeded";
            EXPECT_TRUE(chip().reportingEnabled()) << "reporting resumed";
        }
    }
    resetChipProfile();
    EXPECT_EQ(fwUpdateWithFile("x.bin", false, 0x0C, nullptr), -1);
    chipType = CHIP_FJORDK;
    initChipProfile();
    EXPECT_EQ(fwUpdateWithFile(dir_.file("missing.bin").c_str(), false, 0x0C, nullptr), -3);
}

TEST_F(FwUpdateEmuTest, EqualVersionsWithAndWithoutConfiguration) {
    startEmu(CHIP_FJORDK);
    const std::string path = writeImage(pidOf(CHIP_FJORDK));
    ASSERT_EQ(update(path), 0);
    const int restarts = chip().restarts();
    // Same image again: nothing to do.
    EXPECT_EQ(update(path), 0);
    EXPECT_EQ(chip().restarts(), restarts);
    EXPECT_EQ(log_->count("There's no need to update FW.\n"), 1u);
    // Same image with a configuration of another version: the whole download runs.
    const std::string cfg = dir_.file("new.cfg");
    std::string text;
    for (uint8_t b : emu::makeConfiguration(CHIP_FJORDK, 0x42, 64)) {
        char item[8];
        std::snprintf(item, sizeof item, "0x%02X,", b);
        text += item;
    }
    testsupport::writeFile(cfg, text);
    EXPECT_EQ(update(path, false, cfg.c_str()), 0);
    EXPECT_EQ(chip().restarts(), restarts + 1);
    EXPECT_EQ(chip().configurationVersion(), 0x42);
    // And once more: versions of firmware and configuration both equal.
    EXPECT_EQ(update(path, false, cfg.c_str()), 0);
    EXPECT_EQ(chip().restarts(), restarts + 1);
    EXPECT_EQ(log_->count("There's no need to update FW & cfg, version is equal.\n"), 1u);
}

TEST_F(FwUpdateEmuTest, IgnoreVersionFlashesAForeignProductId) {
    startEmu(CHIP_5415R);
    const std::string path = writeImage("ABCD");
    EXPECT_EQ(update(path), -1);
    EXPECT_EQ(log_->count("pid is invalid.\n"), 1u);
    EXPECT_EQ(chip().restarts(), 0);
    EXPECT_EQ(update(path, true), 0);
    EXPECT_EQ(chip().restarts(), 1);
}

}  // namespace
