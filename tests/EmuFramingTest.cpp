// The emulated chip's side of the register framings: hand-built frames in,
// answers out, malformed frames refused and reported.
#include <gtest/gtest.h>

#include <functional>

#include "tests/EmuFixture.h"

namespace {

using emutest::Bytes;

class EmuFramingTest : public EmuFixture {};

Bytes text(const char* s) {
    return Bytes(s, s + 4);
}

struct IdentityCase {
    int32_t type;
    uint32_t pidAddr, vidAddr, sidAddr;
    const char* pid;
};

TEST_F(EmuFramingTest, FreshChipAnswersItsIdentityInItsFraming) {
    const IdentityCase cases[] = {
        {CHIP_5410, 0x4535, 0x453D, 0x4541, "5410"},
        {CHIP_5415R, 0x4022, 0x402A, 0x402F, "5416"},
        {CHIP_FJORDK, 0x1001E, 0x10026, 0x1002B, "0121"},
        {CHIP_FJORDH3, 0x10016, 0x1001E, 0x10023, "0F60"},
        {CHIP_CORVINA, 0x1001E, 0x10026, 0x1002B, "01EC"},
        {CHIP_FJORDK8, 0x1001E, 0x10026, 0x1002B, "0123"},
        {CHIP_FJORDK4, 0x1001E, 0x10026, 0x1002B, "0132"},
    };
    for (const IdentityCase& c : cases) {
        SCOPED_TRACE(emu::familyName(c.type));
        startEmu(c.type);
        emutest::Wire wire(sys());
        EXPECT_EQ(wire.read(c.pidAddr, 4), text(c.pid));
        EXPECT_EQ(wire.read(c.vidAddr, 4), (Bytes{0x01, 0x00, 0x00, 0x00}));
        EXPECT_EQ(wire.read(c.sidAddr, 1), Bytes{0x03});
        EXPECT_EQ(chip().readRequests(), 3);
    }
}

TEST_F(EmuFramingTest, AnswerLayoutPerReportPath) {
    startEmu(CHIP_FJORDK);
    {
        emutest::Wire wire(sys());
        ASSERT_TRUE(wire.send(emutest::v2Read(0x10026, 4)));
        Bytes answer;
        ASSERT_EQ(wire.receive(&answer), HidReadResult::ok);
        ASSERT_EQ(answer.size(), 65u);
        EXPECT_EQ(answer[0], 0x0E);
        EXPECT_EQ(answer[3], 0x00);  // length, high byte first
        EXPECT_EQ(answer[4], 0x04);
        EXPECT_EQ(Bytes(answer.begin() + 5, answer.begin() + 9), (Bytes{1, 0, 0, 0}));
    }
    startEmu(CHIP_FJORDK8);
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.send(emutest::v3Read(0x10026, 4)));
    Bytes answer;
    ASSERT_EQ(wire.receive(&answer), HidReadResult::ok);
    ASSERT_EQ(answer.size(), 268u);
    EXPECT_EQ(answer[0], 0x0E);
    EXPECT_EQ(answer[10], 0x00);
    EXPECT_EQ(answer[11], 0x04);
    EXPECT_EQ(Bytes(answer.begin() + 12, answer.begin() + 16), (Bytes{1, 0, 0, 0}));
}

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 13);
    return b;
}

TEST_F(EmuFramingTest, MultiReportWritesLandContiguously) {
    struct Case {
        int32_t type;
        uint32_t addr;
        size_t len;
        int reports;
    };
    const Case cases[] = {
        {CHIP_5410, 0x7200, 110, 2},  // 55 + 55
        {CHIP_FJORDK, 0x12000, 53, 1},
        {CHIP_FJORDK, 0x12000, 54, 2},  // 53 + 1
        {CHIP_FJORDK8, 0x10011000, 300, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(emu::familyName(c.type)) + " " + std::to_string(c.len));
        startEmu(c.type);
        emutest::Wire wire(sys());
        const Bytes data = pattern(c.len, 0x21);
        ASSERT_TRUE(wire.write(c.addr, data));
        EXPECT_EQ(chip().outputReports(), c.reports);
        EXPECT_EQ(chip().registers().read(c.addr, c.len), data);
        EXPECT_EQ(wire.read(c.addr, c.len), data);
    }
}

TEST_F(EmuFramingTest, SequenceNumberWrapsWithinOneLongWrite) {
    startEmu(CHIP_FJORDK);
    emutest::Wire wire(sys());
    const Bytes data = pattern(53 * 257 + 7, 0x05);  // 258 reports: sequence 0..255, 0, 1
    ASSERT_TRUE(wire.write(0x20000, data));
    EXPECT_EQ(chip().registers().read(0x20000, data.size()), data);
}

struct Malformed {
    const char* name;
    int32_t type;
    std::function<Bytes()> frame;
    const char* error;
};

TEST_F(EmuFramingTest, MalformedFramesAreRefusedAndReported) {
    const uint32_t a = 0x12000;
    const Malformed cases[] = {
        {"short report", CHIP_FJORDK, [&] { return Bytes(64, 0x0E); }, "report of 64 bytes"},
        {"report id", CHIP_FJORDK,
         [&] {
             Bytes r = emutest::v2Write(a, {1});
             r[0] = 0x0F;
             return r;
         },
         "report id 0x0F"},
        {"operation", CHIP_FJORDK,
         [&] {
             Bytes r = emutest::v2Write(a, {1});
             r[5] = 0x02;
             return r;
         },
         "unknown register operation 0x02"},
        {"count", CHIP_FJORDK,
         [&] {
             Bytes r = emutest::v2Write(a, {1, 2});
             r[4] = 0x08;
             return r;
         },
         "count byte 0x08"},
        {"short report followed by more", CHIP_FJORDK,
         [&] { return emutest::v2Write(a, pattern(10, 1), 1, 0); }, "followed by more carries 10"},
        {"empty write", CHIP_FJORDK, [&] { return emutest::v2Write(a, {}); }, "write of 0 bytes"},
        {"read too long", CHIP_FJORDK, [&] { return emutest::v2Read(a, 61); },
         "read request of 61 bytes"},
        {"bytes after the frame", CHIP_FJORDK,
         [&] {
             Bytes r = emutest::v2Write(a, {1});
             r[64] = 0x01;
             return r;
         },
         "after the end of the frame"},
        {"read with sequence", CHIP_FJORDK,
         [&] {
             Bytes r = emutest::v2Read(a, 4);
             r[3] = 1;
             return r;
         },
         "read request with more-follows"},
        {"continuation without a first report", CHIP_FJORDK,
         [&] { return emutest::v2Write(a, {1}, 0, 1); }, "without a first report"},
        {"version 1 read count", CHIP_5410,
         [&] {
             Bytes r = emutest::v1Read(0x7000, 4);
             r[4] = 0x07;
             return r;
         },
         "count byte 0x07"},
        {"version 1 payload too long", CHIP_5415R,
         [&] {
             Bytes r = emutest::v1Write(0x7000, pattern(55, 0));
             r[4] = 61;  // claims 56 bytes
             r[9] = 56;
             return r;
         },
         "write of 56 bytes"},
        {"version 3 header bytes", CHIP_FJORDK8,
         [&] {
             Bytes r = emutest::v3Write(0x10011000, {1});
             r[3] = 0x01;
             return r;
         },
         "bytes 2 to 4"},
        {"version 3 read too long", CHIP_FJORDK8, [&] { return emutest::v3Read(0x10011000, 257); },
         "read request of 257 bytes"},
        {"version 3 read with leftovers", CHIP_FJORDK8,
         [&] {
             Bytes r = emutest::v3Read(0x10011000, 4);
             r[200] = 0x55;
             return r;
         },
         "after the end of the frame"},
        {"65 bytes on the long path", CHIP_FJORDK8, [&] { return emutest::v2Write(a, {1}); },
         "report of 65 bytes"},
        {"unknown operation", CHIP_FJORDK,
         [&] {
             return emutest::rawReport({0x0E, 0x55, 0x00, 0x00, 0x01, 0x01}, 65);
         },
         "unknown operation 0x55"},
    };
    for (const Malformed& c : cases) {
        SCOPED_TRACE(c.name);
        startEmu(c.type);
        emutest::Wire wire(sys());
        uint32_t err = 0;
        EXPECT_FALSE(wire.send(c.frame(), &err));
        EXPECT_EQ(err, emu::kOsGenFailure);
        EXPECT_EQ(chip().readRequests(), 0);
        EXPECT_EQ(chip().registers().get(a), 0x00);  // nothing was written
        EXPECT_EQ(chip().registers().get(0x7000), 0x00);
        EXPECT_EQ(chip().registers().get(0x10011000), 0x00);
        expectProtocolErrors({c.error});
    }
}

TEST_F(EmuFramingTest, SequenceGapRefusesTheRestOfTheWrite) {
    startEmu(CHIP_FJORDK);
    emutest::Wire wire(sys());
    const uint32_t a = 0x12000;
    const Bytes first = pattern(53, 0x40);
    ASSERT_TRUE(wire.send(emutest::v2Write(a, first, 1, 0)));
    EXPECT_FALSE(wire.send(emutest::v2Write(a + 53, pattern(53, 1), 1, 2)));
    EXPECT_FALSE(wire.send(emutest::v2Write(a + 106, {7}, 0, 3)));  // refused quietly
    // The first report stays written; nothing after it.
    EXPECT_EQ(chip().registers().read(a, 53), first);
    EXPECT_EQ(chip().registers().get(a + 53), 0x00);
    EXPECT_EQ(chip().registers().get(a + 106), 0x00);
    expectProtocolErrors({"sequence gap in the write from 0x12000: expected 1, got 2"});
    // A new write starts cleanly.
    EXPECT_TRUE(wire.write(a + 200, {9, 9}));
    EXPECT_EQ(chip().registers().read(a + 200, 2), (Bytes{9, 9}));
}

TEST_F(EmuFramingTest, ContinuationAtAnotherAddressIsRefused) {
    startEmu(CHIP_5410);
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.send(emutest::v1Write(0x7000, pattern(55, 0), 1, 0)));
    EXPECT_FALSE(wire.send(emutest::v1Write(0x7040, {1}, 0, 1)));
    EXPECT_EQ(chip().registers().get(0x7040), 0x00);
    expectProtocolErrors({"continuation report at 0x7040, expected 0x7037"});
}

TEST_F(EmuFramingTest, AbandonedWriteIsNotAnError) {
    // A tool gives up a write after a failed report; its next request is fine.
    startEmu(CHIP_FJORDK);
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.send(emutest::v2Write(0x12000, pattern(53, 0), 1, 0)));
    EXPECT_EQ(wire.read(0x1002B, 1), Bytes{0x03});
    EXPECT_TRUE(wire.write(0x12100, {1, 2, 3}));
    bool noted = false;
    for (const std::string& line :
         chip().transcript().texts(emu::Transcript::bit(emu::TranscriptEntry::Kind::note))) {
        noted = noted || line.find("abandoned after 53 bytes") != std::string::npos;
    }
    EXPECT_TRUE(noted);
}

TEST_F(EmuFramingTest, InputReportWithoutARequestIsAProtocolError) {
    startEmu(CHIP_5415R);
    emutest::Wire wire(sys());
    EXPECT_EQ(wire.read(0x402F, 1), Bytes{0x03});
    Bytes answer;
    EXPECT_EQ(wire.receive(&answer), HidReadResult::ok);  // the old report, as a device does
    expectProtocolErrors({"input report requested without a read request"});
}

TEST_F(EmuFramingTest, LongPathQueuesAnswersAndTimesOutWhenEmpty) {
    startEmu(CHIP_FJORDK8);
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.send(emutest::v3Read(0x1001E, 4)));
    // Straight to the chip: the host drops queued reports before it writes.
    const Bytes second = emutest::v3Read(0x1002B, 1);
    ASSERT_TRUE(chip().receiveReport(second.data(), second.size(), emu::ReportPath::long268));
    Bytes answer;
    ASSERT_EQ(wire.receive(&answer), HidReadResult::ok);
    EXPECT_EQ(Bytes(answer.begin() + 12, answer.begin() + 16), text("0123"));
    ASSERT_EQ(wire.receive(&answer), HidReadResult::ok);
    EXPECT_EQ(answer[11], 1);
    EXPECT_EQ(answer[12], 0x03);
    const uint64_t before = clock_.elapsedMs();
    EXPECT_EQ(wire.receive(&answer), HidReadResult::timeout);
    EXPECT_EQ(clock_.elapsedMs(), before + 100);  // the bounded wait passed in virtual time
    EXPECT_TRUE(clock_.waits().empty());          // but it is not a wait of the tool
}

TEST_F(EmuFramingTest, TranscriptShowsReportsAndWaitsInOrder) {
    startEmu(CHIP_FJORDK);
    emutest::Wire wire(sys());
    ASSERT_TRUE(wire.write(0x12000, {0xAB, 0xCD}));
    sleepMs(10);
    EXPECT_EQ(wire.read(0x12000, 2), (Bytes{0xAB, 0xCD}));
    using K = emu::TranscriptEntry::Kind;
    const uint32_t mask = emu::Transcript::bit(K::output) | emu::Transcript::bit(K::input) |
                          emu::Transcript::bit(K::wait);
    const std::vector<std::string> expected = {
        "write 0x00012000 +2: AB CD",
        "wait 10 ms",
        "read 0x00012000 len 2",
        "answer 0x00012000 len 2: AB CD",
    };
    EXPECT_EQ(chip().transcript().texts(mask), expected);
    const std::vector<emu::TranscriptEntry>& entries = chip().transcript().entries();
    uint64_t readAt = 0;
    for (const emu::TranscriptEntry& e : entries) {
        if (e.kind == K::output && e.description().rfind("read", 0) == 0)
            readAt = e.timeMs;
    }
    EXPECT_EQ(readAt, 10u);
}

}  // namespace
