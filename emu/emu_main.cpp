// touchfw-emu: touchfw's command line on an emulated chip and a virtual
// clock. The chip family follows --chip (default fjordK). The chip's state
// is kept in "touchfw-emu-<family>.state" in the current directory (or in
// $TOUCHFW_EMU_STATE_DIR) between runs. $TOUCHFW_EMU_FAULT injects faults,
// $TOUCHFW_EMU_TRANSCRIPT names a file the run's transcript is appended to.
// $TOUCHFW_EMU_REPLAY names a wire recording to answer from instead of the
// chip (the chip's state is then neither read nor written): the run must
// send exactly the recorded reports, else it ends with kReplayDiffers and
// the first difference on standard error.
// Protocol errors the chip noticed are printed on standard error.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/App.h"
#include "emu/Emulator.h"
#include "emu/Replay.h"
#include "sys/Clock.h"

namespace {

// Exit status when the emulator itself cannot be set up.
constexpr int kEmuSetupFailed = 125;
// Exit status when a replayed run differs from its recording.
constexpr int kReplayDiffers = 124;

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

bool fileExists(const std::string& path) {
    std::ifstream in(path);
    return static_cast<bool>(in);
}

}  // namespace

int main(int argc, char** argv) {
    const int32_t type = emu::chipTypeFromArgs(argc, argv);
    VirtualClock clock;
    setClock(&clock);

    emu::SystemOptions options;
    options.configureProcess = false;  // runMain does the start-up
    int result = 0;
    {
        emu::EmulatedSystem system(type, options);
        emu::EmulatedChip& chip = system.chip();

        std::unique_ptr<emu::ReplayHost> replay;
        if (const char* replayPath = env("TOUCHFW_EMU_REPLAY")) {
            std::vector<WireEvent> events;
            std::string error;
            if (!emu::loadRecording(replayPath, &events, &error)) {
                std::fprintf(stderr, "touchfw-emu: TOUCHFW_EMU_REPLAY %s\n", error.c_str());
                setClock(nullptr);
                return kEmuSetupFailed;
            }
            const emu::EmulatedHost& host = system.host();
            replay = std::make_unique<emu::ReplayHost>(std::move(events),
                                                       host.interfaces()[host.chipIndex()].info);
        }

        const std::string statePath = emu::stateFilePath(type, env("TOUCHFW_EMU_STATE_DIR"));
        if (!replay && fileExists(statePath)) {
            std::string error;
            if (!chip.loadStateFile(statePath, &error)) {
                std::fprintf(stderr, "touchfw-emu: %s; starting from a fresh chip\n",
                             error.c_str());
            }
        }
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

        if (replay) {
            setHidHost(replay.get());
            result = runMain(argc, argv);
            setHidHost(&system.host());
            replay->finish();
            if (replay->failed()) {
                std::fprintf(stderr, "touchfw-emu: replay: %s\n", replay->mismatch().c_str());
                result = kReplayDiffers;
            }
        } else {
            result = runMain(argc, argv);
        }

        if (!replay && system.host().openCount(emu::InterfaceRole::chip) > 0) {
            std::string error;
            if (!chip.saveStateFile(statePath, &error)) {
                std::fprintf(stderr, "touchfw-emu: %s\n", error.c_str());
            }
        }
        if (const char* transcriptPath = env("TOUCHFW_EMU_TRANSCRIPT")) {
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
    }
    setClock(nullptr);
    return result;
}
