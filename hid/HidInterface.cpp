// Placeholder until the HID targets are built: every operation fails.
#include "hid/HidInterface.h"

namespace {
int failOpen(void*) {
    return -1;
}
int okClose(void*) {
    return 0;
}
int failIo(uint8_t*, int, void*) {
    return -3;
}
HidInterface hidInterface{};
}  // namespace

HidInterface* getHidInterface() {
    return &hidInterface;
}

bool hidInterfaceConfigured() {
    return hidInterface.open && hidInterface.close && hidInterface.read && hidInterface.write;
}

void bindHidInterface() {
    hidInterface = HidInterface{failOpen, okClose, failIo, failIo, nullptr};
}

void resetHidInterface() {
    hidInterface = HidInterface{};
}

int listHidDevices() {
    return -1;
}
