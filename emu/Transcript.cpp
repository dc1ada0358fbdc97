#include "emu/Transcript.h"

#include <cstdio>

namespace emu {

namespace {

const char* kindTag(TranscriptEntry::Kind kind) {
    switch (kind) {
        case TranscriptEntry::Kind::output:
            return "OUT  ";
        case TranscriptEntry::Kind::input:
            return "IN   ";
        case TranscriptEntry::Kind::wait:
            return "WAIT ";
        case TranscriptEntry::Kind::open:
            return "HOST ";
        case TranscriptEntry::Kind::fault:
            return "FAULT";
        case TranscriptEntry::Kind::note:
            return "NOTE ";
        case TranscriptEntry::Kind::error:
            return "ERROR";
    }
    return "?    ";
}

}  // namespace

std::string hexBytes(const uint8_t* data, size_t n, size_t limit) {
    std::string out;
    const size_t shown = n < limit ? n : limit;
    char item[4];
    for (size_t i = 0; i < shown; ++i) {
        std::snprintf(item, sizeof item, "%02X", data[i]);
        if (i > 0)
            out += ' ';
        out += item;
    }
    if (shown < n) {
        out += " ...(+" + std::to_string(n - shown) + ")";
    }
    return out;
}

std::string TranscriptEntry::line() const {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "[%8llu ms] ", static_cast<unsigned long long>(timeMs));
    return std::string(stamp) + kindTag(kind) + " " + text;
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
            out.push_back(entry.text);
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
