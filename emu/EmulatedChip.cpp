#include "emu/EmulatedChip.h"

#include <algorithm>

#include "chip/CfgBlock.h"
#include "sys/Bytes.h"

namespace emu {

const char* familyName(int32_t type) {
    const ChipFamily* family = chipFamily(type);
    return family ? family->name : "";
}

int32_t familyFromName(const std::string& name) {
    const ChipFamily* family = chipFamilyNamed(name);
    return family ? family->type : 0;
}

std::string defaultProductIdText(int32_t type) {
    const ChipFamily* family = chipFamily(type);
    return family ? family->pidText : "";
}

ReportPath reportPathOf(int32_t type) {
    const Framing* framing = framingRow(familyOf(type).framing);
    return framing != nullptr && framing->longReports() ? ReportPath::long268
                                                        : ReportPath::standard;
}

std::vector<uint8_t> makeConfiguration(int32_t type, uint8_t version, size_t size) {
    std::vector<uint8_t> config(std::max(size, std::max<size_t>(cfgCheckBytes(type), 5)));
    for (size_t i = 0; i < config.size(); ++i) {
        config[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    presetCfgBlock(type, config.data(), config.size());
    sealCfgBlock(type, version, config.data(), config.size());
    return config;
}

uint8_t configurationVersionOf(int32_t type, const std::vector<uint8_t>& config) {
    const size_t index = cfgVersionAt(type);
    return index < config.size() ? config[index] : 0;
}

int16_t defaultFramePattern(FrameKind kind, uint32_t frame, uint32_t index) {
    switch (kind) {
        case FrameKind::raw:
            return static_cast<int16_t>(2000 + index % 100 + frame % 1000);
        case FrameKind::base:
            return static_cast<int16_t>(2000 + index % 100);
        case FrameKind::diff:
            return static_cast<int16_t>(static_cast<int>(index % 21) - 10 +
                                        static_cast<int>(frame % 3));
    }
    return 0;
}

// ---------------------------------------------------------------------------

EmulatedChip::EmulatedChip(int32_t type, VirtualClock* clock)
    : type_(type),
      profile_(chipProfileOf(type)),
      path_(reportPathOf(type)),
      regs_(type, profile_),
      decoder_(profile_.protoType) {
    setClock(clock);
    // The largest sensor whose three frame blocks do not run into each other.
    std::vector<uint32_t> starts = {profile_.rawDataAddr, profile_.diffDataAddr,
                                    profile_.baseDataAddr};
    std::sort(starts.begin(), starts.end());
    const uint32_t rows = static_cast<uint32_t>(std::max(profile_.maxRowNum, 0));
    const uint32_t cols = static_cast<uint32_t>(std::max(profile_.maxColNum, 0));
    uint64_t samples = static_cast<uint64_t>(rows) * cols;
    for (size_t i = 1; i < starts.size(); ++i) {
        samples = std::min<uint64_t>(samples, (starts[i] - starts[i - 1]) / 2);
    }
    sensorRows_ = rows;
    sensorCols_ = rows == 0 ? 0 : std::min<uint32_t>(cols, static_cast<uint32_t>(samples / rows));
    freshState();
}

void EmulatedChip::setSensorSize(uint32_t rows, uint32_t cols) {
    // A frame is published sample by sample; keep it within reason.
    constexpr uint64_t kMaxSamples = 1u << 20;
    sensorRows_ = rows;
    sensorCols_ = static_cast<uint64_t>(rows) * cols > kMaxSamples
                      ? static_cast<uint32_t>(kMaxSamples / std::max<uint32_t>(rows, 1))
                      : cols;
}

void EmulatedChip::setClock(VirtualClock* clock) {
    clock_ = clock;
    waitCursor_ = clock_ ? clock_->waits().size() : 0;
}

void EmulatedChip::freshState() {
    regs_.reset(makeConfiguration(type_, 1));
    setProductId(defaultProductIdText(type_));
    setVersionId({0x01, 0x00, 0x00, 0x00});
    setSensorId(3);
    flash_.clear();
    flashedSinceRestart_.clear();
    frameNumber_ = 0;
    frameScheduled_ = false;
    mode_ = FirmwareMode::normal;
    reporting_ = true;
    dataMode_ = false;
}

// ---- time ------------------------------------------------------------------

void EmulatedChip::syncWaits() {
    if (!clock_)
        return;
    const std::vector<uint32_t>& waits = clock_->waits();
    if (waits.size() < waitCursor_)
        waitCursor_ = 0;  // the test cleared them
    if (waits.size() == waitCursor_)
        return;
    uint64_t total = 0;
    for (size_t i = waitCursor_; i < waits.size(); ++i)
        total += waits[i];
    uint64_t t = nowMs() >= total ? nowMs() - total : 0;
    for (size_t i = waitCursor_; i < waits.size() && recording_; ++i) {
        transcript_.add(TranscriptEntry::Kind::wait, t, {}, {}, waits[i]);
        t += waits[i];
    }
    waitCursor_ = waits.size();
}

void EmulatedChip::after(uint32_t ms, std::function<void()> fn) {
    effects_.add(nowMs() + ms, std::move(fn));
}

void EmulatedChip::settle() {
    effects_.runDue(nowMs());
}

void EmulatedChip::flushEffects() {
    effects_.flush();
}

// ---- transcript and errors -------------------------------------------------

void EmulatedChip::record(TranscriptEntry::Kind kind, const std::string& text,
                          const std::vector<uint8_t>& bytes) {
    syncWaits();
    if (recording_)
        transcript_.add(kind, nowMs(), text, bytes);
}

void EmulatedChip::recordHost(const std::string& text, const std::string& path) {
    syncWaits();
    if (!recording_)
        return;
    TranscriptEntry entry;
    entry.kind = TranscriptEntry::Kind::open;
    entry.timeMs = nowMs();
    entry.text = text;
    entry.path = path;
    transcript_.add(std::move(entry));
}

void EmulatedChip::recordReport(TranscriptEntry::Kind kind, std::vector<uint8_t> bytes,
                                bool plainPath, uint32_t addr, std::string text) {
    syncWaits();
    if (!recording_)
        return;
    TranscriptEntry entry;
    entry.kind = kind;
    entry.timeMs = nowMs();
    entry.value = addr;
    entry.bytes = std::move(bytes);
    entry.text = std::move(text);
    entry.plainPath = plainPath;
    entry.describer = this;
    transcript_.add(std::move(entry));
}

void EmulatedChip::protocolError(const std::string& text) {
    protocolErrors_.push_back(text);
    record(TranscriptEntry::Kind::error, text);
}

bool EmulatedChip::reject(const std::string& text) {
    protocolError(text);
    return false;
}

const Transcript& EmulatedChip::transcript() {
    syncWaits();
    return transcript_;
}

int EmulatedChip::commandsSeen(ChipCommand command) const {
    auto it = commandCounts_.find(command);
    return it == commandCounts_.end() ? 0 : it->second;
}

// ---- identity, configuration, registers --------------------------------------

void EmulatedChip::setConfiguration(const std::vector<uint8_t>& config) {
    regs_.config = config;
}

void EmulatedChip::writeRegisters(uint32_t addr, const std::vector<uint8_t>& bytes) {
    regs_.memory.write(addr, bytes);
}

std::vector<uint8_t> EmulatedChip::peekRegisters(uint32_t addr, size_t n) const {
    return regs_.view(addr, n);
}

// ---- wire: output reports --------------------------------------------------

std::string EmulatedChip::describeReport(const uint8_t* r, size_t length) const {
    if (length < 2)
        return formatText("report of %zu bytes", length);
    if (r[1] == kRegisterFrame && length >= 12)
        return decoder_.describe(r, length);
    const RawCommand raw = decodeRawCommand(profile_, r[1]);
    if (raw.command != ChipCommand::none && length >= 5) {
        const size_t shown = std::min<size_t>(5u + r[4], length);
        return formatText("raw %s: ", commandName(raw.command)) + hexBytes(r, shown);
    }
    return "report: " + hexBytes(r, std::min<size_t>(length, 16));
}

std::string EmulatedChip::describeAnswer(const uint8_t* r, size_t length, uint32_t addr) const {
    const Framing& f = answerFraming();
    const size_t header = static_cast<size_t>(f.answerDataAt);
    if (length < header)
        return describeReport(r, length);
    const uint32_t lengthField = readBe16(r + f.answerLengthAt);
    const size_t shown = std::min<size_t>(lengthField, length - header);
    return formatText("answer 0x%08X len %u: ", addr, lengthField) + hexBytes(r + header, shown);
}

bool EmulatedChip::receiveReport(const uint8_t* report, size_t length, ReportPath via) {
    syncWaits();
    settle();
    ++outputReports_;
    // A report the chip cannot take apart is entered with what is wrong with it.
    const char* const flaw = via != path_ ? "report on the wrong path"
                             : length < 2 ? "short report"
                                          : "";
    recordReport(TranscriptEntry::Kind::output, std::vector<uint8_t>(report, report + length),
                 via == ReportPath::long268, 0, flaw);
    if (via != path_) {
        return reject(path_ == ReportPath::standard
                          ? "268-byte report path used for a chip on the standard 65-byte path"
                          : "standard 65-byte report path used for a chip on the 268-byte path");
    }
    if (length != reportSize())
        return reject(formatText("report of %zu bytes (expected %zu)", length, reportSize()));
    if (report[0] != kReportId) {
        return reject(formatText("report id 0x%02X (expected 0x%02X)", report[0], kReportId));
    }
    if (report[1] == kRegisterFrame)
        return handleRegisterFrame(report, length);
    return handleRawCommand(report, length);
}

std::optional<FaultDo> EmulatedChip::outputFault(const uint8_t* report, size_t length) {
    std::string which;
    const std::optional<FaultDo> fault =
        faults_.check(FaultOn::outputReport, ChipCommand::none, 0, &which);
    if (fault == FaultDo::disappear) {
        record(TranscriptEntry::Kind::fault, which);
    } else if (fault) {
        record(TranscriptEntry::Kind::fault,
               (fault == FaultDo::dropReport ? "lost before the chip: " : "transfer failed: ") +
                   describeReport(report, length),
               std::vector<uint8_t>(report, report + length));
    }
    return fault;
}

void EmulatedChip::noteAbandoned(const std::string& note) {
    if (!note.empty())
        record(TranscriptEntry::Kind::note, note);
}

bool EmulatedChip::handleRegisterFrame(const uint8_t* r, size_t length) {
    RegisterFrame frame;
    std::string error;
    if (!decoder_.parse(r, length, &frame, &error))
        return reject(error);
    if (frame.isRead) {
        noteAbandoned(decoder_.abandon());
        handleReadRequest(frame.addr, frame.len);
        return true;
    }
    std::string which;
    const std::optional<FaultDo> fault =
        faults_.check(FaultOn::writeRequest, ChipCommand::none, frame.addr, &which);
    if (fault == FaultDo::dropReport) {
        record(TranscriptEntry::Kind::fault, "write report lost: " + which);
        return true;
    }
    if (fault == FaultDo::failTransfer) {
        record(TranscriptEntry::Kind::fault, "write report refused: " + which);
        return false;
    }
    const WriteStep step = decoder_.addWrite(frame);
    noteAbandoned(step.abandoned);
    if (step.kind == WriteStep::Kind::refused)
        return reject(step.text);
    if (step.kind == WriteStep::Kind::discarded) {
        record(TranscriptEntry::Kind::note, step.text);
        return false;
    }
    regs_.store(frame.addr, frame.payload, frame.len);
    if (step.kind == WriteStep::Kind::complete)
        writeComplete(step.start, step.data);
    return true;
}

bool EmulatedChip::handleRawCommand(const uint8_t* r, size_t length) {
    noteAbandoned(decoder_.abandon());
    const RawCommand raw = decodeRawCommand(profile_, r[1]);
    if (raw.command == ChipCommand::none)
        return reject(formatText("unknown operation 0x%02X", r[1]));
    // 0x0E, sub-command, 0x00, 0x00, count of the bytes that follow, the bytes.
    const char* name = commandName(raw.command);
    if (r[2] != 0x00 || r[3] != 0x00) {
        return reject(
            formatText("raw %s with bytes 2 and 3 = %02X %02X (expected 00 00)", name, r[2], r[3]));
    }
    if (r[4] != raw.count)
        return reject(formatText("raw %s with count %u (expected %zu)", name, r[4], raw.count));
    if (raw.bytes->size() > 5 && r[5] != raw.bytes->data[5]) {
        return reject(formatText("raw %s with data byte 0x%02X (expected 0x%02X)", name, r[5],
                                 raw.bytes->data[5]));
    }
    for (size_t i = 5 + raw.count; i < length; ++i) {
        if (r[i] != 0)
            return reject(formatText("byte 0x%02X at offset %zu after the raw %s", r[i], i, name));
    }
    return runRawCommand(raw.command, r);
}

void EmulatedChip::writeComplete(uint32_t start, const std::vector<uint8_t>& data) {
    if (dataMode_ && inWindow(profile_.dataReadyAddr, start, data.size()) &&
        (regs_.memory.get(profile_.dataReadyAddr) & profile_.dataReadyMask) == 0) {
        scheduleFrame();  // the frame was taken (or the flag cleared): the next one follows
    }
    if (start != profile_.cmdAddr)
        return;
    const ChipCommand command = decodeRegisterCommand(profile_, data);
    if (command == ChipCommand::none) {
        protocolError(formatText("unknown command at 0x%X: %s", start, hexBytes(data).c_str()));
        return;
    }
    runCommand(command);
}

// ---- wire: read requests and answers ----------------------------------------

const Framing& EmulatedChip::answerFraming() const {
    const Framing* f = framingRow(profile_.protoType);
    return f != nullptr ? *f : *framingRow(kTlcFramingV2);
}

EmulatedChip::Answer EmulatedChip::makeAnswer(uint32_t addr, uint32_t lengthField,
                                              const std::vector<uint8_t>& data) const {
    Answer answer;
    answer.addr = addr;
    answer.bytes.assign(reportSize(), 0);
    uint8_t* a = answer.bytes.data();
    a[0] = kReportId;
    a[1] = kRegisterFrame;
    const Framing& f = answerFraming();
    if (f.wholeReports) {
        a[5] = 0x01;  // a whole-report answer repeats the operation and address
        writeBe32(a + 6, addr);
    } else {
        a[2] = 0x01;
    }
    writeBe16(a + f.answerLengthAt, lengthField);
    std::copy(data.begin(), data.end(), a + f.answerDataAt);
    return answer;
}

void EmulatedChip::handleReadRequest(uint32_t addr, uint32_t len) {
    ++readRequests_;
    std::string which;
    const std::optional<FaultDo> fault =
        faults_.check(FaultOn::readRequest, ChipCommand::none, addr, &which);

    std::vector<uint8_t> data = regs_.view(addr, len);
    if (regs_.applyOverride(addr, &data))
        record(TranscriptEntry::Kind::note, formatText("override answers the read at 0x%X", addr));

    if (fault)
        record(TranscriptEntry::Kind::fault, which);
    if (fault == FaultDo::noAnswer ||
        (fault == FaultDo::lateAnswer && path_ == ReportPath::standard)) {
        if (path_ == ReportPath::standard) {
            pendingAnswer_.reset();
            answerWithheld_ = true;
        }
        return;
    }
    if (fault == FaultDo::corruptData) {
        for (uint8_t& b : data)
            b = static_cast<uint8_t>(~b);
    }
    const uint32_t lengthField = fault == FaultDo::wrongLength ? len + 1 : len;
    Answer answer = makeAnswer(addr, lengthField, data);
    if (lengthField != len)  // the length field alone would show a byte too many
        answer.text = formatText("answer 0x%08X len %u: ", addr, lengthField) + hexBytes(data);
    answer.failTransfer = fault == FaultDo::failTransfer;
    answer.request = readRequests_;

    if (path_ == ReportPath::standard) {
        if (pendingAnswer_) {
            record(TranscriptEntry::Kind::note, "the previous answer was never collected");
        }
        pendingAnswer_ = std::move(answer);
        answerWithheld_ = false;
    } else if (fault == FaultDo::lateAnswer) {
        lateAnswer_ = std::move(answer);
    } else {
        queue_.push_back(std::move(answer));
    }
}

size_t EmulatedChip::dropQueuedReports() {
    const size_t dropped = queue_.size();
    for (const Answer& answer : queue_)
        record(TranscriptEntry::Kind::note, "stale report dropped by the host: " + answer.text);
    queue_.clear();
    return dropped;
}

bool EmulatedChip::handOver(Answer answer, uint8_t* report, bool plain, uint32_t* osError) {
    if (answer.failTransfer) {
        record(TranscriptEntry::Kind::fault, "answer transfer failed");
        return failHostCall(osError, kOsGenFailure);
    }
    std::copy(answer.bytes.begin(), answer.bytes.end(), report);
    lastInput_ = answer.bytes;
    recordReport(TranscriptEntry::Kind::input, std::move(answer.bytes), plain, answer.addr,
                 std::move(answer.text));
    return true;
}

bool EmulatedChip::handOver(Answer answer, std::vector<uint8_t>* report) {
    if (!answer.failTransfer)
        report->resize(answer.bytes.size());
    return handOver(std::move(answer), report->data(), true, nullptr);
}

bool EmulatedChip::takeAnswer(std::vector<uint8_t>* report) {
    syncWaits();
    settle();
    while (!queue_.empty()) {
        Answer answer = std::move(queue_.front());
        queue_.pop_front();
        if (handOver(std::move(answer), report))
            return true;
    }
    return false;
}

bool EmulatedChip::takeLateAnswer(std::vector<uint8_t>* report) {
    if (!lateAnswer_)
        return false;
    Answer answer = std::move(*lateAnswer_);
    lateAnswer_.reset();
    record(TranscriptEntry::Kind::note,
           formatText("late answer to the read at 0x%08X sent", answer.addr));
    answer.late = true;
    return handOver(std::move(answer), report);
}

void EmulatedChip::withholdLateAnswer(const std::string& why) {
    if (!lateAnswer_)
        return;
    record(TranscriptEntry::Kind::note,
           formatText("late answer to the read at 0x%08X withheld: ", lateAnswer_->addr) + why);
    lateAnswer_.reset();
}

void EmulatedChip::discardAnswer() {
    if (path_ == ReportPath::standard) {
        pendingAnswer_.reset();
        answerWithheld_ = true;  // the host returns the last report it has
    } else if (!queue_.empty()) {
        queue_.pop_front();
    }
}

bool EmulatedChip::refuseInput(const std::string& text, uint32_t code, uint32_t* osError) {
    protocolError(text);
    return failHostCall(osError, code);
}

bool EmulatedChip::answerInputReport(uint8_t* report, size_t length, uint32_t* osError) {
    syncWaits();
    settle();
    if (path_ != ReportPath::standard) {
        return refuseInput(
            "standard 65-byte input report requested from a chip on the 268-byte path",
            kOsGenFailure, osError);
    }
    if (length != kShortReport) {
        return refuseInput(
            formatText("input report of %zu bytes requested (expected %zu)", length, kShortReport),
            kOsInvalidParameter, osError);
    }
    if (report[0] != kReportId) {
        return refuseInput(
            formatText("input report id 0x%02X requested (expected 0x%02X)", report[0], kReportId),
            kOsInvalidParameter, osError);
    }
    if (pendingAnswer_) {
        Answer answer = std::move(*pendingAnswer_);
        pendingAnswer_.reset();
        return handOver(std::move(answer), report, false, osError);
    }
    if (answerWithheld_) {
        record(TranscriptEntry::Kind::note, "no answer to the last read request");
    } else {
        protocolError("input report requested without a read request");
    }
    answerWithheld_ = false;
    if (lastInput_.size() != kShortReport) {
        lastInput_.assign(kShortReport, 0);
        lastInput_[0] = kReportId;
    }
    std::copy(lastInput_.begin(), lastInput_.end(), report);
    recordReport(TranscriptEntry::Kind::input, lastInput_, false, 0, "stale input report");
    return true;
}

HidReadResult EmulatedChip::nextQueuedReport(uint8_t reportId, uint8_t* report, size_t length,
                                             int timeoutMs, size_t* received, uint32_t* osError) {
    syncWaits();
    settle();
    if (received)
        *received = 0;
    if (path_ != ReportPath::long268) {
        refuseInput("268-byte input report read from a chip on the standard 65-byte path",
                    kOsGenFailure, osError);
        return HidReadResult::failed;
    }
    if (reportId != kReportId) {
        refuseInput(
            formatText("input report id 0x%02X awaited (expected 0x%02X)", reportId, kReportId),
            kOsInvalidParameter, osError);
        return HidReadResult::failed;
    }
    if (length != kLongReport) {
        refuseInput(
            formatText("input report of %zu bytes awaited (expected %zu)", length, kLongReport),
            kOsInvalidParameter, osError);
        return HidReadResult::failed;
    }
    if (queue_.empty()) {
        if (clock_ && timeoutMs > 0)
            clock_->advance(static_cast<uint64_t>(timeoutMs));
        record(TranscriptEntry::Kind::note,
               formatText("read timed out after %d ms: nothing queued", timeoutMs));
        if (lateAnswer_) {
            record(TranscriptEntry::Kind::note, "late answer queued: " + lateAnswer_->text);
            lateAnswer_->late = true;
            queue_.push_back(std::move(*lateAnswer_));
            lateAnswer_.reset();
        }
        return HidReadResult::timeout;
    }
    Answer answer = std::move(queue_.front());
    queue_.pop_front();
    if (answer.late && answer.request != readRequests_) {
        protocolError("a late answer to an earlier read request was read after a later one (" +
                      answer.text + ")");
    }
    const size_t size = answer.bytes.size();
    if (!handOver(std::move(answer), report, true, osError))
        return HidReadResult::failed;
    if (received)
        *received = size;
    return HidReadResult::ok;
}

}  // namespace emu
