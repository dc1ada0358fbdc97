// A device that answers anything: the HID interface's four operations are
// replaced by a fake whose input reports come from the fuzzer, and a plan of
// device operations (register reads in every framing, identity read,
// configuration version, report control, property queries, touch data) runs
// against it. See DeviceSession.h for the plan at the head of the input.
//
// After the plan, one control byte per input report read (AnswerKind):
// well-formed answers take just the data bytes asked for from the input,
// raw answers a whole report. A read past the end of the input fails.
#include <vector>

#include "chip/ChipProfile.h"
#include "fuzz/DeviceSession.h"
#include "fuzz/FuzzSupport.h"
#include "hid/HidInterface.h"

namespace {

struct FakeDevice {
    fuzz::ByteReader* in = nullptr;
    uint8_t writeFailEvery = 0;
    unsigned writes = 0;
    std::vector<uint8_t> lastRequest;
};

FakeDevice device;

int fakeOpen(void*) {
    return 0;
}

int fakeClose(void*) {
    return 0;
}

int fakeWrite(uint8_t* buffer, int length, void*) {
    ++device.writes;
    if (device.writeFailEvery != 0 && device.writes % device.writeFailEvery == 0)
        return -3;
    if (buffer != nullptr && length > 0)
        device.lastRequest.assign(buffer, buffer + length);
    return 0;
}

int answer(uint8_t* buffer, int length);

// Writes exactly `length` bytes to `buffer`, as a HID read does.
int fakeRead(uint8_t* buffer, int length, void*) {
    const int result = answer(buffer, length);
    if (result == 0)
        fuzz::deliveries().push_back({device.lastRequest, {buffer, buffer + length}});
    return result;
}

int answer(uint8_t* buffer, int length) {
    uint8_t control = 0;
    if (buffer == nullptr || length < 0 || !device.in->next(&control))
        return -3;
    const size_t size = static_cast<size_t>(length);
    const int requested = fuzz::requestedLength(device.lastRequest);
    switch (static_cast<fuzz::AnswerKind>(control & 0x3)) {
        case fuzz::AnswerKind::wellFormed:
            fuzz::fillAnswer(buffer, size, requested, requested, *device.in);
            return 0;
        case fuzz::AnswerKind::raw:
            device.in->take(buffer, size);
            return 0;
        case fuzz::AnswerKind::fail:
            return -3;
        case fuzz::AnswerKind::wrongLength: {
            const int field = device.in->u16();
            fuzz::fillAnswer(buffer, size, field, requested, *device.in);
            return 0;
        }
    }
    return -3;
}

}  // namespace

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

    device = FakeDevice();
    fuzz::deliveries().clear();
    device.in = &in;
    device.writeFailEvery = plan.writeFailEvery;
    *getHidInterface() = HidInterface{fakeOpen, fakeClose, fakeWrite, fakeRead, nullptr};

    fuzz::runSession(plan);
    return 0;
}
