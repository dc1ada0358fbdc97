// The same device plan as device_answers (DeviceSession.h), one level
// lower: the tool's own HID interface binding and HID targets run on the
// Linux hidraw backend with a fake node fed by the rest of the input
// (FakeHidraw.h).
#include "chip/ChipProfile.h"
#include "fuzz/DeviceSession.h"
#include "fuzz/FakeHidraw.h"
#include "fuzz/FuzzSupport.h"
#include "hid/DeviceMatch.h"
#include "hid/HidInterface.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VirtualClock clock;
    fuzz::InputScope scope(clock);
    fuzz::ByteReader in(data, size);
    const fuzz::SessionPlan plan = fuzz::readPlan(in);
    chipType = plan.chipType;
    initChipProfile();
    deviceMatch = DeviceMatchSettings{0x2A94, 0x0121, 0x0001, 0xFFF0, ""};
    fuzz::deliveries().clear();
    fuzz::FakeHidraw node(in, plan.writeFailEvery);
    bindHidInterface();
    fuzz::runSession(plan);
    return 0;
}
