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

int targetOpen(void*) {
    return selectedTarget().open();
}

int targetClose(void*) {
    return selectedTarget().close();
}

int targetWrite(uint8_t* buffer, int length, void*) {
    return selectedTarget().write(buffer, length);
}

int targetRead(uint8_t* buffer, int length, void*) {
    return selectedTarget().read(buffer, length);
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
