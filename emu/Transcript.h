// The emulator's transcript: every report in both directions, every wait
// of the tool (taken from the virtual clock), opens, closes, injected
// faults and rejected frames, in the order they happened, each stamped
// with the virtual time. For golden tests and for debugging a failing case.
//
// Its lines are in the wire recording format of `touchfw --record`
// (hid/WireRecording.h), so a transcript reads like a recording and can be
// replayed; what the chip made of a report follows as a comment. Entries
// keep the raw bytes: the chip's reading of a report is only formatted when
// a line or a description is asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "log/Log.h"

namespace emu {

// Puts into words what a report meant to the chip (the emulated chip).
class ReportDescriber {
  public:
    virtual ~ReportDescriber() = default;
    virtual std::string describeOutput(const uint8_t* report, size_t length) const = 0;
    // An answer to the read request at `addr`.
    virtual std::string describeAnswer(const uint8_t* report, size_t length,
                                       uint32_t addr) const = 0;
};

struct TranscriptEntry {
    enum class Kind {
        output,  // a report the tool sent (bytes as on the wire)
        input,   // a report the chip answered (bytes as on the wire)
        wait,    // a wait of the tool (value = milliseconds)
        open,    // an open or close of the interface
        fault,   // an injected fault took effect
        note,    // something worth knowing that is not an error
        error,   // a frame or sequence the chip rejected
    };
    Kind kind = Kind::note;
    uint64_t timeMs = 0;
    uint32_t value = 0;  // wait: milliseconds; input: the address it answers
    std::vector<uint8_t> bytes;
    // What the chip made of it. Empty for reports and waits whose words come
    // from `describer` and `value` when asked for (description()).
    std::string text;
    bool plainPath = false;  // report on the write/read path (not set/get)
    std::string path;        // open, close: the interface's device path
    const ReportDescriber* describer = nullptr;

    // "write 0x00010174 +6: 00 00 04 33 37 00", "wait 50 ms", "open ..."
    // (a report's words come from its chip, which must still exist).
    std::string description() const;
    // The recording line: "120 out set 65 0E2000...  # write 0x00010174 +6: ..."
    std::string line() const;
};

class Transcript {
  public:
    void add(TranscriptEntry entry) { entries_.push_back(std::move(entry)); }
    void add(TranscriptEntry::Kind kind, uint64_t timeMs, std::string text,
             std::vector<uint8_t> bytes = {}, uint32_t value = 0);
    const std::vector<TranscriptEntry>& entries() const { return entries_; }
    void clear() { entries_.clear(); }

    // One line per entry.
    std::vector<std::string> lines() const;
    // The entries' descriptions only, without time or kind, for kinds in
    // `mask` (bit = 1 << Kind); handy for golden comparisons of a flow.
    std::vector<std::string> texts(uint32_t mask) const;
    std::string toText() const;

    static constexpr uint32_t bit(TranscriptEntry::Kind kind) {
        return 1u << static_cast<uint32_t>(kind);
    }

  private:
    std::vector<TranscriptEntry> entries_;
};

// "00 00 04 33 37 00"; at most `limit` bytes, then " ...(+N)".
std::string hexBytes(const uint8_t* data, size_t n, size_t limit = 64);
inline std::string hexBytes(const std::vector<uint8_t>& data, size_t limit = 64) {
    return hexBytes(data.data(), data.size(), limit);
}

}  // namespace emu
