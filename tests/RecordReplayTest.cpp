// Wire recording and replay: runs recorded with --record (every run mode of
// every family, failing runs) replay with the same output and status; the
// emulator's transcript of a fault-free run holds the same events; the kept
// recordings still match the wire; a changed command line fails at the first
// report that differs, with both byte strings shown.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "emu/Replay.h"
#include "hid/RecordingHost.h"
#include "hid/WireRecording.h"
#include "tests/FaultMatrixSupport.h"

namespace {

// Opens, closes, reports and waits (what both the recording and the
// emulator's transcript hold), as recording lines.
std::vector<std::string> wireLines(const std::vector<WireEvent>& events) {
    std::vector<std::string> lines;
    for (const WireEvent& e : events) {
        if (e.kind != WireEvent::Kind::other && e.kind != WireEvent::Kind::enumerate &&
            e.kind != WireEvent::Kind::iface)
            lines.push_back(formatWireEvent(e));
    }
    return lines;
}

// Replays `args` on a fresh emulated system of `type` from `events`, which
// must hold every report the run sends, and never reach the chip.
matrix::RunResult replay(int32_t type, std::vector<WireEvent> events,
                         const std::vector<std::string>& args) {
    matrix::InProcessRun run(type);
    emu::EmulatedHost& host = run.sys().host();
    emu::ReplayHost replayHost(std::move(events), host.interfaces()[host.chipIndex()].info);
    setHidHost(&replayHost);
    matrix::RunResult result = run.run(args);
    setHidHost(&host);
    replayHost.finish();
    EXPECT_EQ(replayHost.mismatch(), "");
    EXPECT_EQ(run.chip().outputReports(), 0) << "the replay reached the chip";
    return result;
}

struct Recorded {
    matrix::RunResult result;
    std::vector<WireEvent> events;      // the recording file
    std::vector<WireEvent> transcript;  // the emulator's transcript of the same run
};

// Runs `args` with --record on a fresh emulated system of `type`, with the
// faults listed.
Recorded record(int32_t type, std::vector<std::string> args, const char* faults = "") {
    testsupport::TempDir dir;
    args.insert(args.end(), {"--record", dir.file("run.rec")});
    Recorded r;
    std::string error;
    {
        matrix::InProcessRun run(type);
        std::vector<emu::FaultRule> rules;
        EXPECT_TRUE(emu::parseFaultList(faults, run.chip().profile(), &rules, &error)) << error;
        for (const emu::FaultRule& rule : rules)
            run.chip().addFault(rule);
        r.result = run.run(args);
        EXPECT_TRUE(parseWireRecording(run.chip().transcript().toText(), &r.transcript, &error))
            << error;
    }
    EXPECT_TRUE(emu::loadRecording(dir.file("run.rec"), &r.events, &error)) << error;
    return r;
}

void expectSameRun(const matrix::RunResult& replayed, const matrix::RunResult& recorded) {
    EXPECT_EQ(replayed.status, recorded.status);
    EXPECT_EQ(replayed.out, recorded.out);
}

// Every run mode of every family, and runs failing on faults.
TEST(RecordReplayTest, RunsReplayTheirRecordingAndTheirTranscript) {
    struct Cell {
        int32_t type;
        std::vector<std::string> args;
        const char* faults;
    };
    std::vector<Cell> cells = {
        {CHIP_FJORDK, {"-p", "vid"}, "fail-open"},
        {CHIP_5410, {"-p", "vid"}, "disappear:4"},
        {CHIP_FJORDH3, {"-p", "vid"}, "fail-write:1:forever"},
        {CHIP_FJORDK8, {"-r", "0x10010", "-l", "4"}, "fail-read:1:forever"},
        {CHIP_CORVINA, {"--rawdata", "--row", "4", "--col", "4"}, "fail-block-read:forever"},
    };
    for (int32_t type : matrix::allFamilies()) {
        for (matrix::Mode mode : matrix::allModes()) {
            if (matrix::modeApplies(mode, type))
                cells.push_back({type, matrix::modeArgs(mode, type), ""});
        }
    }
    for (const Cell& c : cells) {
        SCOPED_TRACE(std::string(emu::familyName(c.type)) + " " + testing::PrintToString(c.args) +
                     " " + c.faults);
        const Recorded r = record(c.type, c.args, c.faults);
        expectSameRun(replay(c.type, r.events, c.args), r.result);
        if (*c.faults != '\0') {
            EXPECT_NE(r.result.status, 0) << r.result.out;
            continue;  // the transcript has no failed reports: it cannot replay this run
        }
        const std::vector<std::string> wire = wireLines(r.events);
        ASSERT_GT(wire.size(), 2u);
        EXPECT_EQ(wire, wireLines(r.transcript));
        // The transcript (no enumerations) replays as well.
        expectSameRun(replay(c.type, r.transcript, c.args), r.result);
    }
}

// Each kept recording replays the command line its header names (run from
// the source folder).
TEST(RecordReplayTest, KeptRecordingsStillMatchTheWire) {
    const std::string source = std::string(TOUCHFW_SOURCE_DIR) + "/";
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(source + "tests/recordings")) {
        SCOPED_TRACE(entry.path().string());
        ++files;
        std::istringstream header(testsupport::readFile(entry.path().string()));
        std::string word;
        header >> word >> word >> word;  // "# touchfw <version>:"
        std::vector<std::string> args;
        int32_t type = 0;
        while (header >> word && word != "--record") {
            if (!args.empty() && args.back() == "--chip")
                type = emu::familyFromName(word);
            args.push_back(word.rfind("examples/", 0) == 0 ? source + word : word);
        }
        ASSERT_NE(type, 0);
        std::vector<WireEvent> events;
        std::string error;
        ASSERT_TRUE(emu::loadRecording(entry.path().string(), &events, &error)) << error;
        const matrix::RunResult r = replay(type, events, args);
        EXPECT_EQ(r.status, 0) << r.out;
    }
    EXPECT_EQ(files, 6);
}

#if !defined(_WIN32)  // runs touchfw-emu through a POSIX shell
TEST(RecordReplayTest, AChangedCommandLineStopsAtTheFirstDifferingReport) {
    testsupport::TempDir dir;
    const std::string emuCmd = "cd '" + dir.path() + "' && TOUCHFW_EMU_STATE_DIR=. " +
                               "TOUCHFW_EMU_REPLAY=$REPLAY " + TOUCHFW_EMU_BINARY;
    ASSERT_EQ(testsupport::runCommand(emuCmd + " --chip fjordH3 -p vid --record vid.rec").status,
              0);
    // -p vid and -p pid read the same identity block, so the first report
    // that differs is the configuration version read of -p cfgver.
    std::vector<WireEvent> vid;
    std::string error;
    ASSERT_TRUE(emu::loadRecording(dir.file("vid.rec"), &vid, &error)) << error;
    testsupport::CommandResult same =
        testsupport::runCommand("REPLAY=vid.rec; " + emuCmd + " --chip fjordH3 -p pid 2>&1");
    EXPECT_EQ(same.status, 0) << same.output;

    testsupport::CommandResult r =
        testsupport::runCommand("REPLAY=vid.rec; " + emuCmd + " --chip fjordH3 -p cfgver 2>&1");
    EXPECT_EQ(r.status, 124) << r.output;
    // The first differing report: find it in the recording and in a fresh
    // recording of -p cfgver.
    const std::vector<WireEvent> cfg = record(CHIP_FJORDH3, {"-p", "cfgver"}).events;
    const auto outs = [](const std::vector<WireEvent>& events) {
        std::vector<const WireEvent*> reports;
        for (const WireEvent& e : events) {
            if (e.kind == WireEvent::Kind::out)
                reports.push_back(&e);
        }
        return reports;
    };
    const std::vector<const WireEvent*> vidOut = outs(vid), cfgOut = outs(cfg);
    size_t i = 0;
    while (i < vidOut.size() && i < cfgOut.size() && vidOut[i]->bytes == cfgOut[i]->bytes)
        ++i;
    ASSERT_LT(i, std::min(vidOut.size(), cfgOut.size()));
    const auto bytesOf = [](const WireEvent* e) {
        return wireReportText(e->bytes.data(), e->bytes.size());
    };
    for (const std::string& part :
         {"report " + std::to_string(i + 1) + " (line " + std::to_string(vidOut[i]->lineNumber) +
              ")",
          "recorded: out set " + bytesOf(vidOut[i]), "sent:     out set " + bytesOf(cfgOut[i])})
        EXPECT_NE(r.output.find(part), std::string::npos) << r.output;
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

// The recorder answers every query as the host below it does, never with
// HidHost's default answers.
TEST(RecordReplayTest, TheRecorderPassesEveryQueryOn) {
    struct Probe : HidHost {
        std::vector<HidInterfaceInfo> enumerate() override { return {}; }
        HidHandle open(const HidInterfaceInfo&, uint32_t*) override { return kInvalidHidHandle; }
        void close(HidHandle) override {}
        bool getInputReport(HidHandle, uint8_t*, size_t, uint32_t*) override { return false; }
        bool setOutputReport(HidHandle, const uint8_t*, size_t, uint32_t*) override {
            return false;
        }
        bool writeReport(HidHandle, const uint8_t*, size_t, uint32_t*) override { return false; }
        HidReadResult readReport(HidHandle, uint8_t, uint8_t*, size_t, int, size_t*,
                                 uint32_t*) override {
            return HidReadResult::failed;
        }
        HidOpenFailure classifyOpenError(uint32_t) const override { return HidOpenFailure::inUse; }
        bool mayOpen(const HidInterfaceInfo&) const override { return false; }
        bool deviceGone(uint32_t) const override { return true; }
        void explainOpenFailure(const HidInterfaceInfo&, uint32_t osError) override {
            explained = osError;
        }
        uint32_t explained = 0;
    } probe;
    WireRecorder recorder;  // not open: records nothing
    RecordingHost host(probe, recorder);
    EXPECT_EQ(host.classifyOpenError(5), HidOpenFailure::inUse);
    EXPECT_FALSE(host.mayOpen(HidInterfaceInfo{}));
    EXPECT_TRUE(host.deviceGone(1167));
    host.explainOpenFailure(HidInterfaceInfo{}, 13);
    EXPECT_EQ(probe.explained, 13u);
}

// A device that vanishes during a long capture ends it after the frame in
// hand, recorded or not.
TEST(RecordReplayTest, AVanishedDeviceEndsARecordedCaptureToo) {
    for (const bool record : {false, true}) {
        SCOPED_TRACE(record ? "--record" : "no recording");
        matrix::InProcessRun run(CHIP_FJORDK);
        ASSERT_TRUE(run.chip().addFault(emu::faults::disappearAtOutputReport(8)));
        std::vector<std::string> args = {"--rawdata", "--row", "10", "--col", "10", "-t", "200"};
        if (record)
            args.insert(args.end(), {"--record", run.logDir() + "/r.rec"});
        const matrix::RunResult r = run.run(args);
        EXPECT_EQ(r.status, -1);
        EXPECT_NE(r.out.find("No.1\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("No.2\n"), std::string::npos) << r.out;
    }
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
