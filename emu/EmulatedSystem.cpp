#include "emu/EmulatedSystem.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "chip/ChipProfile.h"
#include "hid/DeviceMatch.h"
#include "hid/HidInterface.h"

namespace emu {

EmulatedSystem::EmulatedSystem(int32_t type, SystemOptions options) {
    clock_ = dynamic_cast<VirtualClock*>(&currentClock());
    if (clock_ == nullptr) {
        ownClock_ = std::make_unique<VirtualClock>();
        clock_ = ownClock_.get();
        setClock(clock_);
    }
    chip_ = std::make_unique<EmulatedChip>(type, clock_);
    if (options.twin) {
        twin_ = std::make_unique<EmulatedChip>(type, clock_);
        twin_->setProductId("TWIN");
    }
    host_ = std::make_unique<EmulatedHost>(*chip_, twin_.get(), options.decoys);
    previousHost_ = &hidHost();
    setHidHost(host_.get());
    if (options.configureProcess) {
        chipType = type;
        initChipProfile();
        deviceMatch.vid = kEmuVendorId;
        deviceMatch.pid = familyOf(type).defaultPid;
        deviceMatch.usage = kEmuUsage;
        deviceMatch.usagePage = familyOf(type).usagePage;
        bindHidInterface();
    }
}

EmulatedSystem::~EmulatedSystem() {
    if (&hidHost() == host_.get())
        setHidHost(previousHost_);
    if (ownClock_ && &currentClock() == ownClock_.get())
        setClock(nullptr);
}

std::vector<std::string> EmulatedSystem::protocolErrors() const {
    std::vector<std::string> errors = chip_->protocolErrors();
    if (twin_) {
        for (const std::string& e : twin_->protocolErrors())
            errors.push_back("twin: " + e);
    }
    return errors;
}

int32_t chipTypeFromArgs(int argc, char** argv) {
    int32_t type = kDefaultChipType;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--chip") == 0) {
            const int32_t named = familyFromName(argv[i + 1]);
            type = named != 0 ? named : kDefaultChipType;
            ++i;
        }
    }
    return type;
}

std::string stateFilePath(int32_t type, const char* stateDir) {
    const std::string dir = (stateDir != nullptr && stateDir[0] != '\0') ? stateDir : ".";
    return dir + "/touchfw-emu-" + familyName(type) + ".state";
}

const char* envValue(const char* name) {
    const char* value = std::getenv(name);
    return (value != nullptr && value[0] != '\0') ? value : nullptr;
}

bool loadState(EmulatedChip& chip, const std::string& path, bool quiet) {
    std::string error;
    if (chip.loadStateFile(path, &error))
        return true;
    if (!quiet)
        std::fprintf(stderr, "touchfw-emu: %s; starting from a fresh chip\n", error.c_str());
    return false;
}

bool addFaultsFromEnv(EmulatedChip& chip) {
    const char* faultList = envValue("TOUCHFW_EMU_FAULT");
    if (faultList == nullptr)
        return true;
    std::vector<FaultRule> rules;
    std::string error;
    if (!parseFaultList(faultList, chip.profile(), &rules, &error)) {
        std::fprintf(stderr, "touchfw-emu: TOUCHFW_EMU_FAULT %s\n", error.c_str());
        return false;
    }
    for (const FaultRule& rule : rules)
        chip.addFault(rule);
    return true;
}

void appendTranscript(EmulatedChip& chip, const char* path) {
    if (path == nullptr)
        return;
    std::ofstream out(path, std::ios::app);
    out << chip.transcript().toText();
}

void printProtocolErrors(const std::vector<std::string>& errors) {
    for (const std::string& error : errors)
        std::fprintf(stderr, "touchfw-emu: protocol error: %s\n", error.c_str());
}

}  // namespace emu
