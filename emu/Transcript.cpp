#include "emu/Transcript.h"

#include "hid/WireRecording.h"
#include "sys/Bytes.h"

namespace emu {

namespace {

// The first word of a line for events that are not reports, waits, opens or
// closes; a replay passes over them.
const char* otherWord(TranscriptEntry::Kind kind) {
    switch (kind) {
        case TranscriptEntry::Kind::fault:
            return "fault";
        case TranscriptEntry::Kind::error:
            return "error";
        case TranscriptEntry::Kind::open:
            return "host";
        default:
            return "note";
    }
}

}  // namespace

std::string hexBytes(const uint8_t* data, size_t n, size_t limit) {
    const size_t shown = n < limit ? n : limit;
    std::string out = hexText(data, shown, ' ');
    if (shown < n) {
        out += " ...(+" + std::to_string(n - shown) + ")";
    }
    return out;
}

std::string TranscriptEntry::description() const {
    if (!text.empty() || bytes.empty() || describer == nullptr) {
        if (text.empty() && kind == Kind::wait)
            return "wait " + std::to_string(value) + " ms";
        return text;
    }
    if (kind == Kind::output)
        return describer->describeOutput(bytes.data(), bytes.size());
    return describer->describeAnswer(bytes.data(), bytes.size(), value);
}

std::string TranscriptEntry::line() const {
    WireEvent event;
    event.timeMs = timeMs;
    switch (kind) {
        case Kind::output:
        case Kind::input:
            event.kind = kind == Kind::output ? WireEvent::Kind::out : WireEvent::Kind::in;
            event.plainPath = plainPath;
            event.bytes = bytes;
            return formatWireEvent(event) + "  # " + description();
        case Kind::wait:
            event.kind = WireEvent::Kind::wait;
            event.waitMs = value;
            return formatWireEvent(event);
        case Kind::open:
            if (!path.empty()) {
                event.kind =
                    text.rfind("close", 0) == 0 ? WireEvent::Kind::close : WireEvent::Kind::open;
                event.text = path;
                return formatWireEvent(event) + "  # " + text;
            }
            break;
        default:
            break;
    }
    event.kind = WireEvent::Kind::other;
    event.text = std::string(otherWord(kind)) + " " + description();
    if (!bytes.empty())
        event.text += " [" + wireReportText(bytes.data(), bytes.size()) + "]";
    return formatWireEvent(event);
}

void Transcript::add(TranscriptEntry::Kind kind, uint64_t timeMs, std::string text,
                     std::vector<uint8_t> bytes, uint32_t value) {
    TranscriptEntry entry;
    entry.kind = kind;
    entry.timeMs = timeMs;
    entry.text = std::move(text);
    entry.bytes = std::move(bytes);
    entry.value = value;
    entries_.push_back(std::move(entry));
}

std::vector<std::string> Transcript::lines() const {
    std::vector<std::string> out;
    out.reserve(entries_.size());
    for (const TranscriptEntry& entry : entries_)
        out.push_back(entry.line());
    return out;
}

std::vector<std::string> Transcript::texts(uint32_t mask) const {
    std::vector<std::string> out;
    for (const TranscriptEntry& entry : entries_) {
        if ((mask & bit(entry.kind)) != 0)
            out.push_back(entry.description());
    }
    return out;
}

std::string Transcript::toText() const {
    std::string out;
    for (const TranscriptEntry& entry : entries_) {
        out += entry.line();
        out += '\n';
    }
    return out;
}

}  // namespace emu
