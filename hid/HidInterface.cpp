#include "hid/HidInterface.h"

#include "chip/ChipProfile.h"
#include "hid/HidTarget.h"

namespace {

// The context is null in this tool and ignored by every operation. The target
// is the one of the family's report path, chosen at every call.
HidTarget& selectedTarget() {
    const Framing* framing = framingRow(familyOf(chipType).framing);
    if (framing != nullptr && framing->longReports())
        return hidTargetFjordK8;
    return hidTarget;
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
    hidInterface = HidInterface{
        [](void*) { return selectedTarget().open(); },
        [](void*) { return selectedTarget().close(); },
        [](uint8_t* buffer, int length, void*) { return selectedTarget().write(buffer, length); },
        [](uint8_t* buffer, int length, void*) { return selectedTarget().read(buffer, length); },
        nullptr};
}

void resetHidInterface() {
    hidInterface = HidInterface{};
    hidTarget.close();
    hidTargetFjordK8.close();
}

int listHidDevices(std::vector<HidInterfaceInfo>* listed) {
    HidTarget target;
    return target.listDevices(listed);
}
