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
// Protocol errors the chip noticed are printed on standard error. After
// touchfw's usage text (--help) comes a note on these variables.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/App.h"
#include "emu/Emulator.h"
#include "sys/Clock.h"

namespace {

// Exit status when the emulator itself cannot be set up.
constexpr int kEmuSetupFailed = 125;
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
    "  TOUCHFW_EMU_CLOCK       real: every wait is a real sleep, and the sum of the waits\n"
    "                          and the wall time are printed on standard error at the end;\n"
    "                          virtual (the default): waits pass at once.\n"
    "Devices: emu:/dev/hidraw1 is the chip, emu:/dev/hidraw2 a second device with its keys.\n";

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

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

// The file's bytes; empty when it is missing (the lock creates it empty).
std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    if (in)
        text << in.rdbuf();
    return text.str();
}

void loadState(emu::EmulatedChip& chip, const std::string& path) {
    std::string error;
    if (!chip.loadStateFile(path, &error)) {
        std::fprintf(stderr, "touchfw-emu: %s; starting from a fresh chip\n", error.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int32_t type = emu::chipTypeFromArgs(argc, argv);
    const char* clockMode = env("TOUCHFW_EMU_CLOCK");
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
    int result = 0;
    {
        emu::EmulatedSystem system(type, options);
        emu::EmulatedChip& chip = system.chip();
        const char* transcriptPath = env("TOUCHFW_EMU_TRANSCRIPT");
        chip.setTranscriptRecording(transcriptPath != nullptr);

        const std::string statePath = emu::stateFilePath(type, env("TOUCHFW_EMU_STATE_DIR"));
        const std::string stateAtStart = fileText(statePath);
        if (!stateAtStart.empty())
            loadState(chip, statePath);
        system.host().setDeviceLock(statePath, [&chip, &statePath, &stateAtStart]() {
            const std::string now = fileText(statePath);
            if (!now.empty() && now != stateAtStart)
                loadState(chip, statePath);
        });
        if (const char* faultList = env("TOUCHFW_EMU_FAULT")) {
            std::vector<emu::FaultRule> rules;
            std::string error;
            if (!emu::parseFaultList(faultList, chip.profile(), &rules, &error)) {
                std::fprintf(stderr, "touchfw-emu: TOUCHFW_EMU_FAULT %s\n", error.c_str());
                setClock(nullptr);
                return kEmuSetupFailed;
            }
            for (const emu::FaultRule& rule : rules)
                chip.addFault(rule);
        }

        result = runMain(argc, argv);
        if (result == kUsageStatus) {
            std::fputs(kEmuUsage, stdout);
            std::fflush(stdout);
        }

        if (system.host().openCount(emu::InterfaceRole::chip) > 0) {
            std::string error;
            if (!chip.saveStateFile(statePath, &error)) {
                std::fprintf(stderr, "touchfw-emu: %s\n", error.c_str());
            }
        }
        if (transcriptPath != nullptr) {
            std::ofstream out(transcriptPath, std::ios::app);
            out << chip.transcript().toText();
        }
        if (const int twinOpens = system.host().openCount(emu::InterfaceRole::twin)) {
            std::fprintf(stderr,
                         "touchfw-emu: the later device with the same keys was opened %d time%s\n",
                         twinOpens, twinOpens == 1 ? "" : "s");
        }
        for (const std::string& error : system.protocolErrors()) {
            std::fprintf(stderr, "touchfw-emu: protocol error: %s\n", error.c_str());
        }
        if (realClock) {
            uint64_t waitedMs = 0;
            for (const uint32_t ms : clock.waits())
                waitedMs += ms;
            const double wallMs = std::chrono::duration<double, std::milli>(
                                      std::chrono::steady_clock::now() - wallStart)
                                      .count();
            std::fprintf(stderr, "touchfw-emu: real clock: waits %llu ms, wall time %.1f ms\n",
                         static_cast<unsigned long long>(waitedMs), wallMs);
        }
    }
    setClock(nullptr);
    return result;
}
