#include "emu/Replay.h"

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "hid/DeviceMatch.h"

namespace emu {

namespace {

// The error code a call reports once the replay has stopped.
constexpr uint32_t kReplayStopped = 31;  // a general device failure

// A recording is a few megabytes at most (a long capture); a larger file is
// not one.
constexpr std::streamoff kMaxRecordingBytes = 256LL * 1024 * 1024;

std::string describeEvent(const WireEvent* event) {
    if (event == nullptr)
        return "(end of the recording)";
    WireEvent copy = *event;
    const std::string line = formatWireEvent(copy);
    const size_t space = line.find(' ');
    return space == std::string::npos ? line : line.substr(space + 1);
}

}  // namespace

ReplayHost::ReplayHost(std::vector<WireEvent> events, const HidInterfaceInfo& like)
    : events_(std::move(events)), like_(like) {
    bool pathFound = false;
    for (const WireEvent& event : events_) {
        if (!pathFound &&
            (event.kind == WireEvent::Kind::open || event.kind == WireEvent::Kind::openFailed)) {
            like_.path = event.text;
            pathFound = true;
        }
        hasEnumerations_ = hasEnumerations_ || event.kind == WireEvent::Kind::enumerate;
    }
    like_.collection = 0;
    like_.queryError = HidQueryError::none;
}

const WireEvent* ReplayHost::next() {
    while (cursor_ < events_.size() && (events_[cursor_].kind == WireEvent::Kind::wait ||
                                        events_[cursor_].kind == WireEvent::Kind::other)) {
        ++cursor_;
    }
    return cursor_ < events_.size() ? &events_[cursor_] : nullptr;
}

void ReplayHost::differ(const std::string& what, const WireEvent* recorded,
                        const std::string& actual) {
    if (failed())
        return;
    std::ostringstream text;
    text << what;
    if (recorded != nullptr)
        text << " (line " << recorded->lineNumber << ")";
    text << " differs from the recording:\n  recorded: " << describeEvent(recorded)
         << "\n  sent:     " << actual;
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
        ++cursor_;
        while (list.size() < count) {
            if (cursor_ >= events_.size() || events_[cursor_].kind != WireEvent::Kind::iface) {
                differ("enumeration after report " + std::to_string(reportsSent_),
                       cursor_ < events_.size() ? &events_[cursor_] : nullptr,
                       "the interfaces of the enumeration");
                return {};
            }
            list.push_back(events_[cursor_++].iface);
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
    if (osError)
        *osError = kReplayStopped;
    if (failed())
        return kInvalidHidHandle;
    const WireEvent* event = next();
    if (event == nullptr ||
        (event->kind != WireEvent::Kind::open && event->kind != WireEvent::Kind::openFailed)) {
        differ("open " + std::to_string(reportsSent_ + 1), event, "open " + iface.path);
        return kInvalidHidHandle;
    }
    ++cursor_;
    if (event->kind == WireEvent::Kind::openFailed) {
        if (osError)
            *osError = event->osError;
        return kInvalidHidHandle;
    }
    if (osError)
        *osError = 0;
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
    ++cursor_;
}

bool ReplayHost::send(bool plainPath, const uint8_t* report, size_t length, uint32_t* osError) {
    if (osError)
        *osError = kReplayStopped;
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
        differ("report " + std::to_string(reportsSent_), event, describeEvent(&sent));
        return false;
    }
    ++cursor_;
    if (event->outcome != WireEvent::Outcome::ok) {
        if (osError)
            *osError = event->osError;
        return false;
    }
    if (osError)
        *osError = 0;
    return true;
}

const WireEvent* ReplayHost::receive(bool plainPath, uint32_t* osError) {
    if (osError)
        *osError = kReplayStopped;
    if (failed())
        return nullptr;
    const WireEvent* event = next();
    if (event == nullptr || event->kind != WireEvent::Kind::in || event->plainPath != plainPath) {
        differ("input report after report " + std::to_string(reportsSent_), event,
               plainPath ? "in read" : "in get");
        return nullptr;
    }
    ++cursor_;
    if (osError)
        *osError = event->osError;
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

bool loadRecording(const std::string& path, std::vector<WireEvent>* events, std::string* error) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = path + " is not a readable file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path;
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (text.tellp() > kMaxRecordingBytes) {
        *error = path + " is too large for a recording";
        return false;
    }
    if (!parseWireRecording(text.str(), events, error)) {
        *error = path + ": " + *error;
        return false;
    }
    return true;
}

}  // namespace emu
