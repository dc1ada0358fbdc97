// Shared pieces of the HID tests: report descriptors shaped like real
// devices, an exact log-line matcher and a scripted HID host.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "hid/HidHost.h"
#include "tests/TestSupport.h"

namespace hidtest {

using Bytes = std::vector<uint8_t>;

// A touchscreen (report 1, digitizer page) and the vendor collection
// (page 0xFFF0, usage 1, report 0x0E of 64 data bytes each way) on one node,
// as touch controllers usually expose them.
inline Bytes touchAndVendorDescriptor(uint16_t vendorPayload = 64) {
    const uint8_t lo = static_cast<uint8_t>(vendorPayload);
    const uint8_t hi = static_cast<uint8_t>(vendorPayload >> 8);
    return {
        0x05, 0x0D,              // Usage Page (Digitizer)
        0x09, 0x04,              // Usage (Touch Screen)
        0xA1, 0x01,              // Collection (Application)
        0x85, 0x01,              //   Report ID (1)
        0x09, 0x22,              //   Usage (Finger)
        0xA1, 0x02,              //   Collection (Logical)
        0x09, 0x42,              //     Usage (Tip Switch)
        0x15, 0x00, 0x25, 0x01,  //     Logical 0..1
        0x75, 0x01, 0x95, 0x01,  //     1 bit x 1
        0x81, 0x02,              //     Input
        0x95, 0x07, 0x81, 0x03,  //     7 bits padding
        0x05, 0x01,              //     Usage Page (Generic Desktop)
        0x09, 0x30, 0x09, 0x31,  //     Usage (X), Usage (Y)
        0x26, 0xFF, 0x7F,        //     Logical Maximum (32767)
        0x75, 0x10, 0x95, 0x02,  //     16 bits x 2
        0x81, 0x02,              //     Input
        0xC0,                    //   End Collection
        0x05, 0x0D, 0x09, 0x54,  //   Usage (Contact Count)
        0x25, 0x0A, 0x75, 0x08, 0x95, 0x01,
        0x81, 0x02, 0x85, 0x02, 0x09, 0x55,  //   Report ID (2), Usage (Contact Count Maximum)
        0xB1, 0x02,                          //   Feature
        0xC0,                                // End Collection
        0x06, 0xF0, 0xFF,                    // Usage Page (Vendor 0xFFF0)
        0x09, 0x01,                          // Usage (1)
        0xA1, 0x01,                          // Collection (Application)
        0x85, 0x0E,                          //   Report ID (0x0E)
        0x09, 0x02, 0x15, 0x00, 0x26, 0xFF,
        0x00, 0x75, 0x08, 0x96, lo,   hi,  // 8 bits x payload
        0x81, 0x02,                        //   Input
        0x09, 0x03, 0x96, lo,   hi,        //   payload
        0x91, 0x02,                        //   Output
        0xC0,                              // End Collection
    };
}

// A boot keyboard: 8 bytes in, 1 byte (LEDs) out, no report id.
inline Bytes keyboardDescriptor() {
    return {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7, 0x15,
            0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95, 0x01, 0x75, 0x08,
            0x81, 0x01, 0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91,
            0x02, 0x95, 0x01, 0x75, 0x03, 0x91, 0x01, 0x95, 0x06, 0x75, 0x08, 0x15, 0x00,
            0x25, 0x65, 0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00, 0xC0};
}

// A three-button mouse: 3 bytes in, nested physical collection.
inline Bytes mouseDescriptor() {
    return {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19,
            0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,
            0x95, 0x01, 0x75, 0x05, 0x81, 0x01, 0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x15,
            0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06, 0xC0, 0xC0};
}

// True when the capture holds a line with this tag and function whose
// message (after "<fn:line> ") is exactly `message`.
inline bool hasLine(const testsupport::LogCapture& log, const std::string& tag,
                    const std::string& fn, const std::string& message) {
    const std::string head = tag + "<" + fn + ":";
    for (const std::string& line : log.lines()) {
        if (line.compare(0, head.size(), head) != 0)
            continue;
        const size_t close = line.find("> ", head.size());
        if (close != std::string::npos && line.substr(close + 2) == message)
            return true;
    }
    return false;
}

constexpr const char* kDebug = "   [Debug]  ";
constexpr const char* kInfo = "    [Info] ";
constexpr const char* kWarning = " [Warning] ";
constexpr const char* kError = "   [Error] ";

inline HidInterfaceInfo iface(const std::string& path, uint16_t vid, uint16_t pid,
                              uint16_t usagePage, uint16_t usage) {
    HidInterfaceInfo info;
    info.path = path;
    info.vendorId = vid;
    info.productId = pid;
    info.usagePage = usagePage;
    info.usage = usage;
    return info;
}

// A host whose interfaces, open failures and report answers are set by the
// test, and which records every call. It sits below HidTarget, which the
// HID tests exercise (ScriptedHid replaces the interface table above it).
class ScriptedHost : public HidHost {
  public:
    struct Sent {
        std::string call;  // "setOutputReport" or "writeReport"
        Bytes bytes;
    };

    std::vector<HidInterfaceInfo> interfaces;
    std::map<std::string, uint32_t> openErrors;  // path -> error of open()
    uint32_t ioError = 0;                        // non-zero: every report call fails with it

    // Answers: getInputReport copies `inputAnswer` over the request;
    // readReport delivers `readAnswer` (its size is what is received).
    Bytes inputAnswer;
    Bytes readAnswer;
    HidReadResult readResult = HidReadResult::ok;
    uint32_t readError = 0;

    int enumerateCalls = 0;
    std::vector<std::string> opened;
    std::vector<HidHandle> closed;
    std::vector<Sent> sent;
    std::vector<Bytes> inputRequests;
    struct ReadCall {
        uint8_t reportId;
        size_t length;
        int timeoutMs;
    };
    std::vector<ReadCall> readCalls;
    std::vector<std::pair<std::string, uint32_t>> explained;

    std::vector<HidInterfaceInfo> enumerate() override {
        ++enumerateCalls;
        return interfaces;
    }
    HidHandle open(const HidInterfaceInfo& info, uint32_t* osError) override {
        auto failure = openErrors.find(info.path);
        if (failure != openErrors.end()) {
            *osError = failure->second;
            return kInvalidHidHandle;
        }
        opened.push_back(info.path);
        const HidHandle h = nextHandle_++;
        live_[h] = info.path;
        return h;
    }
    void close(HidHandle handle) override {
        closed.push_back(handle);
        live_.erase(handle);
    }
    bool getInputReport(HidHandle handle, uint8_t* report, size_t length,
                        uint32_t* osError) override {
        inputRequests.emplace_back(report, report + length);
        if (!usable(handle, osError))
            return false;
        std::memcpy(report, inputAnswer.data(), std::min(length, inputAnswer.size()));
        return true;
    }
    bool setOutputReport(HidHandle handle, const uint8_t* report, size_t length,
                         uint32_t* osError) override {
        sent.push_back({"setOutputReport", Bytes(report, report + length)});
        return usable(handle, osError);
    }
    bool writeReport(HidHandle handle, const uint8_t* report, size_t length,
                     uint32_t* osError) override {
        sent.push_back({"writeReport", Bytes(report, report + length)});
        return usable(handle, osError);
    }
    HidReadResult readReport(HidHandle handle, uint8_t reportId, uint8_t* report, size_t length,
                             int timeoutMs, size_t* received, uint32_t* osError) override {
        readCalls.push_back({reportId, length, timeoutMs});
        if (!usable(handle, osError))
            return HidReadResult::failed;
        if (readResult != HidReadResult::ok) {
            *osError = readError;
            return readResult;
        }
        *received = std::min(length, readAnswer.size());
        std::memcpy(report, readAnswer.data(), *received);
        return HidReadResult::ok;
    }
    void explainOpenFailure(const HidInterfaceInfo& info, uint32_t osError) override {
        explained.emplace_back(info.path, osError);
    }

  private:
    bool usable(HidHandle handle, uint32_t* osError) {
        if (live_.count(handle) == 0) {
            *osError = 6;  // like an invalid-handle error
            return false;
        }
        if (ioError != 0) {
            *osError = ioError;
            return false;
        }
        return true;
    }

    HidHandle nextHandle_ = 100;
    std::map<HidHandle, std::string> live_;
};

}  // namespace hidtest
