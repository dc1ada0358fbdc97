#include "hid/RecordingHost.h"

#include <cstdio>
#include <utility>

#include "log/Log.h"
#include "sys/Files.h"

bool WireRecorder::open(const std::string& path) {
    // Never blocks on a FIFO at the path and never follows a link there: the
    // open file, not the path, is checked to be a regular file.
    if (!file_.open(path.c_str()))
        return false;
    path_ = path;
    startMs_ = currentClock().monotonicMs();
    return true;
}

void WireRecorder::comment(const std::string& text) {
    std::string line = "# " + text;
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20)
            c = '?';  // one comment line, whatever the text holds
    }
    append(std::move(line), 0);
}

void WireRecorder::write(WireEvent event) {
    const uint64_t now = currentClock().monotonicMs();
    event.timeMs = now >= startMs_ ? now - startMs_ : 0;
    append(formatWireEvent(event), event.timeMs);
}

void WireRecorder::append(std::string line, uint64_t timeMs) {
    if (!file_.isOpen())
        return;
    line += '\n';
    if (file_.append(line.data(), line.size())) {
        lastTimeMs_ = timeMs;
        anyEvent_ = anyEvent_ || line[0] != '#';
        return;
    }
    // The run goes on (the device work matters more); the file ends with
    // its last whole line and nothing more is added to it, so a replay
    // reads what was recorded up to there.
    const std::string path = logSafeText(path_);
    const std::string reason = logSafeText(fileErrorText(file_.error()));
    const unsigned long long end = file_.end();
    LOG_ERROR("WireRecorder::write",
              "The recording file could not be written (%s), it ends here at byte %llu.\n",
              reason.c_str(), end);
    const std::string last = anyEvent_ ? formatText("after the event at %llu ms",
                                                    static_cast<unsigned long long>(lastTimeMs_))
                                       : std::string("before the first event");
    std::fprintf(stderr,
                 "touchfw: the recording %s is incomplete (%s): it ends at byte %llu, %s; the "
                 "run goes on without recording.\n",
                 path.c_str(), reason.c_str(), end, last.c_str());
    std::fflush(stderr);
}

std::vector<HidInterfaceInfo> RecordingHost::enumerate() {
    std::vector<HidInterfaceInfo> list = inner_.enumerate();
    WireEvent event;
    event.kind = WireEvent::Kind::enumerate;
    event.waitMs = static_cast<uint32_t>(list.size());
    recorder_.write(event);
    for (const HidInterfaceInfo& info : list) {
        WireEvent item;
        item.kind = WireEvent::Kind::iface;
        item.iface = info;
        recorder_.write(std::move(item));
    }
    return list;
}

HidHandle RecordingHost::open(const HidInterfaceInfo& iface, uint32_t* osError) {
    uint32_t error = 0;
    const HidHandle handle = inner_.open(iface, &error);
    setOsError(osError, error);
    WireEvent event;
    event.text = iface.path;
    if (handle == kInvalidHidHandle) {
        event.kind = WireEvent::Kind::openFailed;
        event.osError = error;
    } else {
        event.kind = WireEvent::Kind::open;
        paths_[handle] = iface.path;
    }
    recorder_.write(std::move(event));
    return handle;
}

void RecordingHost::close(HidHandle handle) {
    inner_.close(handle);
    auto it = paths_.find(handle);
    if (it == paths_.end())
        return;
    WireEvent event;
    event.kind = WireEvent::Kind::close;
    event.text = it->second;
    paths_.erase(it);
    recorder_.write(std::move(event));
}

void RecordingHost::recordReport(WireEvent::Kind kind, bool plainPath, const uint8_t* report,
                                 size_t length, WireEvent::Outcome outcome, uint32_t osError) {
    WireEvent event;
    event.kind = kind;
    event.plainPath = plainPath;
    if (outcome != WireEvent::Outcome::ok) {
        event.outcome = outcome;
        event.osError = osError;
    }
    if (report != nullptr)
        event.bytes.assign(report, report + length);
    recorder_.write(std::move(event));
}

bool RecordingHost::setOutputReport(HidHandle handle, const uint8_t* report, size_t length,
                                    uint32_t* osError) {
    uint32_t error = 0;
    const bool ok = inner_.setOutputReport(handle, report, length, &error);
    setOsError(osError, error);
    recordReport(WireEvent::Kind::out, false, report, length,
                 ok ? WireEvent::Outcome::ok : WireEvent::Outcome::failed, error);
    return ok;
}

bool RecordingHost::writeReport(HidHandle handle, const uint8_t* report, size_t length,
                                uint32_t* osError) {
    uint32_t error = 0;
    const bool ok = inner_.writeReport(handle, report, length, &error);
    setOsError(osError, error);
    recordReport(WireEvent::Kind::out, true, report, length,
                 ok ? WireEvent::Outcome::ok : WireEvent::Outcome::failed, error);
    return ok;
}

bool RecordingHost::getInputReport(HidHandle handle, uint8_t* report, size_t length,
                                   uint32_t* osError) {
    uint32_t error = 0;
    const bool ok = inner_.getInputReport(handle, report, length, &error);
    setOsError(osError, error);
    const bool taken = ok && report != nullptr;
    recordReport(WireEvent::Kind::in, false, taken ? report : nullptr, length,
                 taken ? WireEvent::Outcome::ok : WireEvent::Outcome::failed, error);
    return ok;
}

HidReadResult RecordingHost::readReport(HidHandle handle, uint8_t reportId, uint8_t* report,
                                        size_t length, int timeoutMs, size_t* received,
                                        uint32_t* osError) {
    uint32_t error = 0;
    size_t got = 0;
    const HidReadResult result =
        inner_.readReport(handle, reportId, report, length, timeoutMs, &got, &error);
    setOsError(osError, error);
    if (received)
        *received = got;
    const bool taken = result == HidReadResult::ok && report != nullptr;
    const WireEvent::Outcome outcome = taken ? WireEvent::Outcome::ok
                                       : result == HidReadResult::timeout
                                           ? WireEvent::Outcome::timeout
                                           : WireEvent::Outcome::failed;
    recordReport(WireEvent::Kind::in, true, taken ? report : nullptr, got < length ? got : length,
                 outcome, error);
    return result;
}

void RecordingClock::sleepMs(uint32_t ms) {
    WireEvent event;
    event.kind = WireEvent::Kind::wait;
    event.waitMs = ms;
    recorder_.write(std::move(event));
    inner_.sleepMs(ms);
}

bool WireRecording::start(const std::string& path, const std::string& header) {
    if (!recorder_.open(path))
        return false;
    recorder_.comment(header);
    previousHost_ = &hidHost();
    previousClock_ = &currentClock();
    host_ = std::make_unique<RecordingHost>(*previousHost_, recorder_);
    clock_ = std::make_unique<RecordingClock>(*previousClock_, recorder_);
    setHidHost(host_.get());
    setClock(clock_.get());
    return true;
}

WireRecording::~WireRecording() {
    if (host_ && &hidHost() == host_.get())
        setHidHost(previousHost_);
    if (clock_ && &currentClock() == clock_.get())
        setClock(previousClock_);
}
