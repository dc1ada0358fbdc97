// Wire recording and replay: a run recorded with --record replays on the
// emulator's replay host with the same console output and status, for every
// run mode of every family; the emulator's transcript holds the same events
// as the recording; the recordings kept in tests/recordings still match what
// the tool sends; and a changed command line fails at the first report that
// differs, with both byte strings shown.
#include <gtest/gtest.h>
#include <unistd.h>

#include "emu/Replay.h"
#include "hid/WireRecording.h"
#include "tests/FaultMatrixSupport.h"

namespace {

// Opens, closes, reports and waits (what both the recording and the
// emulator's transcript hold).
std::vector<WireEvent> wireOnly(const std::vector<WireEvent>& events) {
    std::vector<WireEvent> out;
    for (const WireEvent& e : events) {
        if (e.kind != WireEvent::Kind::other && e.kind != WireEvent::Kind::enumerate &&
            e.kind != WireEvent::Kind::iface)
            out.push_back(e);
    }
    return out;
}

bool sameEvent(const WireEvent& a, const WireEvent& b) {
    return a.kind == b.kind && a.timeMs == b.timeMs && a.plainPath == b.plainPath &&
           a.outcome == b.outcome && a.waitMs == b.waitMs && a.bytes == b.bytes && a.text == b.text;
}

// Replays `args` on a fresh emulated system of `type` from `events`.
matrix::RunResult replay(int32_t type, std::vector<WireEvent> events,
                         const std::vector<std::string>& args, std::string* mismatch) {
    matrix::InProcessRun run(type);
    emu::EmulatedHost& host = run.sys().host();
    emu::ReplayHost replayHost(std::move(events), host.interfaces()[host.chipIndex()].info);
    setHidHost(&replayHost);
    matrix::RunResult result = run.run(args);
    setHidHost(&host);
    replayHost.finish();
    *mismatch = replayHost.mismatch();
    EXPECT_EQ(run.chip().outputReports(), 0) << "the replay reached the chip";
    return result;
}

TEST(RecordReplayTest, EveryRunModeOnEveryFamilyReplaysItsRecording) {
    for (int32_t type : matrix::allFamilies()) {
        for (matrix::Mode mode : matrix::allModes()) {
            if (!matrix::modeApplies(mode, type))
                continue;
            SCOPED_TRACE(std::string(emu::familyName(type)) + " " + matrix::modeName(mode));
            testsupport::TempDir dir;
            std::vector<std::string> args = matrix::modeArgs(mode, type);
            std::vector<std::string> recordArgs = args;
            recordArgs.insert(recordArgs.end(), {"--record", dir.file("run.rec")});

            matrix::RunResult recorded;
            std::vector<WireEvent> fromTranscript;
            {
                matrix::InProcessRun run(type);
                recorded = run.run(recordArgs);
                std::string error;
                ASSERT_TRUE(
                    parseWireRecording(run.chip().transcript().toText(), &fromTranscript, &error))
                    << error;
            }
            std::vector<WireEvent> events;
            std::string error;
            ASSERT_TRUE(emu::loadRecording(dir.file("run.rec"), &events, &error)) << error;
            const std::vector<WireEvent> wire = wireOnly(events);
            const std::vector<WireEvent> transcriptWire = wireOnly(fromTranscript);
            ASSERT_GT(wire.size(), 2u);
            ASSERT_EQ(wire.size(), transcriptWire.size());
            for (size_t i = 0; i < wire.size(); ++i) {
                EXPECT_TRUE(sameEvent(wire[i], transcriptWire[i]))
                    << "event " << i << ": " << formatWireEvent(wire[i]) << " vs "
                    << formatWireEvent(transcriptWire[i]);
            }

            std::string mismatch;
            const matrix::RunResult replayed = replay(type, events, args, &mismatch);
            EXPECT_EQ(mismatch, "");
            EXPECT_EQ(replayed.status, recorded.status);
            EXPECT_EQ(replayed.out, recorded.out);
            // The transcript (no enumerations) replays as well.
            const matrix::RunResult fromChip = replay(type, fromTranscript, args, &mismatch);
            EXPECT_EQ(mismatch, "");
            EXPECT_EQ(fromChip.out, recorded.out);
        }
    }
}

TEST(RecordReplayTest, AFailingRunReplaysWithTheSameFailure) {
    const struct {
        int32_t type;
        const char* faults;
        std::vector<std::string> args;
    } cases[] = {
        {CHIP_FJORDK, "fail-open", {"-p", "vid"}},
        {CHIP_5410, "disappear:4", {"-p", "vid"}},
        {CHIP_FJORDH3, "fail-write:1:forever", {"-p", "vid"}},
        {CHIP_FJORDK8, "fail-read:1:forever", {"-r", "0x10010", "-l", "4"}},
        {CHIP_CORVINA, "fail-block-read:forever", {"--rawdata", "--row", "4", "--col", "4"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.faults);
        testsupport::TempDir dir;
        std::vector<std::string> recordArgs = c.args;
        recordArgs.insert(recordArgs.end(), {"--record", dir.file("run.rec")});
        matrix::RunResult recorded;
        {
            matrix::InProcessRun run(c.type);
            std::vector<emu::FaultRule> rules;
            std::string error;
            ASSERT_TRUE(emu::parseFaultList(c.faults, run.chip().profile(), &rules, &error))
                << error;
            for (const emu::FaultRule& rule : rules)
                run.chip().addFault(rule);
            recorded = run.run(recordArgs);
        }
        EXPECT_NE(recorded.status, 0) << recorded.out;
        std::vector<WireEvent> events;
        std::string error;
        ASSERT_TRUE(emu::loadRecording(dir.file("run.rec"), &events, &error)) << error;
        std::string mismatch;
        const matrix::RunResult replayed = replay(c.type, events, c.args, &mismatch);
        EXPECT_EQ(mismatch, "");
        EXPECT_EQ(replayed.status, recorded.status);
        EXPECT_EQ(replayed.out, recorded.out);
    }
}

TEST(RecordReplayTest, KeptRecordingsStillMatchTheWire) {
    struct Case {
        const char* file;
        int32_t type;
        std::vector<std::string> args;
    };
    const std::string examples = std::string(TOUCHFW_SOURCE_DIR) + "/examples/";
    const Case cases[] = {
        {"update-framing1-5410.txt", CHIP_5410, {"-f", examples + "fw-5410.bin"}},
        {"capture-framing1-5410.txt",
         CHIP_5410,
         {"--rawdata", "--row", "10", "--col", "10", "--readtimes", "2"}},
        {"update-framing2-fjordH3.txt",
         CHIP_FJORDH3,
         {"-f", examples + "fw-fjordH3.bin", "-c", examples + "cfg-fjordH3.cfg"}},
        {"capture-framing2-fjordH3.txt",
         CHIP_FJORDH3,
         {"--diffdata", "--row", "10", "--col", "10", "--readtimes", "2"}},
        {"update-framing3-fjordK8.txt",
         CHIP_FJORDK8,
         {"-f", examples + "fw-fjordK8.bin", "-c", examples + "cfg-fjordK8.cfg"}},
        {"read-framing3-fjordK8.txt", CHIP_FJORDK8, {"-r", "0x10010", "-l", "300"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<WireEvent> events;
        std::string error;
        ASSERT_TRUE(emu::loadRecording(
            std::string(TOUCHFW_SOURCE_DIR) + "/tests/recordings/" + c.file, &events, &error))
            << error;
        std::string mismatch;
        const matrix::RunResult r = replay(c.type, events, c.args, &mismatch);
        EXPECT_EQ(mismatch, "");
        EXPECT_EQ(r.status, 0) << r.out;
    }
}

#if !defined(_WIN32)  // runs touchfw-emu through a POSIX shell
TEST(RecordReplayTest, AChangedCommandLineStopsAtTheFirstDifferingReport) {
    testsupport::TempDir dir;
    const std::string rec = dir.file("vid.rec");
    const std::string emuCmd = "cd '" + dir.path() + "' && TOUCHFW_EMU_STATE_DIR=. " +
                               "TOUCHFW_EMU_REPLAY=$REPLAY " + TOUCHFW_EMU_BINARY;
    ASSERT_EQ(testsupport::runCommand(emuCmd + " --chip fjordH3 -p vid --record vid.rec").status,
              0);
    // -p vid and -p pid read the same identity block, so the first report
    // that differs is the configuration version read of -p cfgver.
    std::vector<WireEvent> vid;
    std::string error;
    ASSERT_TRUE(emu::loadRecording(rec, &vid, &error)) << error;
    testsupport::CommandResult same =
        testsupport::runCommand("REPLAY=vid.rec; " + emuCmd + " --chip fjordH3 -p pid 2>&1");
    EXPECT_EQ(same.status, 0) << same.output;

    testsupport::CommandResult r =
        testsupport::runCommand("REPLAY=vid.rec; " + emuCmd + " --chip fjordH3 -p cfgver 2>&1");
    EXPECT_EQ(r.status, 124) << r.output;
    // The first differing report: find it in the recording and in a fresh
    // recording of -p cfgver.
    ASSERT_EQ(testsupport::runCommand(emuCmd + " --chip fjordH3 -p cfgver --record cfg.rec").status,
              0);
    std::vector<WireEvent> cfg;
    ASSERT_TRUE(emu::loadRecording(dir.file("cfg.rec"), &cfg, &error)) << error;
    size_t position = 0;
    const WireEvent* recorded = nullptr;
    const WireEvent* sent = nullptr;
    for (size_t i = 0, j = 0; i < vid.size() && j < cfg.size(); ++i, ++j) {
        while (i < vid.size() && vid[i].kind != WireEvent::Kind::out)
            ++i;
        while (j < cfg.size() && cfg[j].kind != WireEvent::Kind::out)
            ++j;
        if (i == vid.size() || j == cfg.size())
            break;
        ++position;
        if (vid[i].bytes != cfg[j].bytes) {
            recorded = &vid[i];
            sent = &cfg[j];
            break;
        }
    }
    ASSERT_NE(recorded, nullptr);
    const auto bytesOf = [](const WireEvent& e) {
        return wireReportText(e.bytes.data(), e.bytes.size());
    };
    EXPECT_NE(r.output.find("report " + std::to_string(position) + " (line " +
                            std::to_string(recorded->lineNumber) + ")"),
              std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("recorded: out set " + bytesOf(*recorded)), std::string::npos)
        << r.output;
    EXPECT_NE(r.output.find("sent:     out set " + bytesOf(*sent)), std::string::npos) << r.output;
}
#endif

TEST(RecordReplayTest, ARecordingFileThatCannotBeWrittenStopsTheRunBeforeTheDevice) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("target"), "");
    std::vector<std::string> paths = {dir.path(), dir.file("missing/rec")};
#if !defined(_WIN32)
    ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
    paths.push_back(dir.file("link"));
#endif
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        matrix::InProcessRun run(CHIP_FJORDK);
        const matrix::RunResult r = run.run({"-p", "vid", "--record", path});
        EXPECT_EQ(r.status, -20);
        EXPECT_NE(r.out.find("Cannot write the recording file"), std::string::npos) << r.out;
        EXPECT_EQ(run.sys().host().openCount(emu::InterfaceRole::chip), 0);
    }
    EXPECT_EQ(testsupport::readFile(dir.file("target")), "");
}

TEST(RecordReplayTest, DamagedRecordingLinesAreRefusedWithTheirLine) {
    const char* const lines[] = {
        "0 out set 65 0E2G",    // not hex
        "0 out set 2 0E2000",   // more bytes than the length
        "0 in get 65",          // no bytes
        "x open /dev/hidraw0",  // no time
        "0 out push 65 0E",     // no such path
        "0 wait soon",          // no number
        "0 out set 99999 0E",   // longer than any report
    };
    for (const char* line : lines) {
        std::vector<WireEvent> events;
        std::string error;
        EXPECT_FALSE(parseWireRecording(std::string("# header\n") + line + "\n", &events, &error))
            << line;
        EXPECT_EQ(error, "line 2 is not a recording line") << line;
    }
}

}  // namespace
