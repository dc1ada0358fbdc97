// Wire recording and replay: runs recorded with --record (every run mode of
// every family, failing runs) replay with the same output and status; the
// emulator's transcript of a fault-free run holds the same events; the kept
// recordings still match the wire; a changed command line fails at the first
// report that differs, with both byte strings shown.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "emu/Replay.h"
#include "hid/RecordingHost.h"
#include "hid/WireRecording.h"
#include "sys/Files.h"
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

// Replays `args` on a fresh emulated system of `type` from the recording
// `text`, which must hold every report the run sends, and never reach the chip.
matrix::RunResult replay(int32_t type, std::string text, const std::vector<std::string>& args) {
    matrix::InProcessRun run(type);
    emu::EmulatedHost& host = run.sys().host();
    emu::ReplayHost replayHost(std::move(text), host.interfaces()[host.chipIndex()].info);
    EXPECT_EQ(replayHost.check(), "");
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
    std::string text;                   // the recording file
    std::string transcriptText;         // the emulator's transcript of the same run
    std::vector<WireEvent> events;      // of the recording
    std::vector<WireEvent> transcript;  // of the transcript
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
        r.transcriptText = run.chip().transcript().toText();
        EXPECT_TRUE(parseWireRecording(r.transcriptText, &r.transcript, &error)) << error;
    }
    EXPECT_TRUE(emu::loadRecording(dir.file("run.rec"), &r.text, &error)) << error;
    EXPECT_TRUE(parseWireRecording(r.text, &r.events, &error)) << error;
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
        expectSameRun(replay(c.type, r.text, c.args), r.result);
        if (*c.faults != '\0') {
            EXPECT_NE(r.result.status, 0) << r.result.out;
            continue;  // the transcript has no failed reports: it cannot replay this run
        }
        const std::vector<std::string> wire = wireLines(r.events);
        ASSERT_GT(wire.size(), 2u);
        EXPECT_EQ(wire, wireLines(r.transcript));
        // The transcript (no enumerations) replays as well.
        expectSameRun(replay(c.type, r.transcriptText, c.args), r.result);
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
        std::string text;
        std::string error;
        ASSERT_TRUE(emu::loadRecording(entry.path().string(), &text, &error)) << error;
        const matrix::RunResult r = replay(type, text, args);
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
    ASSERT_TRUE(parseWireRecording(testsupport::readFile(dir.file("vid.rec")), &vid, &error))
        << error;
    testsupport::CommandResult same =
        testsupport::runCommand("REPLAY=vid.rec; " + emuCmd + " --chip fjordH3 -p pid 2>&1");
    EXPECT_EQ(same.status, 0) << same.output;
    // The recorded command line (its --record aside) passes without a word.
    testsupport::CommandResult again = testsupport::runCommand(
        "REPLAY=vid.rec; " + emuCmd + " --chip fjordH3 -p vid --record again.rec 2>&1");
    EXPECT_EQ(again.status, 0) << again.output;
    EXPECT_EQ(again.output.find("command line differs"), std::string::npos) << again.output;

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
    // The caret stands under the first byte that differs, both bytes named.
    const std::vector<uint8_t>&recorded = vidOut[i]->bytes, &sent = cfgOut[i]->bytes;
    size_t at = 0;
    while (at + 1 < std::min(recorded.size(), sent.size()) && recorded[at] == sent[at])
        ++at;
    const std::string sentLine = "  sent:     out set " + bytesOf(cfgOut[i]);
    char bytes[64];
    std::snprintf(bytes, sizeof bytes, "^ offset %zu: recorded 0x%02X, sent 0x%02X", at,
                  recorded[at], sent[at]);
    const size_t hexStart = sentLine.find(' ', sentLine.find("set ") + 4) + 1;
    for (const std::string& part :
         {std::string(
              "the command line differs from the recorded one:\n  recorded: --chip fjordH3 -p vid\n"
              "  this run: --chip fjordH3 -p cfgver\n"),
          "report " + std::to_string(i + 1) + " (line " + std::to_string(vidOut[i]->lineNumber) +
              ")",
          "recorded: out set " + bytesOf(vidOut[i]),
          sentLine + "\n" + std::string(hexStart + 2 * at, ' ') + bytes + "\n"})
        EXPECT_NE(r.output.find(part), std::string::npos) << r.output;
    EXPECT_LT(r.output.find("command line differs"), r.output.find("report "));
}
#endif

TEST(RecordReplayTest, ARecordingFileThatCannotBeWrittenStopsTheRunBeforeTheDevice) {
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("target"), "");
    std::vector<std::string> paths = {dir.path(), dir.file("missing/rec")};
#if !defined(_WIN32)
    ASSERT_EQ(symlink(dir.file("target").c_str(), dir.file("link").c_str()), 0);
    paths.push_back(dir.file("link"));
    // A second name for the file, in a folder anyone may write.
    ASSERT_EQ(mkdir(dir.file("shared").c_str(), 0777), 0);
    ASSERT_EQ(chmod(dir.file("shared").c_str(), 01777), 0);
    ASSERT_EQ(link(dir.file("target").c_str(), dir.file("shared/rec").c_str()), 0);
    paths.push_back(dir.file("shared/rec"));
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

#if !defined(_WIN32)  // the POSIX write seam
// The disk holding the recording fills up at byte `full` of the file; once
// a write has failed, space comes back, so a recorder that wrote on would
// be seen.
std::string fullPath;
size_t fullAt = 0;
size_t fullWritten = 0;
bool fullHit = false;

long writeUntilFull(int fd, const void* data, size_t length) {
    char target[4096];
    const ssize_t n =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    const bool recording = n > 0 && std::string(target, static_cast<size_t>(n)) == fullPath;
    if (recording && !fullHit && fullWritten + length > fullAt) {
        const size_t room = fullAt - fullWritten;
        if (room == 0) {
            fullHit = true;
            errno = ENOSPC;
            return -1;
        }
        length = room;  // a short write; the next one fails
    }
    const ssize_t written = ::write(fd, data, length);
    if (recording && written > 0)
        fullWritten += static_cast<size_t>(written);
    return written;
}

// A full disk at any byte of the recording: the run goes on exactly as
// without a recording, the file holds the whole lines written before the
// failure and nothing after it, and standard error says once where it ends.
TEST(RecordReplayTest, AFullDiskEndsTheRecordingAtItsLastWholeLine) {
    testsupport::TempDir dir;
    fullPath = dir.file("run.rec");
    const std::vector<std::string> args =
        matrix::modeArgs(matrix::Mode::firmwareConfig, CHIP_FJORDK);
    auto recordedRun = [&](size_t full) {
        std::remove(fullPath.c_str());
        fullAt = full;
        fullWritten = 0;
        fullHit = false;
        // The same command line every time, so the recordings' headers are equal.
        std::vector<std::string> withRecord = {"--chip", "fjordK", "--logfiledir", dir.path()};
        withRecord.insert(withRecord.end(), args.begin(), args.end());
        withRecord.insert(withRecord.end(), {"--record", fullPath});
        matrix::InProcessRun run(CHIP_FJORDK);
        setFileWriteCall(writeUntilFull);
        testing::internal::CaptureStderr();
        const matrix::RunResult r = run.runRaw(withRecord);
        const std::string err = testing::internal::GetCapturedStderr();
        setFileWriteCall(nullptr);
        return std::make_pair(r, err);
    };
    const auto whole = recordedRun(SIZE_MAX);
    const std::string wholeText = testsupport::readFile(fullPath);
    ASSERT_EQ(whole.first.status, 0) << whole.first.out;
    ASSERT_EQ(whole.second, "");
    const size_t header = wholeText.find('\n') + 1;
    for (const size_t full :
         {size_t{0}, header / 2, header, header + 1, wholeText.size() / 2, wholeText.size() - 1}) {
        SCOPED_TRACE("full at byte " + std::to_string(full));
        const auto cut = recordedRun(full);
        EXPECT_EQ(cut.first.status, whole.first.status);
        EXPECT_EQ(cut.first.out, whole.first.out);
        const std::string text = testsupport::readFile(fullPath);
        const size_t lastLine = full == 0 ? 0 : wholeText.rfind('\n', full - 1) + 1;
        EXPECT_EQ(text.size(), lastLine);
        EXPECT_TRUE(text == wholeText.substr(0, lastLine));
        EXPECT_EQ(cut.second.find("is incomplete"), cut.second.rfind("is incomplete"));
        EXPECT_NE(cut.second.find("ends at byte " + std::to_string(text.size()) + ", "),
                  std::string::npos)
            << cut.second;
    }
}

// A recording torn inside a line (a killed run, or one written before the
// recorder cut torn lines off) replays up to that line and says so.
TEST(RecordReplayTest, ACutRecordingReplaysUpToItsLastWholeLine) {
    const Recorded r = record(CHIP_FJORDH3, {"-p", "vid"});
    matrix::InProcessRun run(CHIP_FJORDH3);
    const HidInterfaceInfo& like = run.sys().host().interfaces()[run.sys().host().chipIndex()].info;
    for (size_t at = 1; at < r.text.size(); ++at) {
        const std::string part = r.text.substr(0, at);
        emu::ReplayHost host(part, like);
        EXPECT_EQ(host.check(), "") << at;
        EXPECT_EQ(host.cut(), part.back() != '\n') << at;
        if (host.cut()) {
            EXPECT_EQ(host.cutLine(), 1 + std::count(part.begin(), part.end(), '\n')) << at;
        }
    }
    testsupport::TempDir dir;
    const size_t lastLine = r.text.rfind('\n', r.text.size() - 2) + 1;
    testsupport::writeFile(dir.file("cut.rec"), r.text.substr(0, lastLine + 3));
    const testsupport::CommandResult replayed =
        testsupport::runCommand("cd '" + dir.path() + "' && TOUCHFW_EMU_REPLAY=cut.rec " +
                                TOUCHFW_EMU_BINARY + " --chip fjordH3 -p vid 2>&1");
    const std::string cutLine =
        std::to_string(1 + std::count(r.text.begin(), r.text.begin() + lastLine, '\n'));
    EXPECT_EQ(replayed.status, 124) << replayed.output;
    for (const std::string& note : {"cut.rec was cut off inside line " + cutLine,
                                    "recorded: (end of the recording: line " + cutLine})
        EXPECT_NE(replayed.output.find(note), std::string::npos) << replayed.output;
}
#endif

#if !defined(_WIN32) && !defined(__SANITIZE_ADDRESS__)  // ulimit -v; ASan reserves terabytes
// A report written as "4096 -" is 6 bytes of text for 4096 bytes of report:
// a replay holds the recording's text, not its reports, so a 3.4 MB file of
// them stays far below 100 MB of address space (holding the reports took
// 846 MB and ended in an uncaught bad_alloc).
TEST(RecordReplayTest, ReplayMemoryFollowsTheFileNotTheReportsItClaims) {
    testsupport::TempDir dir;
    std::string crafted = "# all-zero reports of the largest length\n";
    for (int i = 0; i < 200000; ++i)
        crafted += "0 out set 4096 -\n";
    testsupport::writeFile(dir.file("crafted.rec"), crafted);
    const testsupport::CommandResult r = testsupport::runCommand(
        "cd '" + dir.path() + "' && ulimit -v 100000 && TOUCHFW_EMU_REPLAY=crafted.rec " +
        TOUCHFW_EMU_BINARY + " -p vid 2>&1");
    EXPECT_EQ(r.status, 124) << r.output;  // the run opens where the recording sends
    EXPECT_NE(r.output.find("recorded: out set 4096 -"), std::string::npos) << r.output;
}
#endif

// --scan lists the interfaces: the listing is recorded like any run's.
TEST(RecordReplayTest, ScanIsRecorded) {
    testsupport::TempDir dir;
    matrix::InProcessRun run(CHIP_FJORDK);
    ASSERT_EQ(run.runRaw({"--scan", "--record", dir.file("scan.rec")}).status, 0);
    std::vector<WireEvent> events;
    std::string error;
    ASSERT_TRUE(parseWireRecording(testsupport::readFile(dir.file("scan.rec")), &events, &error));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].kind, WireEvent::Kind::enumerate);
    EXPECT_EQ(events.size(), 1 + events[0].waitMs);
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
