// touchfw-emu: touchfw's command line on an emulated chip and a virtual
// clock. The chip family follows --chip (default fjordK). The chip's state
// is kept in "touchfw-emu-<family>.state" in the current directory (or in
// $TOUCHFW_EMU_STATE_DIR) between runs. The run that opens the chip holds a
// flock on that file until it has saved the state, so that two touchfw-emu
// processes on one chip behave like two touchfw runs on one hidraw node: the
// second fails to open "in use". The state is read at start, and read again
// once the lock is held if another run saved it in between. $TOUCHFW_EMU_FAULT injects faults,
// $TOUCHFW_EMU_TRANSCRIPT names a file the run's transcript is appended to.
// $TOUCHFW_EMU_CLOCK=real makes every wait of the tool a real sleep (the
// progress bar then moves at the pace of a real update) and prints the sum
// of the waits and the run's wall time on standard error at the end.
// $TOUCHFW_EMU_REPLAY names a wire recording to answer from instead of the
// chip (the chip's state is then neither read nor written): the run must
// send exactly the recorded reports, else it ends with kReplayDiffers and
// the first difference on standard error.
// Protocol errors the chip noticed are printed on standard error. After
// touchfw's usage text (--help) comes a note on these variables.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "app/App.h"
#include "app/RunReport.h"
#include "emu/Emulator.h"
#include "emu/Replay.h"
#include "emu/Uhid.h"
#include "sys/Clock.h"
#include "sys/ProgramGuard.h"

namespace {

// Exit status when the emulator itself cannot be set up.
constexpr int kEmuSetupFailed = 125;
// Exit status when a replayed run differs from its recording.
constexpr int kReplayDiffers = 124;
// touchfw's status after printing its usage text (--help, a bad command line).
constexpr int kUsageStatus = -20;

// Follows touchfw's usage text: what the emulator adds to it.
const char* const kEmuUsage =
    "touchfw-emu runs touchfw's command line on an emulated chip of the --chip family\n"
    "and a virtual clock. Environment variables:\n"
    "  TOUCHFW_EMU_STATE_DIR   folder of the chip's state file touchfw-emu-<family>.state\n"
    "                          (default: the current folder); one folder per emulated chip.\n"
    "  TOUCHFW_EMU_FAULT       faults to inject, items separated by ';' or ',', such as\n"
    "                          fail-open[:N], fail-write:N[:times], disappear:N,\n"
    "                          no-answer:ADDR[:times], withhold-ack:CMD[:times],\n"
    "                          wrong-vid-after-restart, frame-never-ready (see touchfw-emu(1));\n"
    "                          a bad list ends the run with status 125.\n"
    "  TOUCHFW_EMU_TRANSCRIPT  file the run's transcript (reports, waits, faults) is\n"
    "                          appended to.\n"
    "  TOUCHFW_EMU_REPLAY      a wire recording (--record) to answer from instead of the\n"
    "                          chip; the first report that differs ends the run with\n"
    "                          status 124.\n"
    "  TOUCHFW_EMU_CLOCK       real: every wait is a real sleep, and the sum of the waits\n"
    "                          and the wall time are printed on standard error at the end;\n"
    "                          virtual (the default): waits pass at once.\n"
    "Devices: emu:/dev/hidraw1 is the chip, emu:/dev/hidraw2 a second device with its keys.\n"
    "touchfw-emu --uhid [--chip FAMILY] instead puts the chip on the real kernel as a HID\n"
    "device (/dev/uhid, root) until SIGTERM or Ctrl-C; touchfw then reaches it by hidraw.\n";

// Virtual time that also passes for real: each wait is recorded (the chip
// follows the waits as on the virtual clock) and then slept in full.
class RealSleepClock : public VirtualClock {
  public:
    void sleepMs(uint32_t ms) override {
        VirtualClock::sleepMs(ms);
        system_.sleepMs(ms);
    }

  private:
    SystemClock system_;
};

// What tells whether another run saved the state file meanwhile: its size
// and modification time (no stamp when it is missing or empty).
struct StateStamp {
    uintmax_t size = 0;
    std::filesystem::file_time_type written{};
    bool operator==(const StateStamp& o) const { return size == o.size && written == o.written; }
};

StateStamp stateStamp(const std::string& path) {
    std::error_code ec;
    StateStamp stamp;
    stamp.size = std::filesystem::file_size(path, ec);
    if (ec)
        return StateStamp{};
    stamp.written = std::filesystem::last_write_time(path, ec);
    return ec ? StateStamp{} : stamp;
}

// The recording to answer from; null (after saying why) when it cannot be
// read. A recording cut off inside its last line replays up to that line.
std::unique_ptr<emu::ReplayHost> loadReplay(const char* path, const emu::EmulatedHost& host) {
    std::string text;
    std::string error;
    if (!emu::loadRecording(path, &text, &error)) {
        std::fprintf(stderr, "touchfw-emu: TOUCHFW_EMU_REPLAY %s\n", error.c_str());
        return nullptr;
    }
    auto replay = std::make_unique<emu::ReplayHost>(std::move(text),
                                                    host.interfaces()[host.chipIndex()].info);
    if (!replay->check().empty()) {
        std::fprintf(stderr, "touchfw-emu: TOUCHFW_EMU_REPLAY %s: %s\n", path,
                     replay->check().c_str());
        return nullptr;
    }
    if (replay->cut()) {
        std::fprintf(stderr,
                     "touchfw-emu: replay: %s was cut off inside line %zu; the replay ends "
                     "before that line\n",
                     logSafeText(path).c_str(), replay->cutLine());
    }
    return replay;
}

// Runs touchfw's command line against the recording instead of the chip.
int runReplay(emu::ReplayHost& replay, emu::EmulatedSystem& system, int argc, char** argv) {
    // Another command line is allowed (it is how a fix is tried against a
    // field run), but it is the likely reason for a difference: said first.
    const std::string arguments = emu::commandArguments(argc, argv);
    if (!replay.recordedArguments().empty() && replay.recordedArguments() != arguments) {
        std::fprintf(stderr,
                     "touchfw-emu: replay: the command line differs from the recorded one:\n"
                     "  recorded: %s\n  this run: %s\n",
                     logSafeText(replay.recordedArguments()).c_str(),
                     logSafeText(arguments).c_str());
    }
    setHidHost(&replay);
    int result = runMain(argc, argv);
    setHidHost(&system.host());
    replay.finish();
    if (replay.failed()) {
        std::fprintf(stderr, "touchfw-emu: replay: %s\n", replay.mismatch().c_str());
        result = kReplayDiffers;
    }
    return result;
}

// What the run leaves behind: the chip's state, the transcript, and notes on
// standard error about the twin device and protocol errors.
void finishRun(emu::EmulatedSystem& system, const std::string& statePath, bool saveState,
               const char* transcriptPath) {
    emu::EmulatedChip& chip = system.chip();
    if (saveState && system.host().openCount(emu::InterfaceRole::chip) > 0) {
        std::string error;
        if (!chip.saveStateFile(statePath, &error)) {
            std::fprintf(stderr, "touchfw-emu: %s\n", error.c_str());
        }
    }
    emu::appendTranscript(chip, transcriptPath);
    if (const int twinOpens = system.host().openCount(emu::InterfaceRole::twin)) {
        std::fprintf(stderr,
                     "touchfw-emu: the later device with the same keys was opened %d time%s\n",
                     twinOpens, twinOpens == 1 ? "" : "s");
    }
    emu::printProtocolErrors(system.protocolErrors());
}

void reportRealClock(const VirtualClock& clock, std::chrono::steady_clock::time_point wallStart) {
    uint64_t waitedMs = 0;
    for (const uint32_t ms : clock.waits())
        waitedMs += ms;
    const double wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart)
            .count();
    std::fprintf(stderr, "touchfw-emu: real clock: waits %llu ms, wall time %.1f ms\n",
                 static_cast<unsigned long long>(waitedMs), wallMs);
}

int emuMain(int argc, char** argv) {
    if (emu::uhidRequested(argc, argv))
        return emu::runUhid(argc, argv);  // a virtual panel on the real kernel
    const int32_t type = emu::chipTypeFromArgs(argc, argv);
    const char* clockMode = emu::envValue("TOUCHFW_EMU_CLOCK");
    const bool realClock = clockMode != nullptr && std::strcmp(clockMode, "real") == 0;
    if (clockMode != nullptr && !realClock && std::strcmp(clockMode, "virtual") != 0) {
        std::fprintf(stderr, "touchfw-emu: TOUCHFW_EMU_CLOCK must be real or virtual, not %s\n",
                     clockMode);
        return kEmuSetupFailed;
    }
    RealSleepClock realSleepClock;
    VirtualClock virtualClock;
    VirtualClock& clock = realClock ? realSleepClock : virtualClock;
    setClock(&clock);
    const auto wallStart = std::chrono::steady_clock::now();

    emu::SystemOptions options;
    options.configureProcess = false;  // runMain does the start-up
    int result = kEmuSetupFailed;
    {
        emu::EmulatedSystem system(type, options);
        emu::EmulatedChip& chip = system.chip();
        const char* transcriptPath = emu::envValue("TOUCHFW_EMU_TRANSCRIPT");
        chip.setTranscriptRecording(transcriptPath != nullptr);

        std::unique_ptr<emu::ReplayHost> replay;
        if (const char* replayPath = emu::envValue("TOUCHFW_EMU_REPLAY")) {
            replay = loadReplay(replayPath, system.host());
            if (!replay) {
                setClock(nullptr);
                return kEmuSetupFailed;
            }
        }

        const std::string statePath =
            emu::stateFilePath(type, emu::envValue("TOUCHFW_EMU_STATE_DIR"));
        if (!replay) {
            const StateStamp atStart = stateStamp(statePath);
            const bool damagedAtStart = atStart.size > 0 && !emu::loadState(chip, statePath);
            // Once the run holds the chip's lock, the state file is the
            // chip's state: another run may have saved it in between, within
            // the resolution of the file times and at the same size, so it
            // is read again (quietly when it is the damaged file read above).
            system.host().setDeviceLock(
                statePath,
                [&chip, &statePath, atStart, damagedAtStart]() {
                    const StateStamp now = stateStamp(statePath);
                    if (now.size > 0)
                        emu::loadState(chip, statePath, damagedAtStart && now == atStart);
                },
                [](const std::string& reason) {
                    std::fprintf(stderr,
                                 "touchfw-emu: cannot keep the chip's state (%s), so the chip is "
                                 "not opened; set TOUCHFW_EMU_STATE_DIR to a folder this user may "
                                 "write\n",
                                 logSafeText(reason).c_str());
                    std::fflush(stderr);
                });
        }
        if (!emu::addFaultsFromEnv(chip)) {
            setClock(nullptr);
            return kEmuSetupFailed;
        }

        result = replay ? runReplay(*replay, system, argc, argv) : runMain(argc, argv);
        if (result == kUsageStatus && !jsonRequested(argc, argv)) {
            std::fputs(kEmuUsage, stdout);
            std::fflush(stdout);
        }
        finishRun(system, statePath, !replay, transcriptPath);
        if (realClock)
            reportRealClock(clock, wallStart);
    }
    setClock(nullptr);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    return runGuarded("touchfw-emu", kEmuSetupFailed, emuMain, argc, argv);
}
