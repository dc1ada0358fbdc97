#include "hid/HidInterface.h"

#include "chip/ChipProfile.h"
#include "hid/HidTarget.h"

namespace {

// The context is null in this tool and ignored by every operation. The target
// is chosen from the family's long-report trait at every call.
bool useFjordK8() {
    return familyOf(chipType).has(TRAIT_LONG_REPORTS);
}

HidTarget& selectedTarget() {
    return useFjordK8() ? static_cast<HidTarget&>(hidTargetFjordK8) : hidTarget;
}

int targetOpen(void*) {
    return selectedTarget().open();
}

int targetClose(void*) {
    return selectedTarget().close();
}

int targetWrite(uint8_t* buffer, int length, void*) {
    return useFjordK8() ? hidTargetFjordK8.write(buffer, length) : hidTarget.write(buffer, length);
}

int targetRead(uint8_t* buffer, int length, void*) {
    return useFjordK8() ? hidTargetFjordK8.read(buffer, length) : hidTarget.read(buffer, length);
}

HidInterface hidInterface{};

}  // namespace

HidInterface* getHidInterface() {
    return &hidInterface;
}

bool hidInterfaceConfigured() {
    return hidInterface.open && hidInterface.close && hidInterface.read && hidInterface.write;
}

bool hidOpenRefusedInUse() {
    return selectedTarget().openRefusedInUse();
}

bool hidDeviceGone() {
    return selectedTarget().deviceGone();
}

void bindHidInterface() {
    hidInterface = HidInterface{targetOpen, targetClose, targetWrite, targetRead, nullptr};
}

void resetHidInterface() {
    hidInterface = HidInterface{};
    hidTarget.close();
    hidTargetFjordK8.close();
}

int listHidDevices() {
    HidTarget target;
    return target.listDevices();
}
