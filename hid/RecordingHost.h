// Wire recording for `touchfw --record FILE`: decorators that sit in front
// of whichever HID host and clock are in force and append every listing of
// the interfaces, open, close, report and wait to FILE in the line format of hid/WireRecording.h,
// each line as it happens (a run that is killed keeps what it did so far). The backends below know
// nothing of it.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "hid/HidHost.h"
#include "hid/WireRecording.h"
#include "sys/Clock.h"
#include "sys/Files.h"

// The open recording file and the run's start time. Each event is one line
// appended whole (sys/Files.h AppendFile): when a write fails, the file is
// cut back to its last whole line and the recording stops there for the
// rest of the run, with one note on standard error saying where it ends;
// the run itself goes on.
class WireRecorder {
  public:
    // Opens `path` for appending (created when missing). Refuses anything
    // but a regular file, does not follow a symbolic link at the path and,
    // in a folder others may write, refuses a file with a second name.
    bool open(const std::string& path);

    // Appends "# text" (the header naming the run).
    void comment(const std::string& text);
    // Stamps the event with the time since open() and appends it.
    void write(WireEvent event);

  private:
    // Appends `line` and its line end.
    void append(std::string line, uint64_t timeMs);

    AppendFile file_;
    std::string path_;
    uint64_t startMs_ = 0;
    uint64_t lastTimeMs_ = 0;  // of the last event written whole
    bool anyEvent_ = false;
};

// Records what crosses the seam; every other query (whether the device is
// gone, why an open failed, whether it may be opened) goes through unchanged.
class RecordingHost : public ForwardingHidHost {
  public:
    RecordingHost(HidHost& inner, WireRecorder& recorder)
        : ForwardingHidHost(inner), recorder_(recorder) {}

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

  private:
    // One report line: `length` bytes of `report` (none when null), and the
    // outcome with its system error when it is not ok.
    void recordReport(WireEvent::Kind kind, bool plainPath, const uint8_t* report, size_t length,
                      WireEvent::Outcome outcome, uint32_t osError);

    WireRecorder& recorder_;
    std::map<HidHandle, std::string> paths_;
};

class RecordingClock : public Clock {
  public:
    RecordingClock(Clock& inner, WireRecorder& recorder) : inner_(inner), recorder_(recorder) {}
    void sleepMs(uint32_t ms) override;
    LocalTime now() override { return inner_.now(); }
    uint64_t monotonicMs() override { return inner_.monotonicMs(); }

  private:
    Clock& inner_;
    WireRecorder& recorder_;
};

// Recording for the rest of the process's run: installs the decorators in
// front of the host and clock in force and puts them back when destroyed.
class WireRecording {
  public:
    // Opens `path`, writes `header` as a comment and installs the
    // decorators; false when the file cannot be opened (nothing installed).
    bool start(const std::string& path, const std::string& header);
    ~WireRecording();

  private:
    WireRecorder recorder_;
    std::unique_ptr<RecordingHost> host_;
    std::unique_ptr<RecordingClock> clock_;
    HidHost* previousHost_ = nullptr;
    Clock* previousClock_ = nullptr;
};
