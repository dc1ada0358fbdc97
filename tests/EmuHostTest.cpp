// The emulated HID host: enumeration with decoys, opens, failures, the
// device vanishing, and reports that reach the wrong interface or path.
#include <gtest/gtest.h>

#include "tests/EmuFixture.h"

namespace {

using emutest::Bytes;

class EmuHostTest : public EmuFixture {};

struct FamilyKeys {
    int32_t type;
    uint16_t productId;
    uint16_t usagePage;
    uint16_t reportLength;
};

const FamilyKeys kKeys[] = {
    {CHIP_5410, 0x01E0, 0xFF00, 65},    {CHIP_5415R, 0x01E8, 0xFF00, 65},
    {CHIP_FJORDK, 0x0121, 0xFFF0, 65},  {CHIP_FJORDH3, 0x0F60, 0xFF00, 65},
    {CHIP_CORVINA, 0x01EC, 0xFF00, 65}, {CHIP_FJORDK8, 0x0123, 0xFFF0, 268},
    {CHIP_FJORDK4, 0x0132, 0xFFF0, 65},
};

bool sameKeys(const HidInterfaceInfo& info, uint16_t pid, uint16_t page) {
    return info.vendorId == 0x2A94 && info.productId == pid && info.usagePage == page &&
           info.usage == 0x0001;
}

TEST_F(EmuHostTest, ChipCollectionFollowsDecoysAndPrecedesItsTwin) {
    for (const FamilyKeys& keys : kKeys) {
        SCOPED_TRACE(emu::familyName(keys.type));
        startEmu(keys.type);
        const std::vector<HidInterfaceInfo> list = sys().host().enumerate();
        ASSERT_EQ(list.size(), 5u);
        // The keyboard cannot be queried; the chip's other collections share
        // vendor and product id but not both usages.
        EXPECT_EQ(list[0].queryError, HidQueryError::openFailed);
        std::vector<size_t> matches;
        for (size_t i = 0; i < list.size(); ++i) {
            if (list[i].queryError == HidQueryError::none &&
                sameKeys(list[i], keys.productId, keys.usagePage)) {
                matches.push_back(i);
            }
        }
        ASSERT_EQ(matches.size(), 2u);
        EXPECT_EQ(matches[0], sys().host().chipIndex());
        EXPECT_EQ(list[matches[0]].inputReportLength, keys.reportLength);
        EXPECT_EQ(list[matches[0]].outputReportLength, keys.reportLength);
        EXPECT_NE(list[matches[0]].path, list[matches[1]].path);
        EXPECT_EQ(list[1].productId, keys.productId);  // digitizer of the same device
        EXPECT_EQ(list[2].usagePage, keys.usagePage);  // vendor collection, other usage
        EXPECT_NE(list[2].usage, 0x0001);
    }
}

TEST_F(EmuHostTest, OpensFailAsScriptedThenSucceed) {
    startEmu(CHIP_FJORDK);
    ASSERT_TRUE(chip().addFault(emu::faults::failOpen(2)));
    const HidInterfaceInfo info = sys().host().enumerate()[sys().host().chipIndex()];
    for (int attempt = 0; attempt < 2; ++attempt) {
        uint32_t err = 0;
        EXPECT_EQ(sys().host().open(info, &err), kInvalidHidHandle);
        EXPECT_EQ(err, emu::kOsAccessDenied);
    }
    uint32_t err = 0;
    const HidHandle h = sys().host().open(info, &err);
    EXPECT_NE(h, kInvalidHidHandle);
    EXPECT_EQ(sys().host().openCount(emu::InterfaceRole::chip), 1);
    sys().host().close(h);
    EXPECT_EQ(sys().host().openHandles(), 0u);
}

TEST_F(EmuHostTest, KeyboardCannotBeOpened) {
    startEmu(CHIP_FJORDK);
    uint32_t err = 0;
    EXPECT_EQ(sys().host().open(sys().host().enumerate()[0], &err), kInvalidHidHandle);
    EXPECT_EQ(err, emu::kOsAccessDenied);
}

TEST_F(EmuHostTest, OpeningTheLaterTwinIsAProtocolError) {
    startEmu(CHIP_FJORDK);
    const std::vector<HidInterfaceInfo> list = sys().host().enumerate();
    uint32_t err = 0;
    const HidHandle h = sys().host().open(list.back(), &err);
    ASSERT_NE(h, kInvalidHidHandle);
    sys().host().close(h);
    EXPECT_EQ(sys().host().openCount(emu::InterfaceRole::twin), 1);
    expectProtocolErrors({"later device with the same keys"});
}

TEST_F(EmuHostTest, TheTwinMayBeOpenedWhenTheFirstDeviceRefused) {
    startEmu(CHIP_FJORDK);
    ASSERT_TRUE(chip().addFault(emu::faults::failOpen(1)));
    std::vector<HidInterfaceInfo> list = sys().host().enumerate();
    uint32_t err = 0;
    EXPECT_EQ(sys().host().open(list[sys().host().chipIndex()], &err), kInvalidHidHandle);
    HidHandle h = sys().host().open(list.back(), &err);
    ASSERT_NE(h, kInvalidHidHandle);
    sys().host().close(h);
    // After a new enumeration the first device opens again and must be preferred.
    list = sys().host().enumerate();
    h = sys().host().open(list.back(), &err);
    sys().host().close(h);
    expectProtocolErrors({"although the first one is there"});
}

TEST_F(EmuHostTest, DeviceDisappearsMidOperation) {
    startEmu(CHIP_FJORDK);
    ASSERT_TRUE(chip().addFault(emu::faults::disappearAtOutputReport(3)));
    emutest::Wire wire(sys());
    const uint32_t addr = 0x00012000;
    EXPECT_TRUE(wire.write(addr, {0x01}));
    EXPECT_TRUE(wire.write(addr + 1, {0x02}));
    uint32_t err = 0;
    EXPECT_FALSE(wire.send(emutest::v2Write(addr + 2, {0x03}), &err));
    EXPECT_EQ(err, emu::kOsDeviceNotConnected);
    // Every later call fails, whatever it is.
    EXPECT_FALSE(wire.send(emutest::v2Read(addr, 1), &err));
    EXPECT_EQ(err, emu::kOsDeviceNotConnected);
    Bytes answer;
    EXPECT_EQ(wire.receive(&answer, &err), HidReadResult::failed);
    EXPECT_EQ(chip().registers().read(addr, 3), (Bytes{0x01, 0x02, 0x00}));
    // The device is no longer listed and cannot be opened; the twin remains.
    const std::vector<HidInterfaceInfo> list = sys().host().enumerate();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].path, "emu:/dev/hidraw2");
    HidInterfaceInfo chipInfo = sys().host().interfaces()[sys().host().chipIndex()].info;
    EXPECT_EQ(sys().host().open(chipInfo, &err), kInvalidHidHandle);
    EXPECT_EQ(err, emu::kOsFileNotFound);
}

TEST_F(EmuHostTest, ReportsToADecoyAreProtocolErrors) {
    startEmu(CHIP_FJORDK);
    const HidInterfaceInfo otherUsage = sys().host().enumerate()[2];
    uint32_t err = 0;
    const HidHandle h = sys().host().open(otherUsage, &err);
    ASSERT_NE(h, kInvalidHidHandle);
    const Bytes frame = emutest::v2Read(0x1001E, 4);
    EXPECT_FALSE(sys().host().setOutputReport(h, frame.data(), frame.size(), &err));
    sys().host().close(h);
    EXPECT_EQ(chip().readRequests(), 0);
    expectProtocolErrors({"decoy interface"});
}

TEST_F(EmuHostTest, UnknownHandleOrNoBufferFailsWithoutReachingTheChip) {
    startEmu(CHIP_FJORDK);
    const Bytes frame = emutest::v2Read(0x1001E, 4);
    uint32_t err = 0;
    EXPECT_FALSE(sys().host().setOutputReport(4242, frame.data(), frame.size(), &err));
    EXPECT_EQ(err, emu::kOsInvalidHandle);
    emutest::Wire wire(sys());
    EXPECT_FALSE(sys().host().setOutputReport(wire.handle(), nullptr, 65, &err));
    EXPECT_EQ(err, emu::kOsInvalidParameter);
    EXPECT_FALSE(sys().host().getInputReport(wire.handle(), nullptr, 65, &err));
    EXPECT_EQ(chip().outputReports(), 0);
}

TEST_F(EmuHostTest, EachChipAnswersOnlyOnItsOwnReportPath) {
    {
        startEmu(CHIP_FJORDK);
        emutest::Wire wire(sys());
        const Bytes frame = emutest::v3Read(0x1001E, 4);
        uint32_t err = 0;
        EXPECT_FALSE(sys().host().writeReport(wire.handle(), frame.data(), frame.size(), &err));
        expectProtocolErrors({"268-byte report path used for a chip on the standard"});
    }
    {
        startEmu(CHIP_FJORDK8);
        emutest::Wire wire(sys());
        const Bytes frame = emutest::v2Read(0x1001E, 4);
        uint32_t err = 0;
        EXPECT_FALSE(sys().host().setOutputReport(wire.handle(), frame.data(), frame.size(), &err));
        Bytes report(65, 0);
        report[0] = 0x0E;
        EXPECT_FALSE(sys().host().getInputReport(wire.handle(), report.data(), 65, &err));
        expectProtocolErrors({"standard 65-byte report path used", "standard 65-byte input"});
    }
}

}  // namespace
