// touchfw-emu: touchfw's command line on an emulated chip and a virtual
// clock. The chip family follows --chip (default fjordK). The chip's state
// is kept in "touchfw-emu-<family>.state" in the current directory (or in
// $TOUCHFW_EMU_STATE_DIR) between runs. $TOUCHFW_EMU_FAULT injects faults,
// $TOUCHFW_EMU_TRANSCRIPT names a file the run's transcript is appended to.
// Protocol errors the chip noticed are printed on standard error.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "app/App.h"
#include "emu/Emulator.h"
#include "sys/Clock.h"

namespace {

// Exit status when the emulator itself cannot be set up.
constexpr int kEmuSetupFailed = 125;

const char* env(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

// Asks without opening: opening a FIFO at the path would wait for a writer.
bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
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

        const std::string statePath = emu::stateFilePath(type, env("TOUCHFW_EMU_STATE_DIR"));
        if (fileExists(statePath)) {
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

        result = runMain(argc, argv);

        if (system.host().openCount(emu::InterfaceRole::chip) > 0) {
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
