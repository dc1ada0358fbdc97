#include "hid/HidHost.h"

#if defined(__linux__)
#include "hid/HidHostLinux.h"
#elif defined(_WIN32)
#include "hid/HidHostWindows.h"
#endif

namespace {

// The host of a platform without a backend: no interfaces.
class EmptyHost : public HidHost {
  public:
    std::vector<HidInterfaceInfo> enumerate() override { return {}; }
    HidHandle open(const HidInterfaceInfo&, uint32_t* osError) override {
        setOsError(osError, 2);
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

HidHost& platformHost() {
#if defined(__linux__)
    static HidHostLinux host;
#elif defined(_WIN32)
    static HidHostWindows host;
#else
    static EmptyHost host;
#endif
    return host;
}

HidHost* installedHost = nullptr;

}  // namespace

HidHost& hidHost() {
    return installedHost ? *installedHost : platformHost();
}

void setHidHost(HidHost* host) {
    installedHost = host;
}
