#include "emu/Replay.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "emu/OsErrors.h"
#include "hid/DeviceMatch.h"
#include "sys/Files.h"

namespace emu {

namespace {

// A recording is a few megabytes at most (a long capture); a larger file is
// not one.
constexpr uint64_t kMaxRecordingBytes = 256ULL * 1024 * 1024;

// The words of `arguments` joined by blanks, --record and its file left out.
std::string withoutRecord(const std::vector<std::string>& words) {
    std::string joined;
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] == "--record") {
            ++i;
            continue;
        }
        joined += (joined.empty() ? "" : " ") + words[i];
    }
    return joined;
}

// The arguments a recording's first line names, "" when it names none.
std::string headerArguments(const std::string& text) {
    const std::string line = text.substr(0, text.find('\n'));
    const std::string start = "# touchfw ";
    const size_t colon = line.find(": ");
    if (line.compare(0, start.size(), start) != 0 || colon == std::string::npos)
        return "";
    std::istringstream in(line.substr(colon + 2));
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return withoutRecord(words);
}

// "^ offset N: recorded 0xAA, sent 0xBB" under the first byte where two
// reports differ, `column` being where the sent report's bytes start; ""
// when their bytes are the same.
std::string differenceMarker(const std::vector<uint8_t>& recorded, const std::vector<uint8_t>& sent,
                             size_t column) {
    size_t at = 0;
    while (at < recorded.size() && at < sent.size() && recorded[at] == sent[at])
        ++at;
    if (at == recorded.size() && at == sent.size())
        return "";
    auto byteAt = [at](const std::vector<uint8_t>& bytes) {
        if (at >= bytes.size())
            return "none (" + std::to_string(bytes.size()) + " bytes)";
        char text[8];
        std::snprintf(text, sizeof text, "0x%02X", bytes[at]);
        return std::string(text);
    };
    return std::string(column + 2 * at, ' ') + "^ offset " + std::to_string(at) + ": recorded " +
           byteAt(recorded) + ", sent " + byteAt(sent);
}

}  // namespace

ReplayHost::ReplayHost(std::string text, const HidInterfaceInfo& like)
    : text_(std::move(text)), reader_(text_), like_(like) {
    // One pass to check every line and learn the first path; the replay
    // then reads the text again from its start.
    bool pathFound = false;
    WireEvent event;
    while (reader_.next(&event)) {
        if (!pathFound &&
            (event.kind == WireEvent::Kind::open || event.kind == WireEvent::Kind::openFailed)) {
            like_.path = event.text;
            pathFound = true;
        }
        hasEnumerations_ = hasEnumerations_ || event.kind == WireEvent::Kind::enumerate;
    }
    recordedArguments_ = headerArguments(text_);
    invalid_ = reader_.error();
    cutLine_ = reader_.cut() ? reader_.cutLine() : 0;
    reader_.rewind();
    like_.collection = 0;
    like_.queryError = HidQueryError::none;
}

const WireEvent* ReplayHost::next() {
    while (!haveCurrent_) {
        if (!reader_.next(&current_))
            return nullptr;
        haveCurrent_ =
            current_.kind != WireEvent::Kind::wait && current_.kind != WireEvent::Kind::other;
    }
    return &current_;
}

std::string ReplayHost::describe(const WireEvent* event) const {
    if (event == nullptr) {
        return cut() ? "(end of the recording: line " + std::to_string(cutLine_) +
                           " was cut off while it was written)"
                     : "(end of the recording)";
    }
    const std::string line = formatWireEvent(*event);
    const size_t space = line.find(' ');
    return space == std::string::npos ? line : line.substr(space + 1);
}

void ReplayHost::differ(const std::string& what, const WireEvent* recorded,
                        const std::string& actual, const WireEvent* sent) {
    if (failed())
        return;
    std::ostringstream text;
    text << what;
    if (recorded != nullptr)
        text << " (line " << recorded->lineNumber << ")";
    const std::string sentPrefix = "\n  sent:     ";
    text << " differs from the recording:\n  recorded: " << describe(recorded) << sentPrefix
         << actual;
    // Two reports on the same path: where their bytes part. The sent one
    // reads "out <path> <length> <bytes>".
    if (recorded != nullptr && sent != nullptr && recorded->kind == WireEvent::Kind::out &&
        recorded->plainPath == sent->plainPath) {
        size_t bytesStart = 0;
        for (int blank = 0; blank < 3 && bytesStart != std::string::npos; ++blank)
            bytesStart = actual.find(' ', bytesStart + (blank > 0 ? 1 : 0));
        const std::string marker = bytesStart == std::string::npos
                                       ? ""
                                       : differenceMarker(recorded->bytes, sent->bytes,
                                                          sentPrefix.size() - 1 + bytesStart + 1);
        if (!marker.empty())
            text << "\n" << marker;
    }
    mismatch_ = text.str();
}

std::vector<HidInterfaceInfo> ReplayHost::enumerate() {
    if (hasEnumerations_) {
        if (failed())
            return {};
        const WireEvent* event = next();
        if (event == nullptr || event->kind != WireEvent::Kind::enumerate) {
            differ("enumeration after report " + std::to_string(reportsSent_), event, "enumerate");
            return {};
        }
        std::vector<HidInterfaceInfo> list;
        const size_t count = event->waitMs;
        consume();
        while (list.size() < count) {
            // Each interface listed stands on a line of its own, so the list
            // grows with the recording, not with the count it claims.
            const WireEvent* item = next();
            if (item == nullptr || item->kind != WireEvent::Kind::iface) {
                differ("enumeration after report " + std::to_string(reportsSent_), item,
                       "the interfaces of the enumeration");
                return {};
            }
            list.push_back(item->iface);
            consume();
        }
        return list;
    }
    HidInterfaceInfo info = like_;
    info.vendorId = deviceMatch.vid;
    info.productId = deviceMatch.pid;
    info.usage = deviceMatch.usage;
    info.usagePage = deviceMatch.usagePage;
    if (!deviceMatch.path.empty())
        info.path = deviceMatch.path;
    return {info};
}

HidHandle ReplayHost::open(const HidInterfaceInfo& iface, uint32_t* osError) {
    setOsError(osError, kOsGenFailure);
    if (failed())
        return kInvalidHidHandle;
    const WireEvent* event = next();
    if (event == nullptr ||
        (event->kind != WireEvent::Kind::open && event->kind != WireEvent::Kind::openFailed)) {
        differ("open " + std::to_string(reportsSent_ + 1), event, "open " + iface.path);
        return kInvalidHidHandle;
    }
    consume();
    if (event->kind == WireEvent::Kind::openFailed) {
        setOsError(osError, event->osError);
        return kInvalidHidHandle;
    }
    setOsError(osError, 0);
    return nextHandle_++;
}

void ReplayHost::close(HidHandle handle) {
    (void)handle;
    if (failed())
        return;
    const WireEvent* event = next();
    if (event == nullptr || event->kind != WireEvent::Kind::close) {
        differ("close after report " + std::to_string(reportsSent_), event, "close " + like_.path);
        return;
    }
    consume();
}

bool ReplayHost::send(bool plainPath, const uint8_t* report, size_t length, uint32_t* osError) {
    setOsError(osError, kOsGenFailure);
    if (failed() || report == nullptr)
        return false;
    ++reportsSent_;
    WireEvent sent;
    sent.kind = WireEvent::Kind::out;
    sent.plainPath = plainPath;
    sent.bytes.assign(report, report + length);
    const WireEvent* event = next();
    if (event == nullptr || event->kind != WireEvent::Kind::out || event->plainPath != plainPath ||
        event->bytes != sent.bytes) {
        differ("report " + std::to_string(reportsSent_), event, describe(&sent), &sent);
        return false;
    }
    consume();
    if (event->outcome != WireEvent::Outcome::ok)
        return failHostCall(osError, event->osError);
    setOsError(osError, 0);
    return true;
}

const WireEvent* ReplayHost::receive(bool plainPath, uint32_t* osError) {
    setOsError(osError, kOsGenFailure);
    if (failed())
        return nullptr;
    const WireEvent* event = next();
    if (event == nullptr || event->kind != WireEvent::Kind::in || event->plainPath != plainPath) {
        differ("input report after report " + std::to_string(reportsSent_), event,
               plainPath ? "in read" : "in get");
        return nullptr;
    }
    consume();
    setOsError(osError, event->osError);
    return event;
}

bool ReplayHost::setOutputReport(HidHandle, const uint8_t* report, size_t length,
                                 uint32_t* osError) {
    return send(false, report, length, osError);
}

bool ReplayHost::writeReport(HidHandle, const uint8_t* report, size_t length, uint32_t* osError) {
    return send(true, report, length, osError);
}

bool ReplayHost::getInputReport(HidHandle, uint8_t* report, size_t length, uint32_t* osError) {
    const WireEvent* event = receive(false, osError);
    if (event == nullptr || event->outcome != WireEvent::Outcome::ok || report == nullptr)
        return false;
    std::fill(report, report + length, 0);
    std::copy_n(event->bytes.begin(), std::min(length, event->bytes.size()), report);
    return true;
}

HidReadResult ReplayHost::readReport(HidHandle, uint8_t, uint8_t* report, size_t length, int,
                                     size_t* received, uint32_t* osError) {
    if (received)
        *received = 0;
    const WireEvent* event = receive(true, osError);
    if (event == nullptr || report == nullptr)
        return HidReadResult::failed;
    if (event->outcome == WireEvent::Outcome::timeout)
        return HidReadResult::timeout;
    if (event->outcome != WireEvent::Outcome::ok)
        return HidReadResult::failed;
    const size_t n = std::min(length, event->bytes.size());
    std::copy_n(event->bytes.begin(), n, report);
    if (received)
        *received = n;
    return HidReadResult::ok;
}

void ReplayHost::finish() {
    if (failed())
        return;
    const WireEvent* event = next();
    if (event != nullptr)
        differ("the end of the run after report " + std::to_string(reportsSent_), event,
               "(nothing more)");
}

std::string commandArguments(int argc, char** argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i)
        words.emplace_back(argv[i]);
    return withoutRecord(words);
}

bool loadRecording(const std::string& path, std::string* text, std::string* error) {
    std::vector<uint8_t> bytes;
    uint64_t size = 0;
    switch (readRegularFile(path.c_str(), kMaxRecordingBytes, &bytes, &size)) {
        case FileReadError::none:
            break;
        case FileReadError::tooLarge:
            *error = path + " is too large for a recording";
            return false;
        case FileReadError::noMemory:
            *error = "no memory for " + path;
            return false;
        default:
            *error = path + " is not a readable file";
            return false;
    }
    text->assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
}

}  // namespace emu
