// Replay of a wire recording (`touchfw --record`, or an emulator
// transcript): a HID host that answers from the recording instead of a chip.
//
// Every report the tool sends must equal the next recorded one, byte for
// byte and on the same path; every open, close and input report must come
// where the recording has one. Answers (input reports, failures, time-outs,
// refused opens) are the recorded ones. The first difference stops the
// replay: from then on every call fails, and mismatch() says where it was
// and shows both sides. Waits and the emulator's notes are not compared.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "hid/HidHost.h"
#include "hid/WireRecording.h"

namespace emu {

class ReplayHost : public HidHost {
  public:
    // `events` from parseWireRecording. Enumerations list the recorded
    // interfaces. A recording without enumerations (an emulator transcript)
    // lists one interface with the device match keys in force, so the
    // command line finds it, at the first recorded path and with the report
    // lengths of `like`.
    ReplayHost(std::vector<WireEvent> events, const HidInterfaceInfo& like);

    std::vector<HidInterfaceInfo> enumerate() override;
    HidHandle open(const HidInterfaceInfo& iface, uint32_t* osError) override;
    void close(HidHandle handle) override;
    bool getInputReport(HidHandle handle, uint8_t* report, size_t length,
                        uint32_t* osError) override;
    bool setOutputReport(HidHandle handle, const uint8_t* report, size_t length,
                         uint32_t* osError) override;
    bool writeReport(HidHandle handle, const uint8_t* report, size_t length,
                     uint32_t* osError) override;
    HidReadResult readReport(HidHandle handle, uint8_t reportId, uint8_t* report, size_t length,
                             int timeoutMs, size_t* received, uint32_t* osError) override;

    // Call when the run is over: a recording with events left over is a
    // difference too (the run did less than the recorded one).
    void finish();
    bool failed() const { return !mismatch_.empty(); }
    // "report 7 (line 19): ...\n  recorded: ...\n  sent:     ..."; empty while all matched.
    const std::string& mismatch() const { return mismatch_; }

  private:
    // The next event the tool must meet (waits and notes skipped); null at the end.
    const WireEvent* next();
    void differ(const std::string& what, const WireEvent* recorded, const std::string& actual);
    bool send(bool plainPath, const uint8_t* report, size_t length, uint32_t* osError);
    const WireEvent* receive(bool plainPath, uint32_t* osError);

    std::vector<WireEvent> events_;
    bool hasEnumerations_ = false;
    size_t cursor_ = 0;
    size_t reportsSent_ = 0;
    HidInterfaceInfo like_;
    std::string mismatch_;
    HidHandle nextHandle_ = 1;
};

// Reads and parses a recording file; false with a message when it cannot.
bool loadRecording(const std::string& path, std::vector<WireEvent>* events, std::string* error);

}  // namespace emu
