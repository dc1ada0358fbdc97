// The chip's reading of register frames in one framing version: header
// fields, the checks that refuse a malformed frame, and the reassembly of a
// write that spans several reports (versions 1 and 2: sequence numbers and
// a more-follows flag; version 3 carries a whole write in one report).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "chip/Framing.h"

namespace emu {

// Byte 1 of a report that carries a register frame (raw command reports
// carry their operation there).
constexpr uint8_t kRegisterFrame = 0x20;

// One register frame as the chip reads it.
struct RegisterFrame {
    bool isRead = false;
    uint32_t addr = 0;
    uint32_t len = 0;
    uint8_t more = 0;
    uint8_t seq = 0;
    const uint8_t* payload = nullptr;  // a write's `len` bytes, inside the report
};

// What one write report did to the write in progress.
struct WriteStep {
    enum class Kind {
        partial,    // stored; more reports follow
        complete,   // stored; the whole write is in `start` and `data`
        refused,    // a protocol error; `text` says why
        discarded,  // a continuation of a refused write; `text` is the note
    };
    Kind kind = Kind::partial;
    std::string abandoned;  // set when an unfinished write was dropped first
    std::string text;
    uint32_t start = 0;
    std::vector<uint8_t> data;
};

class FrameDecoder {
  public:
    // `framing` is a TlcFraming value; any other makes every frame refused.
    explicit FrameDecoder(int32_t framing) : row_(framingRow(framing)) {}

    // Checks a register frame (report id and frame marker already matched);
    // false with *error set when the chip refuses it.
    bool parse(const uint8_t* r, size_t length, RegisterFrame* frame, std::string* error) const;
    // Transcript text of a register frame of at least 12 bytes.
    std::string describe(const uint8_t* r, size_t length) const;

    // Takes a parsed write into the write in progress.
    WriteStep addWrite(const RegisterFrame& frame);
    // Ends the write in progress (another kind of report came); the note to
    // record when it was unfinished, else "".
    std::string abandon();

  private:
    struct Header {
        size_t size = 0;
        uint32_t addr = 0;
        uint32_t len = 0;
    };
    Header header(const uint8_t* r) const;
    size_t maxWrite() const;
    bool checkCounts(const uint8_t* r, const RegisterFrame& f, std::string* error) const;
    // Refuses the report and marks the rest of its write as discarded.
    WriteStep refuse(std::string text);

    explicit FrameDecoder(const Framing* row) : row_(row) {}

    const Framing* row_;  // nullptr: no framing
    bool active_ = false;
    bool discarding_ = false;
    uint32_t start_ = 0;
    uint32_t next_ = 0;
    uint8_t nextSeq_ = 0;
    std::vector<uint8_t> data_;
};

}  // namespace emu
