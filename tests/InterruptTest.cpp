// Interrupts judged by the chip's end state: one raised after a report of
// an update, a property query or a capture (every report on fjordK, a spread
// of them elsewhere) must leave the chip whole and the run failed; a second
// one gives up the retries of a failing download. Then touchfw-emu as a
// process: a real SIGTERM in the middle of an update, and a standard output
// nobody reads.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>
#include <functional>

#include "sys/Interrupt.h"
#include "tests/FaultMatrixSupport.h"

namespace {

using matrix::Mode;

struct HookedRun {
    matrix::RunResult result;
    std::string err;
};

// Runs the mode; `hook` runs after each output report the chip took (its
// number given).
HookedRun runHooked(matrix::InProcessRun& run, const std::vector<std::string>& args,
                    const std::function<void(int)>& hook) {
    int reports = 0;
    run.sys().host().setReportHook([&] { hook(++reports); });
    // At the default log level: the oracle reads only Error lines.
    std::vector<std::string> words = {"--chip", emu::familyName(run.type())};
    words.insert(words.end(), args.begin(), args.end());
    words.insert(words.end(), {"--logfiledir", run.logDir()});
    testing::internal::CaptureStderr();
    HookedRun r{run.runRaw(words), ""};
    r.err = testing::internal::GetCapturedStderr();
    run.sys().host().setReportHook(nullptr);
    return r;
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class InterruptTest : public ::testing::TestWithParam<Mode> {};

TEST_P(InterruptTest, EveryReportOfEveryFamily) {
    const Mode mode = GetParam();
    for (const int32_t type : matrix::allFamilies()) {
        if (!matrix::modeApplies(mode, type))
            continue;
        std::vector<std::string> args = matrix::modeArgs(mode, type);
        if (mode == Mode::rawData)
            args.insert(args.end(), {"-t", "5"});
        matrix::InProcessRun reference(type);
        ASSERT_EQ(runHooked(reference, args, [](int) {}).result.status, 0);
        const int reports = reference.chip().outputReports();
        const int step = type == CHIP_FJORDK ? 1 : std::max(1, reports / 12);
        std::vector<int> positions;
        for (int at = 1; at < reports; at += step)
            positions.push_back(at);
        positions.push_back(reports);
        for (const int at : positions) {
            SCOPED_TRACE(std::string(matrix::modeName(mode)) + " on " + emu::familyName(type) +
                         ", interrupt after report " + std::to_string(at));
            matrix::InProcessRun run(type);
            emu::EmulatedChip& chip = run.chip();
            const auto flashBefore = chip.flash().pages();
            const auto cfgBefore = chip.configuration();
            // Downloads begun so far: none may begin after the interrupt.
            const auto downloads = [&] {
                return chip.commandsSeen(emu::ChipCommand::switchToPatch) +
                       chip.commandsSeen(emu::ChipCommand::cfgStart);
            };
            uint32_t framesAtInterrupt = 0;
            int downloadsAtInterrupt = 0;
            const HookedRun r = runHooked(run, args, [&](int n) {
                if (n == at) {
                    framesAtInterrupt = chip.frameNumber();
                    downloadsAtInterrupt = downloads();
                    raiseVirtualInterrupt(SIGTERM);
                }
            });
            EXPECT_NE(r.result.status, 0);
            EXPECT_EQ(count(r.err, "touchfw: interrupt received"), 1u) << r.err;
            EXPECT_TRUE(matrix::logHasError(r.result.log, "Stopped by an interrupt"));
            EXPECT_EQ(unheldVirtualInterrupts(), 0);
            // Whole: reporting on, normal mode, no update or download open.
            EXPECT_TRUE(chip.reportingEnabled());
            EXPECT_FALSE(chip.inDataMode());
            EXPECT_EQ(chip.firmwareMode(), emu::FirmwareMode::normal);
            EXPECT_EQ(chip.cfgSession(), emu::CfgSession::idle);
            EXPECT_TRUE(run.sys().protocolErrors().empty());
            // Flash and configuration as before, or as the finished update
            // leaves them once its download began.
            EXPECT_EQ(downloads(), downloadsAtInterrupt);
            const bool flashed = chip.commandsSeen(emu::ChipCommand::switchToPatch) > 0;
            EXPECT_EQ(chip.flash().pages(),
                      flashed ? reference.chip().flash().pages() : flashBefore);
            if (chip.configuration() != cfgBefore ||
                chip.commandsSeen(emu::ChipCommand::cfgStart) > 0) {
                EXPECT_EQ(chip.configuration(), reference.chip().configuration());
            }
            // Only the firmware half of a two-step update may report success.
            EXPECT_EQ(r.result.out.find("successfully") != std::string::npos,
                      r.result.status == -2);
            if (mode == Mode::rawData) {
                EXPECT_EQ(r.result.status, -1);
                EXPECT_LE(count(r.result.out, "rawdata end"), framesAtInterrupt + 1);
                EXPECT_EQ(count(r.result.out, "rawdata end"), count(r.result.out, "rawdata:"));
                EXPECT_GE(chip.commandsSeen(emu::ChipCommand::normalMode), 1);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(HeldRunModes, InterruptTest,
                         ::testing::Values(Mode::config, Mode::firmware, Mode::firmwareConfig,
                                           Mode::vid, Mode::cfgVer, Mode::rawData));

// A download that keeps failing: one interrupt lets every attempt run (only
// a finished download leaves the chip whole), a second gives up the rest.
TEST(InterruptRetryTest, SecondInterruptGivesUpRetries) {
    struct Case {
        Mode mode;
        emu::FaultRule fault;
        emu::ChipCommand attempt;
        int attempts;
    } cases[] = {
        {Mode::firmware, emu::faults::withholdAck(emu::ChipCommand::flashBlock),
         emu::ChipCommand::switchToPatch, 3},
        {Mode::config, emu::faults::withholdAck(emu::ChipCommand::cfgFinish),
         emu::ChipCommand::cfgStart, 5},
    };
    for (const Case& c : cases) {
        for (const int interrupts : {1, 2}) {
            SCOPED_TRACE(std::string(matrix::modeName(c.mode)) +
                         ", interrupts: " + std::to_string(interrupts));
            matrix::InProcessRun run(CHIP_FJORDK);
            run.chip().addFault(c.fault);
            int raised = 0;
            const HookedRun r = runHooked(run, matrix::modeArgs(c.mode, CHIP_FJORDK), [&](int) {
                if (raised < interrupts && run.chip().commandsSeen(c.attempt) == 1) {
                    ++raised;
                    raiseVirtualInterrupt(SIGINT);
                }
            });
            EXPECT_EQ(r.result.status, -1);
            EXPECT_EQ(run.chip().commandsSeen(c.attempt), interrupts == 1 ? c.attempts : 1);
            EXPECT_EQ(matrix::logHasError(r.result.log, "the failed attempt is not repeated"),
                      interrupts == 2);
            EXPECT_EQ(count(r.err, "interrupt received again"), interrupts == 2 ? 1u : 0u);
            EXPECT_TRUE(run.chip().reportingEnabled());
        }
    }
}

#if !defined(_WIN32) && defined(TOUCHFW_EMU_BINARY)

// touchfw-emu on fjordK with `args` (default: an update with the sample
// files), with the system's own signal handling (whatever this process
// installed). Standard output goes to a pipe that is read, with a SIGTERM
// once the download runs ("Progress:" after the first sub-firmware), on the
// real clock so that the signal lands mid-download; or to a pipe that nobody
// reads, on the virtual clock. Returns the wait status.
int runEmu(const testsupport::TempDir& dir, bool sigterm, std::string* out,
           std::vector<std::string> args = {}) {
    if (args.empty())
        args = {"-f", matrix::sampleFirmware(CHIP_FJORDK), "-c", matrix::sampleConfig(CHIP_FJORDK)};
    args.insert(args.begin(), {TOUCHFW_EMU_BINARY, "--chip", "fjordK"});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const std::string err = dir.file("err");
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    if (!sigterm)
        close(fds[0]);  // the first write fails (SIGPIPE by default)
    const pid_t pid = fork();
    if (pid == 0) {
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
            std::signal(signal, SIG_DFL);
        dup2(fds[1], STDOUT_FILENO);
        if (std::freopen(err.c_str(), "w", stderr) == nullptr || chdir(dir.path().c_str()) != 0)
            _exit(127);
        setenv("TOUCHFW_EMU_STATE_DIR", dir.path().c_str(), 1);
        if (sigterm)
            setenv("TOUCHFW_EMU_CLOCK", "real", 1);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    pollfd readable{fds[0], POLLIN, 0};
    char buffer[4096];
    bool signalled = false;
    while (sigterm && poll(&readable, 1, 30000) > 0) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        out->append(buffer, static_cast<size_t>(n));
        if (!signalled && out->find("Progress:") != std::string::npos)
            signalled = kill(pid, SIGTERM) == 0;
    }
    if (sigterm)
        close(fds[0]);
    int status = -1;
    waitpid(pid, &status, 0);
    return sigterm && !signalled ? -1 : status;
}

// The chip holds the sample firmware and configuration.
void expectUpdated(const testsupport::TempDir& dir) {
    const std::string emu =
        "cd '" + dir.path() + "' && TOUCHFW_EMU_STATE_DIR=. " + TOUCHFW_EMU_BINARY;
    EXPECT_NE(
        testsupport::runCommand(emu + " --chip fjordK -p vid").output.find("VID = 03 00 01 00"),
        std::string::npos);
    EXPECT_NE(
        testsupport::runCommand(emu + " --chip fjordK -p cfgver").output.find("Cfg version = 19"),
        std::string::npos);
}

TEST(InterruptProcessTest, SigtermInTheMiddleOfAnUpdate) {
    testsupport::TempDir dir;
    std::string out;
    const int status = runEmu(dir, true, &out);
    ASSERT_TRUE(status != -1 && WIFEXITED(status)) << status << out;
    EXPECT_EQ(WEXITSTATUS(status), 255);
    EXPECT_NE(out.find("ret = -10."), std::string::npos) << out;
    EXPECT_NE(testsupport::readFile(dir.file("err")).find("touchfw: interrupt received;"),
              std::string::npos);
    expectUpdated(dir);
}

// An update goes on and succeeds; a capture, whose output is the point,
// stops at the frame's end (not after its 200 frames) and fails.
TEST(InterruptProcessTest, StandardOutputNobodyReads) {
    for (const bool capture : {false, true}) {
        testsupport::TempDir dir;
        const int status = runEmu(dir, false, nullptr,
                                  capture ? std::vector<std::string>{"--rawdata", "--row", "10",
                                                                     "--col", "10", "-t", "200"}
                                          : std::vector<std::string>{});
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), capture ? 255 : 0);
        const std::string log = testsupport::readFile(dir.file("FirmwareUpdate_App.log"));
        EXPECT_EQ(count(log, "Standard output cannot be written"), 1u) << log;
        EXPECT_EQ(count(log, "Capture stopped before frame 2"), capture ? 1u : 0u) << log;
        if (!capture)
            expectUpdated(dir);
    }
}

#endif

}  // namespace
