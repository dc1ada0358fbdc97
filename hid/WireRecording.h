// The wire recording line format: one event per line, written by
// `touchfw --record FILE` (RecordingHost) and by the emulator's transcript,
// read back by the emulator's replay. docs/RECORDING.md describes it.
//
//   <ms> open <path>
//   <ms> open-failed <osError> <path>
//   <ms> close <path>
//   <ms> out <set|write> <length> <hex>
//   <ms> out <set|write> failed <osError> <length> <hex>
//   <ms> in <get|read> <length> <hex>
//   <ms> in <get|read> <failed|timeout> <osError>
//   <ms> wait <milliseconds>
//   <ms> enumerate <count>
//   <ms> iface <vid> <pid> <usagePage> <usage> <collection> <inputLength>
//        <outputLength> <queryError> <osError> <path>   (one line, <count> times)
//   <ms> <word> <free text>          (other events, e.g. the emulator's notes)
//
// <ms> is the time since the start of the run. A report is its full length
// and its bytes in hex up to the last non-zero byte (the rest are zero), or
// "-" when every byte is zero. A "#" at the start of a line or after a blank
// starts a comment that runs to the end of the line; blank lines are ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hid/HidHost.h"

struct WireEvent {
    enum class Kind { open, openFailed, close, out, in, wait, enumerate, iface, other };
    enum class Outcome { ok, failed, timeout };
    Kind kind = Kind::other;
    uint64_t timeMs = 0;
    bool plainPath = false;  // write/read rather than set/get
    Outcome outcome = Outcome::ok;
    uint32_t osError = 0;
    uint32_t waitMs = 0;     // wait: milliseconds; enumerate: the number of interfaces
    HidInterfaceInfo iface;  // iface: the interface as enumerated (its path in `text`)
    std::vector<uint8_t> bytes;
    std::string text;       // device path, or the word and text of another event
    size_t lineNumber = 0;  // where a parsed event stood (1-based)
};

// "<length> <hex>" as defined above.
std::string wireReportText(const uint8_t* data, size_t length);
// One line without the newline.
std::string formatWireEvent(const WireEvent& event);

// Reads the events of a recording's text one at a time, so that a reader
// holds the text and one event whatever the recording holds. Comments and
// blank lines yield no event. The text must outlive the reader.
class WireReader {
  public:
    explicit WireReader(std::string_view text) : text_(text) {}

    // The next event; false at the end, or on a malformed line (error() then
    // names it). A last line without its line end is a recording cut off
    // while it was written: it is not read, and cut() says so.
    bool next(WireEvent* event);
    const std::string& error() const { return error_; }
    bool cut() const { return cut_; }
    // The number of the line cut off (valid when cut()).
    size_t cutLine() const { return line_ + 1; }
    // Back to the first line.
    void rewind();

  private:
    std::string_view text_;
    size_t pos_ = 0;
    size_t line_ = 0;
    bool cut_ = false;
    std::string error_;
};

// Parses a whole recording; false (with a message naming the line) on the
// first malformed line. A line cut off at the end is left out, as WireReader
// leaves it out.
bool parseWireRecording(const std::string& text, std::vector<WireEvent>* events,
                        std::string* error);
