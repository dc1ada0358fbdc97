// The emulated chip's firmware update flow: switch to patch, enter update,
// RAM buffer writes, flash block commands with their checksums, the
// fjordK8 preparation command and the restart with the flashed identity.
#include <gtest/gtest.h>

#include "tests/EmuFixture.h"

namespace {

using emutest::Bytes;

class EmuUpdateTest : public EmuFixture {
  protected:
    // Sends a raw report on the chip's path.
    void raw(emutest::Wire& wire, const Bytes& report) {
        ASSERT_TRUE(wire.send(report)) << emu::hexBytes(report, 16);
    }
    void rawCommand(emutest::Wire& wire, uint8_t sub) {
        raw(wire, emutest::rawCommand(sub, chip().reportSize()));
    }
    // Switch to patch, wait, check, enter update: as a download starts.
    void enterUpdate(emutest::Wire& wire) {
        rawCommand(wire, 0x10);
        sleepMs(250);
        EXPECT_EQ(wire.read(chip().profile().patchStatusAddr, 1), Bytes{0xDD});
        rawCommand(wire, 0x11);
        sleepMs(100);
    }
    // One block through the RAM buffer; returns the flash status afterwards.
    uint8_t flashBlock(emutest::Wire& wire, uint32_t addr, const Bytes& data,
                       int checksumError = 0) {
        const ChipProfile& p = chip().profile();
        EXPECT_TRUE(wire.write(p.fwBufAddr, data));
        const uint32_t sum = emutest::blockChecksum(chip().type(), data) + checksumError;
        raw(wire, emutest::flashCommand(chip().type(), static_cast<uint32_t>(data.size()), addr,
                                        sum, chip().reportSize()));
        sleepMs(80);
        const uint8_t status = wire.read(p.flashStatusAddr, 1)[0];
        EXPECT_TRUE(wire.write(p.flashStatusAddr, {0x00}));
        return status;
    }
};

Bytes imageBlock(const char* pid, Bytes vid, size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 31);
    const char magic[] = "TFWI";
    std::copy(magic, magic + 4, b.begin());
    for (size_t i = 0; i < 8; ++i)
        b[4 + i] = static_cast<uint8_t>(pid[i]);
    std::copy(vid.begin(), vid.end(), b.begin() + 12);
    return b;
}

TEST_F(EmuUpdateTest, WholeDownloadBringsUpTheFlashedIdentity) {
    struct Case {
        int32_t type;
        uint32_t flashAddr;  // multiple of 256 so the older families can address it
    };
    const Case cases[] = {
        {CHIP_5410, 0x010000},  {CHIP_5415R, 0x008000}, {CHIP_FJORDK, 0x00010000},
        {CHIP_FJORDH3, 0x2000}, {CHIP_CORVINA, 0x3000}, {CHIP_FJORDK8, 0x00012000},
        {CHIP_FJORDK4, 0x4000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(emu::familyName(c.type));
        startEmu(c.type);
        emutest::Wire wire(sys());
        enterUpdate(wire);
        EXPECT_EQ(chip().firmwareMode(), emu::FirmwareMode::update);
        // RAM check pattern comes back as written.
        const Bytes check(5, 0x55);
        ASSERT_TRUE(wire.write(chip().profile().fwBufAddr, check));
        EXPECT_EQ(wire.read(chip().profile().fwBufAddr, 5), check);
        // A sub-firmware of 4097 bytes: a full block and a one-byte block.
        Bytes image = imageBlock("NEWP\0\0\0\0", {0x02, 0x03, 0x04, 0x05}, 4097, 0x11);
        const Bytes first(image.begin(), image.begin() + 4096);
        const Bytes tail(image.begin() + 4096, image.end());
        EXPECT_EQ(flashBlock(wire, c.flashAddr, first), 0xAA);
        EXPECT_EQ(flashBlock(wire, c.flashAddr + 4096, tail), 0xAA);
        EXPECT_EQ(chip().readFlash(c.flashAddr, image.size()), image);
        ASSERT_EQ(chip().flashedSinceRestart().size(), 2u);
        rawCommand(wire, 0x13);
        sleepMs(200);
        EXPECT_EQ(chip().firmwareMode(), emu::FirmwareMode::normal);
        EXPECT_TRUE(chip().flashedSinceRestart().empty());
        const ChipProfile& p = chip().profile();
        EXPECT_EQ(wire.read(p.pidAddr, 4), (Bytes{'N', 'E', 'W', 'P'}));
        EXPECT_EQ(wire.read(p.vidAddr, 4), (Bytes{0x02, 0x03, 0x04, 0x05}));
        EXPECT_EQ(wire.read(p.patchStatusAddr, 1), Bytes{0x00});
    }
}

TEST_F(EmuUpdateTest, ChecksumMismatchIsRefusedAndNothingIsFlashed) {
    for (const int32_t type : {CHIP_5415R, CHIP_FJORDK}) {
        SCOPED_TRACE(emu::familyName(type));
        startEmu(type);
        emutest::Wire wire(sys());
        enterUpdate(wire);
        const Bytes data(300, 0x42);
        EXPECT_EQ(flashBlock(wire, 0x2000, data, 1), emu::kFlashChecksumError);
        EXPECT_EQ(chip().readFlash(0x2000, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
        EXPECT_TRUE(chip().flashedSinceRestart().empty());
        expectProtocolErrors({"checksum"});
        EXPECT_EQ(flashBlock(wire, 0x2000, data), 0xAA);  // a right one goes through
    }
}

TEST_F(EmuUpdateTest, OddBlockChecksumCountsTheMissingByteAsZero) {
    startEmu(CHIP_5410);
    emutest::Wire wire(sys());
    enterUpdate(wire);
    // Leftovers in the RAM buffer after the block must not count.
    ASSERT_TRUE(wire.write(chip().profile().fwBufAddr, Bytes(8, 0x77)));
    const Bytes data = {0x12, 0x34, 0x56};
    EXPECT_EQ(emutest::blockChecksum(CHIP_5410, data), 0x1234u + 0x5600u);
    EXPECT_EQ(flashBlock(wire, 0x1000, data), 0xAA);
}

TEST_F(EmuUpdateTest, UpdateStepsOutOfOrderAreRefused) {
    startEmu(CHIP_FJORDK);
    emutest::Wire wire(sys());
    const Bytes data(16, 0x01);
    ASSERT_TRUE(wire.write(chip().profile().fwBufAddr, data));
    raw(wire, emutest::flashCommand(CHIP_FJORDK, 16, 0x1000,
                                    emutest::blockChecksum(CHIP_FJORDK, data), 65));
    rawCommand(wire, 0x11);  // enter update without the patch
    EXPECT_EQ(chip().firmwareMode(), emu::FirmwareMode::normal);
    EXPECT_TRUE(chip().flashedSinceRestart().empty());
    expectProtocolErrors({"flash block command outside the update program",
                          "enter update without the update patch"});
}

TEST_F(EmuUpdateTest, IdentityComesFromTheLowestFlashedBlockSinceTheLastRestart) {
    startEmu(CHIP_FJORDK);
    emutest::Wire wire(sys());
    enterUpdate(wire);
    EXPECT_EQ(flashBlock(wire, 0x9000, imageBlock("OLD1\0\0\0\0", {9, 9, 9, 9}, 64, 1)), 0xAA);
    rawCommand(wire, 0x13);
    EXPECT_EQ(chip().productId(), "OLD1");

    enterUpdate(wire);
    EXPECT_EQ(flashBlock(wire, 0x3000, imageBlock("HIGH\0\0\0\0", {3, 0, 0, 0}, 64, 2)), 0xAA);
    EXPECT_EQ(flashBlock(wire, 0x1000, Bytes(64, 0x00)), 0xAA);  // no identity block
    EXPECT_EQ(flashBlock(wire, 0x2000, imageBlock("LOWER\0\0\0", {2, 0, 0, 1}, 64, 3)), 0xAA);
    rawCommand(wire, 0x13);
    EXPECT_EQ(chip().productId(), "LOWER");
    EXPECT_EQ(chip().versionId(), (std::array<uint8_t, 4>{2, 0, 0, 1}));

    // A restart with nothing flashed keeps the identity.
    rawCommand(wire, 0x13);
    EXPECT_EQ(chip().productId(), "LOWER");
    EXPECT_EQ(chip().restarts(), 3);
}

TEST_F(EmuUpdateTest, FjordK8PreparationCommandOnlyThere) {
    startEmu(CHIP_FJORDK8);
    {
        emutest::Wire wire(sys());
        enterUpdate(wire);
        raw(wire, emutest::rawReport({0x0E, 0x40, 0x00}, 268));
        sleepMs(5);
        EXPECT_EQ(wire.read(0x10010011, 1), Bytes{0x01});
    }
    startEmu(CHIP_FJORDK);
    emutest::Wire wire(sys());
    uint32_t err = 0;
    EXPECT_FALSE(wire.send(emutest::rawReport({0x0E, 0x40, 0x00}, 65), &err));
    expectProtocolErrors({"unknown operation 0x40"});
}

TEST_F(EmuUpdateTest, ConfigurationFlashedWithTheFirmwareBecomesActive) {
    struct Case {
        int32_t type;
        uint32_t cfgFlashAddr;
    };
    const Case cases[] = {{CHIP_FJORDK, 0x40000},
                          {CHIP_FJORDH3, 0x3E000},
                          {CHIP_CORVINA, 0x3F000},
                          {CHIP_FJORDK8, 0x40000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(emu::familyName(c.type));
        startEmu(c.type);
        emutest::Wire wire(sys());
        enterUpdate(wire);
        const Bytes config = emu::makeConfiguration(c.type, 0x42, 8192);
        EXPECT_EQ(flashBlock(wire, c.cfgFlashAddr, Bytes(config.begin(), config.begin() + 4096)),
                  0xAA);
        EXPECT_EQ(
            flashBlock(wire, c.cfgFlashAddr + 4096, Bytes(config.begin() + 4096, config.end())),
            0xAA);
        EXPECT_EQ(chip().configurationVersion(), 1);  // not before the restart
        rawCommand(wire, 0x13);
        EXPECT_EQ(chip().configuration(), config);
        EXPECT_EQ(chip().configurationVersion(), 0x42);
    }
}

TEST_F(EmuUpdateTest, UpdateFaults) {
    startEmu(CHIP_FJORDK);
    const ChipProfile& p = chip().profile();
    ASSERT_TRUE(chip().addFault(emu::faults::withholdAck(emu::ChipCommand::switchToPatch, 1)));
    ASSERT_TRUE(chip().addFault(emu::faults::corruptAck(emu::ChipCommand::flashBlock, 1)));
    ASSERT_TRUE(chip().addFault(emu::faults::corruptAnswerAt(p.fwBufAddr, 1)));
    ASSERT_TRUE(chip().addFault(emu::faults::wrongVidAfterRestart()));
    emutest::Wire wire(sys());
    rawCommand(wire, 0x10);
    sleepMs(250);
    EXPECT_EQ(wire.read(p.patchStatusAddr, 1), Bytes{0x00});  // never ready this time
    enterUpdate(wire);                                        // the second switch works
    ASSERT_TRUE(wire.write(p.fwBufAddr, Bytes(5, 0x55)));
    EXPECT_EQ(wire.read(p.fwBufAddr, 5), Bytes(5, 0xAA));  // bad RAM check
    EXPECT_EQ(wire.read(p.fwBufAddr, 5), Bytes(5, 0x55));
    const Bytes block = imageBlock("0121\0\0\0\0", {0x01, 0x00, 0x00, 0x07}, 128, 5);
    EXPECT_NE(flashBlock(wire, 0x1000, block), 0xAA);  // a wrong acknowledgement
    EXPECT_EQ(flashBlock(wire, 0x1000, block), 0xAA);
    rawCommand(wire, 0x13);
    EXPECT_EQ(chip().versionId(), (std::array<uint8_t, 4>{0x01, 0x00, 0x00, 0x08}));
}

TEST_F(EmuUpdateTest, MalformedRawCommandsAreRefused) {
    struct Case {
        Bytes bytes;
        const char* error;
    };
    const Case cases[] = {
        {{0x0E, 0x10, 0x00, 0x00, 0x02, 0x01}, "raw switch-to-patch with count 2"},
        {{0x0E, 0x13, 0x00, 0x00, 0x01, 0x02}, "raw restart with data byte 0x02"},
        {{0x0E, 0x11, 0x01, 0x00, 0x01, 0x01}, "raw enter-update with bytes 2 and 3"},
        {{0x0E, 0x13, 0x00, 0x00, 0x01, 0x01, 0x00, 0x09}, "byte 0x09 at offset 7"},
        {{0x0E, 0x12, 0x00, 0x00, 0x06, 0x00, 0x10}, "raw flash-block with count 6 (expected 10)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        startEmu(CHIP_FJORDK);
        emutest::Wire wire(sys());
        EXPECT_FALSE(wire.send(emutest::rawReport(c.bytes, 65)));
        EXPECT_EQ(chip().restarts(), 0);
        EXPECT_EQ(chip().firmwareMode(), emu::FirmwareMode::normal);
        expectProtocolErrors({c.error});
    }
}

}  // namespace
