#include "emu/EmulatedSystem.h"

#include <cstring>

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

}  // namespace emu
