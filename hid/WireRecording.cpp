#include "hid/WireRecording.h"

#include <cstdio>
#include <sstream>

#include "sys/Bytes.h"

namespace {

// No report of any framing is longer; a longer length in a recording is a
// damaged line rather than a report.
constexpr size_t kMaxRecordedReport = 4096;

const char* pathWord(bool plainPath, bool out) {
    if (out)
        return plainPath ? "write" : "set";
    return plainPath ? "read" : "get";
}

bool parseNumber(const std::string& word, uint64_t* value) {
    return parseDigits(word, 10, 19, value);
}

bool parseReport(const std::string& lengthWord, const std::string& hex,
                 std::vector<uint8_t>* bytes) {
    uint64_t length = 0;
    if (!parseNumber(lengthWord, &length) || length > kMaxRecordedReport)
        return false;
    bytes->assign(static_cast<size_t>(length), 0);
    if (hex == "-")
        return true;
    if (hex.empty() || hex.size() % 2 != 0 || hex.size() / 2 > length)
        return false;
    return decodeHex(hex.data(), hex.size() / 2, bytes->data());
}

// The next word as a decimal number of at most `max`.
bool readNumber(std::istringstream& in, uint64_t max, uint64_t* value) {
    std::string word;
    return (in >> word) && parseNumber(word, value) && *value <= max;
}

// The rest of the line, without leading blanks and trailing blanks and CR.
std::string restOf(std::istringstream& in) {
    std::string text;
    std::getline(in >> std::ws, text);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// "0x" and four hex digits.
bool readKey(std::istringstream& in, uint32_t* key) {
    std::string hex;
    uint64_t value = 0;
    if (!(in >> hex) || hex.size() != 6 || hex[0] != '0' || hex[1] != 'x' ||
        !parseDigits(hex.substr(2), 16, 4, &value))
        return false;
    *key = static_cast<uint32_t>(value);
    return true;
}

// "iface VID PID PAGE USAGE COLLECTION IN OUT QUERYERROR OSERROR PATH" after the word.
bool parseIface(std::istringstream& in, WireEvent* event) {
    uint32_t keys[4] = {0};
    for (uint32_t& key : keys) {
        if (!readKey(in, &key))
            return false;
    }
    uint64_t numbers[5] = {0};
    for (uint64_t& n : numbers) {
        if (!readNumber(in, UINT32_MAX, &n))
            return false;
    }
    HidInterfaceInfo& info = event->iface;
    info.vendorId = static_cast<uint16_t>(keys[0]);
    info.productId = static_cast<uint16_t>(keys[1]);
    info.usagePage = static_cast<uint16_t>(keys[2]);
    info.usage = static_cast<uint16_t>(keys[3]);
    if (numbers[1] > UINT16_MAX || numbers[2] > UINT16_MAX ||
        numbers[3] > static_cast<uint64_t>(HidQueryError::capsFailed))
        return false;
    info.collection = static_cast<int>(numbers[0]);
    info.inputReportLength = static_cast<uint16_t>(numbers[1]);
    info.outputReportLength = static_cast<uint16_t>(numbers[2]);
    info.queryError = static_cast<HidQueryError>(numbers[3]);
    info.osError = static_cast<uint32_t>(numbers[4]);
    info.path = restOf(in);
    event->kind = WireEvent::Kind::iface;
    event->text = info.path;
    return !info.path.empty();
}

// "out PATH [failed ERROR] LENGTH HEX" or "in PATH (LENGTH HEX | failed ERROR |
// timeout ERROR)" after the word.
bool parseTransfer(std::istringstream& in, bool out, WireEvent* event) {
    std::string path;
    if (!(in >> path) || (path != pathWord(false, out) && path != pathWord(true, out)))
        return false;
    event->plainPath = path == pathWord(true, out);
    event->kind = out ? WireEvent::Kind::out : WireEvent::Kind::in;
    std::string first;
    if (!(in >> first))
        return false;
    if (first == "failed" || (!out && first == "timeout")) {
        uint64_t number = 0;
        if (!readNumber(in, UINT32_MAX, &number))
            return false;
        event->outcome =
            first == "failed" ? WireEvent::Outcome::failed : WireEvent::Outcome::timeout;
        event->osError = static_cast<uint32_t>(number);
        if (!out)
            return restOf(in).empty();
        if (!(in >> first))
            return false;
    }
    std::string hex;
    if (!(in >> hex) || !parseReport(first, hex, &event->bytes))
        return false;
    return restOf(in).empty();
}

// Parses one line without its comment; false when malformed.
bool parseLine(const std::string& line, WireEvent* event) {
    std::istringstream in(line);
    std::string timeWord;
    std::string word;
    uint64_t number = 0;
    if (!(in >> timeWord >> word) || !parseNumber(timeWord, &event->timeMs))
        return false;
    if (word == "open" || word == "close" || word == "open-failed") {
        if (word == "open-failed" && !readNumber(in, UINT64_MAX, &number))
            return false;
        event->kind = word == "open"    ? WireEvent::Kind::open
                      : word == "close" ? WireEvent::Kind::close
                                        : WireEvent::Kind::openFailed;
        event->osError = static_cast<uint32_t>(number);
        event->text = restOf(in);
        return !event->text.empty();
    }
    if (word == "enumerate" || word == "wait") {
        if (!readNumber(in, UINT32_MAX, &number))
            return false;
        event->kind = word == "wait" ? WireEvent::Kind::wait : WireEvent::Kind::enumerate;
        event->waitMs = static_cast<uint32_t>(number);
        return restOf(in).empty();
    }
    if (word == "iface")
        return parseIface(in, event);
    if (word == "out" || word == "in")
        return parseTransfer(in, word == "out", event);
    event->kind = WireEvent::Kind::other;
    event->text = word;
    const std::string text = restOf(in);
    if (!text.empty())
        event->text += " " + text;
    return true;
}

}  // namespace

std::string wireReportText(const uint8_t* data, size_t length) {
    size_t used = length;
    while (used > 0 && data[used - 1] == 0)
        --used;
    std::string out = std::to_string(length) + " ";
    if (used == 0)
        return out + "-";
    return out + hexText(data, used);
}

std::string formatWireEvent(const WireEvent& event) {
    std::string line = std::to_string(event.timeMs) + " ";
    switch (event.kind) {
        case WireEvent::Kind::open:
            return line + "open " + event.text;
        case WireEvent::Kind::openFailed:
            return line + "open-failed " + std::to_string(event.osError) + " " + event.text;
        case WireEvent::Kind::close:
            return line + "close " + event.text;
        case WireEvent::Kind::wait:
            return line + "wait " + std::to_string(event.waitMs);
        case WireEvent::Kind::enumerate:
            return line + "enumerate " + std::to_string(event.waitMs);
        case WireEvent::Kind::iface: {
            const HidInterfaceInfo& i = event.iface;
            char keys[64];
            std::snprintf(keys, sizeof keys, "iface 0x%04X 0x%04X 0x%04X 0x%04X %d %u %u %d %u ",
                          i.vendorId, i.productId, i.usagePage, i.usage,
                          i.collection < 0 ? 0 : i.collection, i.inputReportLength,
                          i.outputReportLength, static_cast<int>(i.queryError), i.osError);
            return line + keys + i.path;
        }
        case WireEvent::Kind::out:
        case WireEvent::Kind::in: {
            const bool out = event.kind == WireEvent::Kind::out;
            line += out ? "out " : "in ";
            line += pathWord(event.plainPath, out);
            if (event.outcome != WireEvent::Outcome::ok) {
                line += event.outcome == WireEvent::Outcome::failed ? " failed " : " timeout ";
                line += std::to_string(event.osError);
                if (!out)
                    return line;
            }
            return line + " " + wireReportText(event.bytes.data(), event.bytes.size());
        }
        case WireEvent::Kind::other:
            break;
    }
    return line + event.text;
}

bool WireReader::next(WireEvent* event) {
    while (pos_ < text_.size() && error_.empty()) {
        const size_t end = text_.find('\n', pos_);
        std::string line(text_.substr(pos_, end == std::string_view::npos ? end : end - pos_));
        const bool blank = line.find_first_not_of(" \t\r") == std::string::npos;
        if (end == std::string_view::npos && !blank) {
            // Written up to here and no further: the line is torn.
            cut_ = true;
            pos_ = text_.size();
            return false;
        }
        pos_ = end == std::string_view::npos ? text_.size() : end + 1;
        ++line_;
        // A comment starts a line or follows a blank (paths may hold '#').
        for (size_t hash = line.find('#'); hash != std::string::npos;
             hash = line.find('#', hash + 1)) {
            if (hash == 0 || line[hash - 1] == ' ' || line[hash - 1] == '\t') {
                line.erase(hash);
                break;
            }
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        *event = WireEvent();
        event->lineNumber = line_;
        if (!parseLine(line, event)) {
            error_ = "line " + std::to_string(line_) + " is not a recording line";
            return false;
        }
        return true;
    }
    return false;
}

void WireReader::rewind() {
    pos_ = 0;
    line_ = 0;
    cut_ = false;
    error_.clear();
}

bool parseWireRecording(const std::string& text, std::vector<WireEvent>* events,
                        std::string* error) {
    events->clear();
    WireReader reader(text);
    WireEvent event;
    while (reader.next(&event))
        events->push_back(std::move(event));
    if (!reader.error().empty()) {
        if (error)
            *error = reader.error();
        return false;
    }
    return true;
}
