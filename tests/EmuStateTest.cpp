// Chip state files, configuration blocks and the helpers of touchfw-emu.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

#include "tests/EmuFixture.h"

namespace {

using emutest::Bytes;
using emutest::fjordCmd;

class EmuStateTest : public EmuFixture {};

TEST_F(EmuStateTest, StateSurvivesASaveAndALoad) {
    startEmu(CHIP_FJORDH3);
    chip().setProductId("ABCD1234");
    chip().setVersionId({0x02, 0x10, 0x00, 0x07});
    chip().setSensorId(9);
    chip().setConfiguration(emu::makeConfiguration(CHIP_FJORDH3, 0x33, 8192));
    chip().writeRegisters(0x20000, {0xDE, 0xAD});
    {
        emutest::Wire wire(sys());
        ASSERT_TRUE(wire.write(0x10180, fjordCmd(0x33)));  // reporting off, acknowledged later
    }
    const std::string text = chip().saveState();  // runs the pending acknowledgement

    emu::EmulatedChip copy(CHIP_FJORDH3);
    std::string error;
    ASSERT_TRUE(copy.loadState(text, &error)) << error;
    EXPECT_EQ(copy.productId(), "ABCD1234");
    EXPECT_EQ(copy.versionId(), (std::array<uint8_t, 4>{0x02, 0x10, 0x00, 0x07}));
    EXPECT_EQ(copy.sensorId(), 9);
    EXPECT_EQ(copy.configuration(), chip().configuration());
    EXPECT_EQ(copy.configurationVersion(), 0x33);
    EXPECT_EQ(copy.registers().read(0x20000, 2), (Bytes{0xDE, 0xAD}));
    EXPECT_EQ(copy.registers().read(0x10180, 2), (Bytes{0x80, 0x80}));
    EXPECT_FALSE(copy.reportingEnabled());
    EXPECT_EQ(copy.saveState(), text);
}

TEST_F(EmuStateTest, FlashAndDownloadsUnderWaySurviveASaveAndALoad) {
    startEmu(CHIP_FJORDK);
    const ChipProfile& p = chip().profile();
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.send(emutest::rawCommand(0x10, 65)));
    ASSERT_TRUE(wire.send(emutest::rawCommand(0x11, 65)));
    Bytes block(4096);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 3);
    ASSERT_TRUE(wire.write(p.fwBufAddr, block));
    ASSERT_TRUE(wire.send(emutest::flashCommand(CHIP_FJORDK, 4096, 0x21000,
                                                emutest::blockChecksum(CHIP_FJORDK, block), 65)));
    ASSERT_TRUE(wire.write(p.cmdAddr, fjordCmd(0x04)));
    ASSERT_TRUE(wire.write(p.cfgAddr, {0x12, 0x34, 0x56}));
    const std::string text = chip().saveState();

    emu::EmulatedChip copy(CHIP_FJORDK);
    std::string error;
    ASSERT_TRUE(copy.loadState(text, &error)) << error;
    EXPECT_EQ(copy.readFlash(0x21000, 4096), block);
    EXPECT_EQ(copy.readFlash(0x20FFF, 1), Bytes{0xFF});  // erased flash around it
    ASSERT_EQ(copy.flashedSinceRestart().size(), 1u);
    EXPECT_EQ(copy.flashedSinceRestart()[0].addr, 0x21000u);
    EXPECT_EQ(copy.flashedSinceRestart()[0].len, 4096u);
    EXPECT_EQ(copy.firmwareMode(), emu::FirmwareMode::update);
    EXPECT_EQ(copy.cfgSession(), emu::CfgSession::downloading);
    EXPECT_EQ(copy.peekRegisters(p.cfgAddr, 3), (Bytes{0x12, 0x34, 0x56}));
    EXPECT_EQ(copy.saveState(), text);
}

TEST_F(EmuStateTest, DamagedStateIsRefusedAndLeavesTheChipAsItWas) {
    emu::EmulatedChip source(CHIP_FJORDK);
    source.setProductId("GOOD");
    const std::string good = source.saveState();
    const size_t configAt = good.find("config ");
    struct Case {
        const char* name;
        std::string text;
        const char* error;
    };
    const Case cases[] = {
        {"other format", "hello\n" + good, "not a touchfw-emu state file"},
        {"other family",
         [&] {
             std::string t = good;
             t.replace(t.find("family fjordK"), 13, "family fjordH3");
             return t;
         }(),
         "state of family fjordH3"},
        {"cut short", good.substr(0, good.size() - 4), "cut short"},
        {"odd hex",
         [&] {
             std::string t = good;
             t.insert(configAt + 7, "A");
             return t;
         }(),
         "bad configuration bytes"},
        {"page not aligned",
         [&] {
             std::string t = good;
             t.insert(t.find("end\n"), "reg 0x00000010 " + std::string(512, '0') + "\n");
             return t;
         }(),
         "bad register page"},
        {"short page",
         [&] {
             std::string t = good;
             t.insert(t.find("end\n"), "reg 0x00000100 00FF\n");
             return t;
         }(),
         "bad register page"},
        {"flashed block too long",
         [&] {
             std::string t = good;
             t.insert(t.find("end\n"), "block 0x00001000 5000\n");
             return t;
         }(),
         "bad flashed block"},
        {"flash page with bad digits",
         [&] {
             std::string t = good;
             t.insert(t.find("end\n"), "flash 0x00001000 " + std::string(511, '0') + "G\n");
             return t;
         }(),
         "bad flash page"},
        {"unknown entry",
         [&] {
             std::string t = good;
             t.insert(t.find("end\n"), "bogus 1\n");
             return t;
         }(),
         "unknown entry"},
        {"trailing field",
         [&] {
             std::string t = good;
             t.replace(t.find("reporting 1"), 11, "reporting 1 2");
             return t;
         }(),
         "unexpected"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        emu::EmulatedChip target(CHIP_FJORDK);
        std::string error;
        EXPECT_FALSE(target.loadState(c.text, &error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_EQ(target.productId(), "0121");
    }
    emu::EmulatedChip target(CHIP_FJORDK);
    std::string error;
    EXPECT_TRUE(target.loadState(good, &error)) << error;
    EXPECT_EQ(target.productId(), "GOOD");
}

TEST_F(EmuStateTest, StateFileRoundTrip) {
    testsupport::TempDir dir;
    const std::string path = emu::stateFilePath(CHIP_5415R, dir.path().c_str());
    EXPECT_EQ(path, dir.path() + "/touchfw-emu-5415R.state");
    emu::EmulatedChip a(CHIP_5415R);
    a.setVersionId({9, 8, 7, 6});
    std::string error;
    ASSERT_TRUE(a.saveStateFile(path, &error)) << error;
    emu::EmulatedChip b(CHIP_5415R);
    ASSERT_TRUE(b.loadStateFile(path, &error)) << error;
    EXPECT_EQ(b.versionId(), (std::array<uint8_t, 4>{9, 8, 7, 6}));
    EXPECT_FALSE(b.loadStateFile(dir.file("missing.state"), &error));
    EXPECT_FALSE(a.saveStateFile(dir.file("no/such/dir/x.state"), &error));
#if !defined(_WIN32)
    // A link to the state is followed in a private folder only: in one that
    // anyone may write it may have been planted there.
    ASSERT_EQ(symlink(path.c_str(), dir.file("link.state").c_str()), 0);
    EXPECT_TRUE(b.loadStateFile(dir.file("link.state"), &error)) << error;
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    EXPECT_FALSE(b.loadStateFile(dir.file("link.state"), &error));
    EXPECT_NE(error.find("symbolic link in a folder other users may write"), std::string::npos)
        << error;
    EXPECT_TRUE(b.loadStateFile(path, &error)) << error;
#endif
}

TEST_F(EmuStateTest, ConfigurationBlocksCarryRightCheckBytes) {
    for (int32_t type = CHIP_5410; type <= CHIP_FJORDK4; ++type) {
        for (const uint8_t version : {0x00, 0x01, 0x7F, 0xFF}) {
            SCOPED_TRACE(std::string(emu::familyName(type)) + " " + std::to_string(version));
            const Bytes c = emu::makeConfiguration(type, version, 4096);
            ASSERT_EQ(c.size(), 4096u);
            EXPECT_EQ(emu::configurationVersionOf(type, c), version);
            if (type == CHIP_5410) {
                EXPECT_EQ(c[0], version);
                EXPECT_EQ((c[0] + c[1] + c[2] + c[3]) & 0xFF, 0);
            } else if (type == CHIP_5415R) {
                EXPECT_EQ(c[0], version);
                EXPECT_EQ(c[0] + c[1] + c[2], c[3] + c[4]);
            } else {
                EXPECT_EQ(c[34], version);
                unsigned sum = 0;
                for (size_t i = 0; i < 62; ++i)
                    sum += c[i];
                EXPECT_EQ(sum & 0xFFFF, c[62] | (c[63] << 8u));
            }
        }
    }
    EXPECT_EQ(emu::makeConfiguration(CHIP_FJORDK, 1, 10).size(), 64u);  // at least one block
}

TEST_F(EmuStateTest, ChipFamilyFromTheCommandLine) {
    struct Case {
        std::vector<const char*> args;
        int32_t type;
    };
    const Case cases[] = {
        {{"touchfw-emu", "-p", "vid"}, CHIP_FJORDK},
        {{"touchfw-emu", "--chip", "corvina", "-p", "vid"}, CHIP_CORVINA},
        {{"touchfw-emu", "--chip", "FJORDK8"}, CHIP_FJORDK8},
        {{"touchfw-emu", "--chip", "5415r", "--chip", "5410"}, CHIP_5410},
        {{"touchfw-emu", "--chip", "nonsense"}, CHIP_FJORDK},
        {{"touchfw-emu", "--chip"}, CHIP_FJORDK},
        {{"touchfw-emu", "--CHIP", "5410"}, CHIP_FJORDK},  // option names are case-sensitive
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const char* a : c.args)
            argv.push_back(const_cast<char*>(a));
        EXPECT_EQ(emu::chipTypeFromArgs(static_cast<int>(argv.size()), argv.data()), c.type)
            << c.args.size();
    }
    EXPECT_EQ(emu::stateFilePath(CHIP_FJORDK, nullptr), "./touchfw-emu-fjordK.state");
    EXPECT_EQ(emu::stateFilePath(CHIP_FJORDK, ""), "./touchfw-emu-fjordK.state");
}

// Register ranges, read and written a page at a time, equal their bytes one
// at a time: at page edges, around the configuration window in and out of a
// session, and wrapping round from the top of the address space.
TEST(SparseMemoryTest, RegisterRangesEqualTheirBytes) {
    for (const int32_t type : {CHIP_5410, CHIP_FJORDK}) {
        const ChipProfile profile = chipProfileOf(type);
        const int64_t cfg = profile.cfgAddr;
        emu::RegisterMap regs(type, profile);
        regs.reset(emu::makeConfiguration(type, 3, 8192));
        for (const emu::CfgSession session :
             {emu::CfgSession::idle, emu::CfgSession::downloading, emu::CfgSession::reading}) {
            regs.session = session;
            for (const int64_t offset : {int64_t{-300}, int64_t{-1}, int64_t{4095}, int64_t{8191},
                                         int64_t{65535}, -cfg - 100}) {
                for (const size_t n : {size_t{1}, size_t{300}, static_cast<size_t>(cfg + 9000)}) {
                    SCOPED_TRACE(std::to_string(type) + " " + std::to_string(offset) + " " +
                                 std::to_string(n));
                    const uint32_t addr = static_cast<uint32_t>(cfg + offset);
                    Bytes data(n);
                    for (size_t i = 0; i < n; ++i)
                        data[i] = static_cast<uint8_t>(i * 13 + offset);
                    emu::RegisterMap single = regs;
                    regs.store(addr, data.data(), n);
                    for (size_t i = 0; i < n; ++i)
                        single.store(addr + static_cast<uint32_t>(i), &data[i], 1);
                    EXPECT_EQ(regs.pending, single.pending);
                    EXPECT_EQ(regs.memory.pages(), single.memory.pages());
                    const Bytes view = regs.view(addr - 5, n + 10);
                    for (uint32_t i = 0; i < view.size(); ++i)
                        ASSERT_EQ(view[i], regs.viewByte(addr - 5 + i)) << i;
                }
            }
        }
    }
}

}  // namespace
