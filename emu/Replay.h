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

#include <string>
#include <vector>

#include "hid/HidHost.h"
#include "hid/WireRecording.h"

namespace emu {

class ReplayHost : public HidHost {
  public:
    // `text`: the recording (or transcript) itself, which must read whole
    // (see check()). The host keeps the text and reads it one event at a
    // time, so a replay holds the recording once and one event beside it.
    // Enumerations list the recorded interfaces. A recording without
    // enumerations (an emulator transcript) lists one interface with the
    // device match keys in force, so the command line finds it, at the
    // first recorded path and with the report lengths of `like`.
    ReplayHost(std::string text, const HidInterfaceInfo& like);

    // "" when every line reads, else the first malformed line.
    const std::string& check() const { return invalid_; }
    // The recording's last line was cut off while it was written (a full
    // disk, a killed run); the replay ends before that line.
    bool cut() const { return cutLine_ != 0; }
    size_t cutLine() const { return cutLine_; }

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
    // "report 7 (line 19): ...\n  recorded: ...\n  sent:     ..."; for two
    // reports a fourth line puts a caret under the first byte that differs
    // and names it on both sides ("^ offset 8: recorded 0x00, sent 0x01").
    // Empty while all matched.
    const std::string& mismatch() const { return mismatch_; }

    // The command line of the recorded run as its first line names it
    // ("# touchfw <version>: <arguments>"), without its --record FILE;
    // empty for a recording without that line (an emulator transcript).
    const std::string& recordedArguments() const { return recordedArguments_; }

  private:
    // The next event the tool must meet (waits and notes skipped); null at
    // the end. It stays readable after consume() until the next call.
    const WireEvent* next();
    void consume() { haveCurrent_ = false; }
    std::string describe(const WireEvent* event) const;
    void differ(const std::string& what, const WireEvent* recorded, const std::string& actual,
                const WireEvent* sent = nullptr);
    bool send(bool plainPath, const uint8_t* report, size_t length, uint32_t* osError);
    const WireEvent* receive(bool plainPath, uint32_t* osError);

    std::string text_;
    WireReader reader_;
    WireEvent current_;
    bool haveCurrent_ = false;
    bool hasEnumerations_ = false;
    size_t cutLine_ = 0;
    std::string invalid_;
    size_t reportsSent_ = 0;
    HidInterfaceInfo like_;
    std::string mismatch_;
    std::string recordedArguments_;
    HidHandle nextHandle_ = 1;
};

// argv[1] to argv[argc - 1] joined by blanks as a recording's first line has
// them, without --record FILE: what recordedArguments() is compared with.
std::string commandArguments(int argc, char** argv);

// Reads a recording file (a regular file of at most kMaxRecordingBytes);
// false with a message when it cannot.
bool loadRecording(const std::string& path, std::string* text, std::string* error);

}  // namespace emu
