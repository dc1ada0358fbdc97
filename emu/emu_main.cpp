// touchfw-emu: touchfw's command line on an emulated chip and a virtual
// clock. The chip family follows --chip (default fjordK). The chip's state
// is kept in "touchfw-emu-<family>.state" in the current directory (or in
// $TOUCHFW_EMU_STATE_DIR) between runs. $TOUCHFW_EMU_FAULT injects faults,
// $TOUCHFW_EMU_TRANSCRIPT names a file the run's transcript is appended to.
// Protocol errors the chip noticed are printed on standard error. After
// touchfw's usage text (--help) comes a note on these variables.
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
    "Devices: emu:/dev/hidraw1 is the chip, emu:/dev/hidraw2 a second device with its keys.\n";

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
