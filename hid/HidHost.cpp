// Placeholder until the OS backend is built: a host with no interfaces.
#include "hid/HidHost.h"

namespace {

class EmptyHost : public HidHost {
  public:
    std::vector<HidInterfaceInfo> enumerate() override { return {}; }
    HidHandle open(const HidInterfaceInfo&, uint32_t* osError) override {
        if (osError)
            *osError = 2;
        return kInvalidHidHandle;
    }
    void close(HidHandle) override {}
    bool getInputReport(HidHandle, uint8_t*, size_t, uint32_t*) override { return false; }
    bool setOutputReport(HidHandle, const uint8_t*, size_t, uint32_t*) override { return false; }
    bool writeReport(HidHandle, const uint8_t*, size_t, uint32_t*) override { return false; }
    HidReadResult readReport(HidHandle, uint8_t, uint8_t*, size_t, int, size_t*,
                             uint32_t*) override {
        return HidReadResult::failed;
    }
};

EmptyHost emptyHost;
HidHost* installedHost = nullptr;

}  // namespace

HidHost& hidHost() {
    return installedHost ? *installedHost : emptyHost;
}

void setHidHost(HidHost* host) {
    installedHost = host;
}
