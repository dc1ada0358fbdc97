// The virtual panel's side of /dev/uhid, in process: the kernel is played
// by the other end of a socket pair, which hands over and takes whole
// events as /dev/uhid does.
#if defined(__linux__)

#include <gtest/gtest.h>
#include <linux/uhid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "chip/ChipProfile.h"
#include "emu/Uhid.h"
#include "hid/ReportDescriptor.h"
#include "tests/EmuFixture.h"

namespace {

using emutest::Bytes;

// One virtual panel of a family with the kernel's end of the socket pair.
class Panel {
  public:
    explicit Panel(int32_t type) : chip(type, &clock) {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_), 0);
        device = std::make_unique<emu::UhidDevice>(fds_[0], chip, clock, [this] { return now; });
        std::string error;
        EXPECT_TRUE(device->create("test", &error)) << error;
        created = next();
    }
    ~Panel() {
        device.reset();
        ::close(fds_[0]);
        ::close(fds_[1]);
    }

    // The kernel sends one event; the panel answers it.
    void kernelSends(const uhid_event& ev) {
        ASSERT_EQ(::write(fds_[1], &ev, sizeof ev), static_cast<ssize_t>(sizeof ev));
        std::string error;
        ASSERT_TRUE(device->handleEvent(&error)) << error;
    }
    void output(const Bytes& report, uint32_t type = UHID_OUTPUT) {
        uhid_event ev{};
        ev.type = type;
        if (type == UHID_OUTPUT) {
            ev.u.output.size = static_cast<uint16_t>(report.size());
            ev.u.output.rtype = UHID_OUTPUT_REPORT;
            std::memcpy(ev.u.output.data, report.data(), report.size());
        } else {
            ev.u.set_report.id = 41;
            ev.u.set_report.rtype = UHID_OUTPUT_REPORT;
            ev.u.set_report.size = static_cast<uint16_t>(report.size());
            std::memcpy(ev.u.set_report.data, report.data(), report.size());
        }
        kernelSends(ev);
    }
    void getReport(uint8_t number, uint8_t type) {
        uhid_event ev{};
        ev.type = UHID_GET_REPORT;
        ev.u.get_report.id = 7;
        ev.u.get_report.rnum = number;
        ev.u.get_report.rtype = type;
        kernelSends(ev);
    }
    // The next event the panel sent; type 0 when none is waiting.
    uhid_event next() {
        uhid_event ev{};
        const ssize_t n = ::recv(fds_[1], &ev, sizeof ev, MSG_DONTWAIT);
        if (n < 0) {
            EXPECT_EQ(errno, EAGAIN);
            ev.type = 0;
        }
        return ev;
    }

    VirtualClock clock;
    emu::EmulatedChip chip;
    std::unique_ptr<emu::UhidDevice> device;
    uint64_t now = 0;
    uhid_event created{};

  private:
    int fds_[2] = {-1, -1};
};

Bytes inputData(const uhid_event& ev) {
    return Bytes(ev.u.input2.data, ev.u.input2.data + ev.u.input2.size);
}

// The answer to a read of `len` bytes as the tool expects it: length field
// and data where the family's framing puts them.
Bytes answerData(int32_t type, const Bytes& answer, size_t len) {
    const size_t at = static_cast<size_t>(framingRow(familyOf(type).framing)->answerDataAt);
    EXPECT_GE(answer.size(), at + len);
    EXPECT_EQ(answer[at - 2] * 256 + answer[at - 1], static_cast<int>(len));
    return Bytes(answer.begin() + static_cast<long>(at),
                 answer.begin() + static_cast<long>(at + len));
}

}  // namespace

// Every family's device: its keys and a descriptor whose collections are the
// touch screen and the vendor collection with the family's report size, as
// the tool's own descriptor parser reads them.
TEST(UhidTest, CreatesEachFamilyWithItsKeysAndCollections) {
    for (int32_t type = CHIP_5410; type <= CHIP_FJORDK4; ++type) {
        const ChipFamily& family = familyOf(type);
        SCOPED_TRACE(family.name);
        Panel panel(family.type);
        const uhid_create2_req& req = panel.created.u.create2;
        ASSERT_EQ(panel.created.type, static_cast<uint32_t>(UHID_CREATE2));
        EXPECT_EQ(req.vendor, emu::kEmuVendorId);
        EXPECT_EQ(req.product, family.defaultPid);
        const Bytes descriptor(req.rd_data, req.rd_data + req.rd_size);
        EXPECT_EQ(descriptor, emu::uhidReportDescriptor(family.type));
        const ReportDescriptorInfo info =
            parseReportDescriptor(descriptor.data(), descriptor.size());
        ASSERT_EQ(info.collections.size(), 2u);
        EXPECT_EQ(info.collections[0].usagePage, 0x000D);
        EXPECT_EQ(info.collections[0].usage, 0x0004);
        const HidCollectionInfo& vendor = info.collections[1];
        EXPECT_EQ(vendor.usagePage, family.usagePage);
        EXPECT_EQ(vendor.usage, emu::kEmuUsage);
        EXPECT_EQ(vendor.inputReportLength, panel.chip.reportSize());
        EXPECT_EQ(vendor.outputReportLength, panel.chip.reportSize());
    }
}

// Standard path: an output report (or SET_REPORT) reaches the chip, and
// GET_REPORT of input report 0x0E carries the chip's answer; other reports,
// and frames the chip refuses, are answered with EIO.
TEST(UhidTest, StandardPathDispatch) {
    Panel panel(CHIP_FJORDK);
    const ChipProfile& p = panel.chip.profile();
    panel.output(emutest::v2Read(p.pidAddr, 4));
    EXPECT_EQ(panel.next().type, 0u);  // nothing unasked
    panel.getReport(emu::kReportId, UHID_INPUT_REPORT);
    uhid_event reply = panel.next();
    ASSERT_EQ(reply.type, static_cast<uint32_t>(UHID_GET_REPORT_REPLY));
    EXPECT_EQ(reply.u.get_report_reply.id, 7u);
    EXPECT_EQ(reply.u.get_report_reply.err, 0);
    ASSERT_EQ(reply.u.get_report_reply.size, emu::kShortReport);
    const Bytes answer(reply.u.get_report_reply.data, reply.u.get_report_reply.data + 65);
    EXPECT_EQ(answerData(CHIP_FJORDK, answer, 4), (Bytes{'0', '1', '2', '1'}));

    panel.getReport(emu::kUhidTouchReportId, UHID_FEATURE_REPORT);
    EXPECT_EQ(panel.next().u.get_report_reply.err, EIO);

    panel.output(emutest::v2Write(0x20000, {0x5A}), UHID_SET_REPORT);
    reply = panel.next();
    ASSERT_EQ(reply.type, static_cast<uint32_t>(UHID_SET_REPORT_REPLY));
    EXPECT_EQ(reply.u.set_report_reply.id, 41u);
    EXPECT_EQ(reply.u.set_report_reply.err, 0);
    EXPECT_EQ(panel.chip.peekRegisters(0x20000, 1), Bytes{0x5A});
    Bytes refused = emutest::v2Write(0x20000, {0x5B});
    refused[0] = 0x0F;
    panel.output(refused, UHID_SET_REPORT);
    EXPECT_EQ(panel.next().u.set_report_reply.err, EIO);
    EXPECT_EQ(panel.chip.protocolErrors().size(), 1u);
}

// 268-byte path: answers go out as input reports at once; a late answer
// only once the host's wait is over, and never after the host has sent its
// next report; a device that disappears is removed.
TEST(UhidTest, InterruptPathAnswersLateAnswersAndRemoval) {
    Panel panel(CHIP_FJORDK8);
    const ChipProfile& p = panel.chip.profile();
    panel.output(emutest::v3Read(p.pidAddr, 4));
    uhid_event ev = panel.next();
    ASSERT_EQ(ev.type, static_cast<uint32_t>(UHID_INPUT2));
    EXPECT_EQ(answerData(CHIP_FJORDK8, inputData(ev), 4), (Bytes{'0', '1', '2', '3'}));
    EXPECT_EQ(panel.device->msUntilDue(), -1);

    ASSERT_TRUE(panel.chip.addFault(emu::faults::lateAnswerAt(p.pidAddr, 2)));
    for (const bool hostWaits : {true, false}) {
        SCOPED_TRACE(hostWaits ? "host waits" : "host sends first");
        panel.output(emutest::v3Read(p.pidAddr, 4));
        EXPECT_EQ(panel.next().type, 0u);
        EXPECT_EQ(panel.device->msUntilDue(), static_cast<int64_t>(emu::kUhidLateAnswerMs));
        panel.now += emu::kUhidLateAnswerMs - 1;
        panel.device->sendDue();
        EXPECT_EQ(panel.next().type, 0u);  // the host is still waiting
        if (hostWaits) {
            panel.now += 1;
            panel.device->sendDue();
            EXPECT_EQ(panel.next().type, static_cast<uint32_t>(UHID_INPUT2));
        } else {
            panel.output(emutest::v3Read(p.vidAddr, 4));
            ev = panel.next();
            ASSERT_EQ(ev.type, static_cast<uint32_t>(UHID_INPUT2));
            EXPECT_EQ(answerData(CHIP_FJORDK8, inputData(ev), 4), (Bytes{1, 0, 0, 0}));
            panel.now += 10;
            panel.device->sendDue();
            EXPECT_EQ(panel.next().type, 0u);  // withheld for good
            const std::string text = panel.chip.transcript().toText();
            EXPECT_NE(text.find("withheld"), std::string::npos);
            const std::string sent =
                formatText("late answer to the read at 0x%08X sent", p.pidAddr);
            EXPECT_EQ(text.find(sent), text.rfind(sent));  // the first try's only
        }
        EXPECT_EQ(panel.device->msUntilDue(), -1);
    }

    ASSERT_TRUE(panel.chip.addFault(emu::faults::disappearAtOutputReport(1)));
    panel.output(emutest::v3Read(p.pidAddr, 4));
    EXPECT_EQ(panel.next().type, static_cast<uint32_t>(UHID_DESTROY));
    EXPECT_FALSE(panel.device->live());
    panel.output(emutest::v3Read(p.pidAddr, 4));
    EXPECT_EQ(panel.next().type, 0u);  // nothing goes to a removed device
    EXPECT_TRUE(panel.chip.protocolErrors().empty());
}

#endif  // __linux__
