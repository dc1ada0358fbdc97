#include "emu/EmulatedChip.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <limits>

#include "log/Log.h"
#include "sys/Bytes.h"

namespace emu {

namespace {

// Windows error codes the host reports, as the tool prints them.
constexpr uint32_t kErrGenFailure = 31;
constexpr uint32_t kErrInvalidParameter = 87;

// Bytes of the configuration area that the older families always show at cfgAddr.
constexpr size_t kConfigArea = 4096;
// Bytes of the fjord configuration window that read 0xFF outside a read session.
constexpr size_t kFjordCfgBlock = 64;

std::string format(const char* fmt, ...) TFW_PRINTF(1, 2);

std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

bool inWindow(uint32_t addr, uint32_t base, size_t size) {
    return static_cast<uint64_t>(static_cast<uint32_t>(addr - base)) < size;
}

const char* rawName(uint8_t sub) {
    switch (sub) {
        case 0x10:
            return "switch-to-patch";
        case 0x11:
            return "enter-update";
        case 0x12:
            return "flash-block";
        case 0x13:
            return "restart";
        case 0x40:
            return "flash-prepare";
        default:
            return nullptr;
    }
}

}  // namespace

const char* familyName(int32_t type) {
    const ChipFamily* family = chipFamily(type);
    return family ? family->name : "";
}

int32_t familyFromName(const std::string& name) {
    const ChipFamily* family = chipFamilyNamed(name);
    return family ? family->type : 0;
}

uint16_t deviceProductId(int32_t type) {
    const ChipFamily* family = chipFamily(type);
    return family ? family->defaultPid : 0;
}

uint16_t deviceUsagePage(int32_t type) {
    const ChipFamily* family = chipFamily(type);
    return family ? family->usagePage : 0;
}

std::string defaultProductIdText(int32_t type) {
    const ChipFamily* family = chipFamily(type);
    return family ? family->pidText : "";
}

ChipProfile profileFor(int32_t type) {
    const int32_t savedType = chipType;
    const ChipProfile savedProfile = chipProfile;
    chipType = type;
    initChipProfile();
    const ChipProfile profile = chipProfile;
    chipType = savedType;
    chipProfile = savedProfile;
    return profile;
}

std::vector<uint8_t> makeConfiguration(int32_t type, uint8_t version, size_t size) {
    const size_t minimum = isFjordFamily(type) ? kFjordCfgBlock : 5;
    std::vector<uint8_t> config(std::max(size, minimum));
    for (size_t i = 0; i < config.size(); ++i) {
        config[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    if (isFjordFamily(type)) {
        config[34] = version;
        uint16_t sum = 0;
        for (size_t i = 0; i < 62; ++i)
            sum = static_cast<uint16_t>(sum + config[i]);
        config[62] = static_cast<uint8_t>(sum & 0xFF);
        config[63] = static_cast<uint8_t>(sum >> 8);
    } else if (type == CHIP_5415R) {
        config[0] = version;
        config[1] = 0x10;
        config[2] = 0x20;
        const unsigned sum = config[0] + config[1] + config[2];
        config[3] = static_cast<uint8_t>(std::min(sum, 0xFFu));
        config[4] = static_cast<uint8_t>(sum - config[3]);
    } else {
        config[0] = version;
        config[3] = static_cast<uint8_t>(0x100 - ((config[0] + config[1] + config[2]) & 0xFF));
    }
    return config;
}

uint8_t configurationVersionOf(int32_t type, const std::vector<uint8_t>& config) {
    const size_t index = isFjordFamily(type) ? 34 : 0;
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
      profile_(profileFor(type)),
      path_(type == CHIP_FJORDK8 ? ReportPath::long268 : ReportPath::standard) {
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
    memory_.clear();
    setProductId(defaultProductIdText(type_));
    setVersionId({0x01, 0x00, 0x00, 0x00});
    setSensorId(3);
    config_ = makeConfiguration(type_, 1);
    pending_.clear();
    flash_.clear();
    flashedSinceRestart_.clear();
    frameNumber_ = 0;
    frameScheduled_ = false;
    if (isFjordFamily(type_)) {
        // Outside a read session the configuration window holds no valid block.
        memory_.fill(profile_.cfgAddr, kFjordCfgBlock, 0xFF);
    }
    cfgSession_ = CfgSession::idle;
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
    effects_.push_back(Effect{nowMs() + ms, effectOrder_++, std::move(fn)});
}

void EmulatedChip::settle() {
    for (;;) {
        size_t best = effects_.size();
        for (size_t i = 0; i < effects_.size(); ++i) {
            if (effects_[i].due > nowMs())
                continue;
            if (best == effects_.size() || effects_[i].due < effects_[best].due ||
                (effects_[i].due == effects_[best].due &&
                 effects_[i].order < effects_[best].order)) {
                best = i;
            }
        }
        if (best == effects_.size())
            return;
        Effect effect = std::move(effects_[best]);
        effects_.erase(effects_.begin() + static_cast<std::ptrdiff_t>(best));
        effect.fn();
    }
}

void EmulatedChip::flushEffects() {
    // While flushing, nothing schedules itself again (a withheld frame would).
    flushing_ = true;
    for (int guard = 0; guard < 100000 && !effects_.empty(); ++guard) {
        size_t best = 0;
        for (size_t i = 1; i < effects_.size(); ++i) {
            if (effects_[i].due < effects_[best].due ||
                (effects_[i].due == effects_[best].due &&
                 effects_[i].order < effects_[best].order)) {
                best = i;
            }
        }
        Effect effect = std::move(effects_[best]);
        effects_.erase(effects_.begin() + static_cast<std::ptrdiff_t>(best));
        effect.fn();
    }
    effects_.clear();
    flushing_ = false;
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

void EmulatedChip::setProductId(const std::string& text) {
    uint8_t bytes[8] = {0};
    for (size_t i = 0; i < 8 && i < text.size(); ++i)
        bytes[i] = static_cast<uint8_t>(text[i]);
    memory_.write(profile_.pidAddr, bytes, sizeof bytes);
}

std::string EmulatedChip::productId() const {
    std::string text;
    for (uint32_t i = 0; i < 8; ++i) {
        const uint8_t c = memory_.get(profile_.pidAddr + i);
        if (c == 0)
            break;
        text += static_cast<char>(c);
    }
    return text;
}

void EmulatedChip::setVersionId(const std::array<uint8_t, 4>& vid) {
    memory_.write(profile_.vidAddr, vid.data(), vid.size());
}

std::array<uint8_t, 4> EmulatedChip::versionId() const {
    std::array<uint8_t, 4> vid{};
    memory_.read(profile_.vidAddr, vid.data(), vid.size());
    return vid;
}

void EmulatedChip::setSensorId(uint8_t sid) {
    memory_.set(profile_.sidAddr, sid);
}

uint8_t EmulatedChip::sensorId() const {
    return memory_.get(profile_.sidAddr);
}

void EmulatedChip::setConfiguration(const std::vector<uint8_t>& config) {
    config_ = config;
}

void EmulatedChip::writeRegisters(uint32_t addr, const std::vector<uint8_t>& bytes) {
    memory_.write(addr, bytes);
}

std::vector<uint8_t> EmulatedChip::peekRegisters(uint32_t addr, size_t n) const {
    return view(addr, n);
}

void EmulatedChip::overrideRead(uint32_t addr, const std::vector<uint8_t>& bytes, int times) {
    if (times == 0 || times < kForever)
        return;
    overrides_[addr].push_back(Override{bytes, times});
}

void EmulatedChip::clearOverrides() {
    overrides_.clear();
}

uint8_t EmulatedChip::viewByte(uint32_t addr) const {
    const uint32_t cfgAddr = profile_.cfgAddr;
    if (isFjordFamily(type_)) {
        if (cfgSession_ == CfgSession::reading && inWindow(addr, cfgAddr, config_.size())) {
            return config_[addr - cfgAddr];
        }
    } else if (cfgSession_ == CfgSession::idle &&
               inWindow(addr, cfgAddr, std::min(config_.size(), kConfigArea))) {
        return config_[addr - cfgAddr];
    }
    if ((cfgSession_ == CfgSession::downloading || cfgSession_ == CfgSession::written) &&
        inWindow(addr, cfgAddr, pending_.size())) {
        return pending_[addr - cfgAddr];
    }
    return memory_.get(addr);
}

std::vector<uint8_t> EmulatedChip::view(uint32_t addr, size_t n) const {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = viewByte(addr + static_cast<uint32_t>(i));
    return out;
}

void EmulatedChip::storeBytes(uint32_t addr, const uint8_t* data, size_t n) {
    const bool downloading =
        cfgSession_ == CfgSession::downloading || cfgSession_ == CfgSession::written;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t a = addr + static_cast<uint32_t>(i);
        if (downloading && inWindow(a, profile_.cfgAddr, kMaxConfigSize)) {
            const size_t offset = a - profile_.cfgAddr;
            if (pending_.size() <= offset)
                pending_.resize(offset + 1, 0x00);
            pending_[offset] = data[i];
        } else {
            memory_.set(a, data[i]);
        }
    }
}

// ---- wire: output reports --------------------------------------------------

std::string EmulatedChip::describeReport(const uint8_t* r, size_t length) const {
    if (length < 2)
        return format("report of %zu bytes", length);
    if (r[1] == 0x20 && length >= 12) {
        const int version = profile_.protoType;
        uint32_t addr;
        uint32_t len;
        size_t header;
        if (version == 1) {
            addr = readBe16(r + 6);
            len = readBe16(r + 8);
            header = 10;
        } else {
            addr = readBe32(r + 6);
            len = readBe16(r + 10);
            header = 12;
        }
        if (r[5] == 0x01)
            return format("read 0x%08X len %u", addr, len);
        if (r[5] == 0x00) {
            const size_t shown = std::min<size_t>(len, length - header);
            std::string text =
                format("write 0x%08X +%u: ", addr, len) + hexBytes(r + header, shown);
            if (version != 3 && (r[2] != 0 || r[3] != 0)) {
                text += format(" [seq %u%s]", r[3], r[2] ? ", more" : "");
            }
            return text;
        }
        return format("register frame with operation 0x%02X", r[5]);
    }
    const char* name = rawName(r[1]);
    if (name != nullptr && length >= 5) {
        const size_t shown = std::min<size_t>(5u + r[4], length);
        return format("raw %s: ", name) + hexBytes(r, shown);
    }
    return "report: " + hexBytes(r, std::min<size_t>(length, 16));
}

std::string EmulatedChip::describeAnswer(const uint8_t* r, size_t length, uint32_t addr) const {
    const size_t header = path_ == ReportPath::standard ? 5 : 12;
    if (length < header)
        return describeReport(r, length);
    const uint32_t lengthField = readBe16(r + header - 2);
    const size_t shown = std::min<size_t>(lengthField, length - header);
    return format("answer 0x%08X len %u: ", addr, lengthField) + hexBytes(r + header, shown);
}

bool EmulatedChip::receiveReport(const uint8_t* report, size_t length, ReportPath via) {
    syncWaits();
    settle();
    ++outputReports_;
    std::vector<uint8_t> bytes(report, report + length);
    const bool plain = via == ReportPath::long268;
    if (via != path_) {
        recordReport(TranscriptEntry::Kind::output, std::move(bytes), plain, 0,
                     "report on the wrong path");
        return reject(path_ == ReportPath::standard
                          ? "268-byte report path used for a chip on the standard 65-byte path"
                          : "standard 65-byte report path used for a chip on the 268-byte path");
    }
    if (length < 2) {
        recordReport(TranscriptEntry::Kind::output, std::move(bytes), plain, 0, "short report");
        return reject(format("report of %zu bytes (expected %zu)", length, reportSize()));
    }
    recordReport(TranscriptEntry::Kind::output, std::move(bytes), plain);
    if (length != reportSize()) {
        return reject(format("report of %zu bytes (expected %zu)", length, reportSize()));
    }
    if (report[0] != kReportId) {
        return reject(format("report id 0x%02X (expected 0x%02X)", report[0], kReportId));
    }
    if (report[1] == 0x20)
        return handleRegisterFrame(report, length);
    return handleRawCommand(report, length);
}

void EmulatedChip::resetWriteState() {
    if (write_.active) {
        record(TranscriptEntry::Kind::note,
               format("unfinished write from 0x%X abandoned after %zu bytes", write_.start,
                      write_.data.size()));
    }
    write_ = WriteInProgress{};
}

bool EmulatedChip::handleRegisterFrame(const uint8_t* r, size_t length) {
    const int version = profile_.protoType;
    size_t header;
    size_t maxPayload;
    uint32_t addr;
    uint32_t len;
    switch (version) {
        case 1:
            header = 10;
            maxPayload = 55;
            addr = readBe16(r + 6);
            len = readBe16(r + 8);
            break;
        case 2:
            header = 12;
            maxPayload = 53;
            addr = readBe32(r + 6);
            len = readBe16(r + 10);
            break;
        case 3:
            header = 12;
            maxPayload = 256;
            addr = readBe32(r + 6);
            len = readBe16(r + 10);
            break;
        default:
            return reject("register frame for a chip without framing");
    }
    const uint8_t more = r[2];
    const uint8_t seq = r[3];
    const uint8_t count = r[4];
    const uint8_t op = r[5];
    if (op != 0x00 && op != 0x01) {
        return reject(format("unknown register operation 0x%02X", op));
    }
    const bool isRead = op == 0x01;
    const size_t maxLen = isRead ? (version == 3 ? 256 : 60) : maxPayload;
    if (len == 0 || len > maxLen) {
        return reject(format("%s of %u bytes at 0x%X (allowed 1 to %zu)",
                             isRead ? "read request" : "write", len, addr, maxLen));
    }
    if (version == 3) {
        if (more != 0 || seq != 0 || count != 0) {
            return reject(format("bytes 2 to 4 of a 268-byte frame are %02X %02X %02X (expected 0)",
                                 more, seq, count));
        }
    } else {
        const size_t expectedCount = isRead ? header - 5 : len + header - 5;
        if (count != expectedCount) {
            return reject(format("count byte 0x%02X does not match the %s (expected 0x%02zX)",
                                 count, isRead ? "read request" : "payload", expectedCount));
        }
        if (isRead && (more != 0 || seq != 0)) {
            return reject(format("read request with more-follows %u and sequence %u", more, seq));
        }
        if (!isRead && more > 1) {
            return reject(format("more-follows flag 0x%02X", more));
        }
        if (!isRead && more == 1 && len != maxPayload) {
            return reject(format("a report followed by more carries %u bytes (expected %zu)", len,
                                 maxPayload));
        }
    }
    // Past the frame the standard path carries zeros; a 268-byte write may
    // carry leftovers of an earlier report, which the chip ignores.
    if (isRead || version != 3) {
        const size_t end = isRead ? header : header + len;
        for (size_t i = end; i < length; ++i) {
            if (r[i] != 0) {
                return reject(
                    format("byte 0x%02X at offset %zu after the end of the frame", r[i], i));
            }
        }
    }

    if (isRead) {
        resetWriteState();
        handleReadRequest(addr, len);
        return true;
    }

    std::string which;
    const std::optional<FaultDo> fault =
        faults_.check(FaultOn::writeRequest, ChipCommand::none, addr, &which);
    if (fault == FaultDo::dropReport) {
        record(TranscriptEntry::Kind::fault, "write report lost: " + which);
        return true;
    }
    if (fault == FaultDo::failTransfer) {
        record(TranscriptEntry::Kind::fault, "write report refused: " + which);
        return false;
    }

    const uint8_t* payload = r + header;
    if (version == 3) {
        resetWriteState();
        storeBytes(addr, payload, len);
        writeComplete(addr, std::vector<uint8_t>(payload, payload + len));
        return true;
    }

    const bool continuesWrap =
        seq == 0 && write_.active && write_.nextSeq == 0 && addr == write_.next;
    if (seq == 0 && !continuesWrap) {
        resetWriteState();
        write_.active = true;
        write_.start = addr;
        write_.next = addr;
    } else if (!write_.active) {
        if (write_.discarding) {
            record(TranscriptEntry::Kind::note, "continuation of a refused write discarded");
            return false;
        }
        write_.discarding = true;
        return reject(
            format("continuation report (sequence %u) at 0x%X without a first report", seq, addr));
    } else if (seq != write_.nextSeq) {
        const uint8_t expected = write_.nextSeq;
        const uint32_t start = write_.start;
        write_ = WriteInProgress{};
        write_.discarding = true;
        return reject(format("sequence gap in the write from 0x%X: expected %u, got %u", start,
                             expected, seq));
    } else if (addr != write_.next) {
        const uint32_t expected = write_.next;
        write_ = WriteInProgress{};
        write_.discarding = true;
        return reject(format("continuation report at 0x%X, expected 0x%X", addr, expected));
    }

    storeBytes(addr, payload, len);
    write_.data.insert(write_.data.end(), payload, payload + len);
    write_.next = version == 1 ? ((addr + len) & 0xFFFF) : addr + len;
    write_.nextSeq = static_cast<uint8_t>(write_.nextSeq + 1);
    if (more == 0) {
        const uint32_t start = write_.start;
        const std::vector<uint8_t> data = std::move(write_.data);
        write_ = WriteInProgress{};
        writeComplete(start, data);
    }
    return true;
}

bool EmulatedChip::handleRawCommand(const uint8_t* r, size_t length) {
    resetWriteState();
    const uint8_t sub = r[1];
    const char* name = rawName(sub);
    if (name == nullptr || (sub == 0x40 && type_ != CHIP_FJORDK8)) {
        return reject(format("unknown operation 0x%02X", sub));
    }
    // 0x0E, sub-command, 0x00, 0x00, count of the bytes that follow, the bytes.
    size_t count;
    switch (sub) {
        case 0x12:
            count = isFjordFamily(type_) ? 10 : 6;
            break;
        case 0x40:
            count = 0;
            break;
        default:
            count = 1;
            break;
    }
    if (r[2] != 0x00 || r[3] != 0x00) {
        return reject(
            format("raw %s with bytes 2 and 3 = %02X %02X (expected 00 00)", name, r[2], r[3]));
    }
    if (r[4] != count) {
        return reject(format("raw %s with count %u (expected %zu)", name, r[4], count));
    }
    if (count == 1 && r[5] != 0x01) {
        return reject(format("raw %s with data byte 0x%02X (expected 0x01)", name, r[5]));
    }
    for (size_t i = 5 + count; i < length; ++i) {
        if (r[i] != 0) {
            return reject(format("byte 0x%02X at offset %zu after the raw %s", r[i], i, name));
        }
    }
    return runRawCommand(sub, r, length);
}

void EmulatedChip::writeComplete(uint32_t start, const std::vector<uint8_t>& data) {
    if (dataMode_ && inWindow(profile_.dataReadyAddr, start, data.size()) &&
        (memory_.get(profile_.dataReadyAddr) & profile_.dataReadyMask) == 0) {
        scheduleFrame();  // the frame was taken (or the flag cleared): the next one follows
    }
    if (start != profile_.cmdAddr)
        return;
    const ChipCommand command = decodeCommand(data);
    if (command == ChipCommand::none) {
        protocolError(format("unknown command at 0x%X: %s", start, hexBytes(data).c_str()));
        return;
    }
    runCommand(command);
}

// ---- wire: read requests and answers ----------------------------------------

void EmulatedChip::handleReadRequest(uint32_t addr, uint32_t len) {
    ++readRequests_;
    std::string which;
    const std::optional<FaultDo> fault =
        faults_.check(FaultOn::readRequest, ChipCommand::none, addr, &which);

    std::vector<uint8_t> data = view(addr, len);
    auto it = overrides_.find(addr);
    if (it != overrides_.end() && !it->second.empty()) {
        Override& o = it->second.front();
        std::copy_n(o.bytes.begin(), std::min(o.bytes.size(), data.size()), data.begin());
        record(TranscriptEntry::Kind::note, format("override answers the read at 0x%X", addr));
        if (o.remaining != kForever && --o.remaining <= 0)
            it->second.pop_front();
        if (it->second.empty())
            overrides_.erase(it);
    }

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

    Answer answer;
    answer.bytes.assign(reportSize(), 0);
    uint8_t* a = answer.bytes.data();
    a[0] = kReportId;
    a[1] = 0x20;
    if (path_ == ReportPath::standard) {
        a[2] = 0x01;
        a[3] = static_cast<uint8_t>(lengthField >> 8);
        a[4] = static_cast<uint8_t>(lengthField);
        std::copy(data.begin(), data.end(), a + 5);
    } else {
        a[5] = 0x01;
        a[6] = static_cast<uint8_t>(addr >> 24);
        a[7] = static_cast<uint8_t>(addr >> 16);
        a[8] = static_cast<uint8_t>(addr >> 8);
        a[9] = static_cast<uint8_t>(addr);
        a[10] = static_cast<uint8_t>(lengthField >> 8);
        a[11] = static_cast<uint8_t>(lengthField);
        std::copy(data.begin(), data.end(), a + 12);
    }
    answer.addr = addr;
    if (lengthField != len)  // the length field alone would show a byte too many
        answer.text = format("answer 0x%08X len %u: ", addr, lengthField) + hexBytes(data);
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

void EmulatedChip::discardAnswer() {
    if (path_ == ReportPath::standard) {
        pendingAnswer_.reset();
        answerWithheld_ = true;  // the host returns the last report it has
    } else if (!queue_.empty()) {
        queue_.pop_front();
    }
}

bool EmulatedChip::answerInputReport(uint8_t* report, size_t length, uint32_t* osError) {
    syncWaits();
    settle();
    if (path_ != ReportPath::standard) {
        protocolError("standard 65-byte input report requested from a chip on the 268-byte path");
        if (osError)
            *osError = kErrGenFailure;
        return false;
    }
    if (length != kShortReport) {
        protocolError(
            format("input report of %zu bytes requested (expected %zu)", length, kShortReport));
        if (osError)
            *osError = kErrInvalidParameter;
        return false;
    }
    if (report[0] != kReportId) {
        protocolError(
            format("input report id 0x%02X requested (expected 0x%02X)", report[0], kReportId));
        if (osError)
            *osError = kErrInvalidParameter;
        return false;
    }
    if (pendingAnswer_) {
        Answer answer = std::move(*pendingAnswer_);
        pendingAnswer_.reset();
        if (answer.failTransfer) {
            record(TranscriptEntry::Kind::fault, "answer transfer failed");
            if (osError)
                *osError = kErrGenFailure;
            return false;
        }
        std::copy(answer.bytes.begin(), answer.bytes.end(), report);
        lastInput_ = answer.bytes;
        recordReport(TranscriptEntry::Kind::input, std::move(answer.bytes), false, answer.addr,
                     std::move(answer.text));
        return true;
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
        protocolError("268-byte input report read from a chip on the standard 65-byte path");
        if (osError)
            *osError = kErrGenFailure;
        return HidReadResult::failed;
    }
    if (reportId != kReportId) {
        protocolError(
            format("input report id 0x%02X awaited (expected 0x%02X)", reportId, kReportId));
        if (osError)
            *osError = kErrInvalidParameter;
        return HidReadResult::failed;
    }
    if (length != kLongReport) {
        protocolError(
            format("input report of %zu bytes awaited (expected %zu)", length, kLongReport));
        if (osError)
            *osError = kErrInvalidParameter;
        return HidReadResult::failed;
    }
    if (queue_.empty()) {
        if (clock_ && timeoutMs > 0)
            clock_->advance(static_cast<uint64_t>(timeoutMs));
        record(TranscriptEntry::Kind::note,
               format("read timed out after %d ms: nothing queued", timeoutMs));
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
    if (answer.failTransfer) {
        record(TranscriptEntry::Kind::fault, "answer transfer failed");
        if (osError)
            *osError = kErrGenFailure;
        return HidReadResult::failed;
    }
    std::copy(answer.bytes.begin(), answer.bytes.end(), report);
    if (received)
        *received = answer.bytes.size();
    lastInput_ = answer.bytes;
    recordReport(TranscriptEntry::Kind::input, std::move(answer.bytes), true, answer.addr,
                 std::move(answer.text));
    return HidReadResult::ok;
}

// ---- commands ----------------------------------------------------------------

ChipCommand EmulatedChip::decodeCommand(const std::vector<uint8_t>& b) const {
    if (type_ == CHIP_5410) {
        // code, 0x00, check byte making the 8-bit sum 0; finish is the lone byte 0x83
        if (b.size() == 1 && b[0] == 0x83)
            return ChipCommand::cfgFinish;
        if (b.size() != 3 || b[1] != 0x00 || static_cast<uint8_t>(b[0] + b[1] + b[2]) != 0) {
            return ChipCommand::none;
        }
        switch (b[0]) {
            case 0x33:
                return ChipCommand::reportDisable;
            case 0x34:
                return ChipCommand::reportEnable;
            case 0x35:
                return ChipCommand::reportQuery;
            case 0x01:
                return ChipCommand::dataMode;
            case 0x00:
                return ChipCommand::normalMode;
            case 0x80:
                return ChipCommand::cfgStart;
            default:
                return ChipCommand::none;
        }
    }
    if (type_ == CHIP_5415R) {
        // code, three zero bytes, code again
        if (b.size() != 5 || b[1] != 0 || b[2] != 0 || b[3] != 0 || b[4] != b[0]) {
            return ChipCommand::none;
        }
        switch (b[0]) {
            case 0x33:
                return ChipCommand::reportDisable;
            case 0x34:
                return ChipCommand::reportEnable;
            case 0x01:
                return ChipCommand::dataMode;
            case 0x00:
                return ChipCommand::normalMode;
            case 0x80:
                return ChipCommand::cfgStart;
            case 0x83:
                return ChipCommand::cfgFinish;
            case 0x7D:
                return ChipCommand::cfgSessionEnd;
            default:
                return ChipCommand::none;
        }
    }
    if (isFjordFamily(type_)) {
        // 00 00 04 code (4 + code) 00
        if (b.size() != 6 || b[0] != 0 || b[1] != 0 || b[2] != 0x04 ||
            b[4] != static_cast<uint8_t>(0x04 + b[3]) || b[5] != 0) {
            return ChipCommand::none;
        }
        const bool hasReportControl = type_ == CHIP_FJORDH3 || type_ == CHIP_CORVINA;
        switch (b[3]) {
            case 0x00:
                return ChipCommand::normalMode;
            case 0x02:
                return ChipCommand::dataMode;
            case 0x04:
                return ChipCommand::cfgStart;
            case 0x05:
                return ChipCommand::cfgWriteDone;
            case 0x06:
                return ChipCommand::cfgFinish;
            case 0x07:
                return ChipCommand::cfgReadStart;
            case 0x08:
                return ChipCommand::cfgReadEnd;
            case 0x33:
                return hasReportControl ? ChipCommand::reportDisable : ChipCommand::none;
            case 0x34:
                return hasReportControl ? ChipCommand::reportEnable : ChipCommand::none;
            case 0x35:
                return hasReportControl ? ChipCommand::reportQuery : ChipCommand::none;
            default:
                return ChipCommand::none;
        }
    }
    return ChipCommand::none;
}

void EmulatedChip::ackFjord(std::optional<FaultDo> fault, const Seq10& value) {
    if (fault == FaultDo::withholdAck)
        return;
    std::vector<uint8_t> ack(value.data, value.data + value.size());
    if (fault == FaultDo::corruptAck) {
        for (uint8_t& b : ack)
            b ^= 0x03;
    }
    const uint32_t addr = profile_.cmdAddr;
    after(timing_.commandMs, [this, addr, ack] { memory_.write(addr, ack); });
}

void EmulatedChip::setCmdByteLater(uint8_t value, std::optional<FaultDo> fault) {
    setByteLater(profile_.cmdAddr, value, timing_.commandMs, fault);
}

void EmulatedChip::setByteLater(uint32_t addr, uint8_t value, uint32_t ms,
                                std::optional<FaultDo> fault) {
    if (fault == FaultDo::withholdAck)
        return;
    if (fault == FaultDo::corruptAck)
        value ^= 0x03;
    after(ms, [this, addr, value] { memory_.set(addr, value); });
}

void EmulatedChip::answerReportQuery(std::optional<FaultDo> fault) {
    if (fault == FaultDo::withholdAck)
        return;
    const bool corrupt = fault == FaultDo::corruptAck;
    const uint8_t status = reporting_ ? 0x00 : 0x01;
    std::vector<uint8_t> answer;
    uint32_t addr = profile_.reportStatusAddr;
    if (type_ == CHIP_5410) {
        // answer code 0x36, status, check byte making the 8-bit sum 0
        uint8_t check = static_cast<uint8_t>(0x100 - ((0x36 + status) & 0xFF));
        if (corrupt)
            ++check;
        answer = {0x36, status, check};
        addr = profile_.cmdAddr;
    } else if (type_ == CHIP_FJORDH3) {
        // 0x35, 0x00, status, checksum (sum of the three + 5, little-endian)
        uint16_t sum = static_cast<uint16_t>(0x35 + 0x00 + status + 5);
        if (corrupt)
            ++sum;
        answer = {0x35, 0x00, status, static_cast<uint8_t>(sum & 0xFF),
                  static_cast<uint8_t>(sum >> 8)};
    } else if (type_ == CHIP_CORVINA) {
        // 0x35, status, checksum (sum of the two, little-endian)
        uint16_t sum = static_cast<uint16_t>(0x35 + status);
        if (corrupt)
            ++sum;
        answer = {0x35, status, static_cast<uint8_t>(sum & 0xFF), static_cast<uint8_t>(sum >> 8)};
    } else {
        return;
    }
    after(timing_.commandMs, [this, addr, answer] { memory_.write(addr, answer); });
    if (isFjordFamily(type_))
        ackFjord(std::nullopt, profile_.cfgCmdAck);
}

void EmulatedChip::runCommand(ChipCommand command) {
    ++commandCounts_[command];
    std::string which;
    const std::optional<FaultDo> fault = faults_.check(FaultOn::command, command, 0, &which);
    if (fault)
        record(TranscriptEntry::Kind::fault, which);
    const bool fjord = isFjordFamily(type_);
    switch (command) {
        case ChipCommand::reportDisable:
        case ChipCommand::reportEnable:
            reporting_ = command == ChipCommand::reportEnable;
            if (fjord)
                ackFjord(fault, profile_.cfgCmdAck);
            return;
        case ChipCommand::reportQuery:
            answerReportQuery(fault);
            return;
        case ChipCommand::cfgReadStart:
            if (cfgSession_ == CfgSession::downloading || cfgSession_ == CfgSession::written) {
                protocolError("configuration read started during a configuration download");
                return;
            }
            cfgSession_ = CfgSession::reading;
            ackFjord(fault, profile_.cfgCmdAck);
            return;
        case ChipCommand::cfgReadEnd:
            if (cfgSession_ != CfgSession::reading) {
                protocolError("configuration read ended without a read start");
                return;
            }
            cfgSession_ = CfgSession::idle;
            ackFjord(fault, profile_.cfgReadEndAck);
            return;
        case ChipCommand::cfgStart:
            startConfigDownload(fault);
            return;
        case ChipCommand::cfgWriteDone:
            if (cfgSession_ != CfgSession::downloading) {
                protocolError("configuration write done outside a download");
                return;
            }
            cfgSession_ = CfgSession::written;
            ackFjord(fault, profile_.cfgCmdAck);
            return;
        case ChipCommand::cfgFinish:
            finishConfigDownload(fault);
            return;
        case ChipCommand::cfgSessionEnd:
            if (cfgSession_ == CfgSession::downloading || cfgSession_ == CfgSession::written) {
                record(TranscriptEntry::Kind::note, "unfinished configuration download dropped");
                cfgSession_ = CfgSession::idle;
                pending_.clear();
            }
            return;
        case ChipCommand::dataMode:
            dataMode_ = true;
            if (fjord) {
                ackFjord(fault, profile_.cfgCmdAck);
            } else {
                setCmdByteLater(0xFF, fault);
            }
            scheduleFrame();
            return;
        case ChipCommand::normalMode:
            dataMode_ = false;
            if (fjord)
                ackFjord(fault, profile_.cfgCmdAck);
            return;
        default:
            protocolError(format("command %s is not a register command", commandName(command)));
            return;
    }
}

void EmulatedChip::startConfigDownload(std::optional<FaultDo> fault) {
    if (cfgSession_ == CfgSession::downloading || cfgSession_ == CfgSession::written) {
        record(TranscriptEntry::Kind::note, "configuration download started again");
    }
    cfgSession_ = CfgSession::downloading;
    pending_.clear();
    if (isFjordFamily(type_)) {
        ackFjord(fault, profile_.cfgCmdAck);
    } else {
        setCmdByteLater(profile_.cfgStartReadyValue, fault);
    }
}

void EmulatedChip::finishConfigDownload(std::optional<FaultDo> fault) {
    const bool fjord = isFjordFamily(type_);
    const CfgSession wanted = fjord ? CfgSession::written : CfgSession::downloading;
    if (cfgSession_ != wanted) {
        protocolError(fjord && cfgSession_ == CfgSession::downloading
                          ? "configuration finish before write done"
                          : "configuration finish outside a download");
        return;
    }
    cfgSession_ = CfgSession::idle;
    if (pending_.empty()) {
        protocolError("configuration download finished without data");
    } else {
        config_ = std::move(pending_);
        record(TranscriptEntry::Kind::note, format("configuration of %zu bytes taken, version %u",
                                                   config_.size(), configurationVersion()));
    }
    pending_.clear();
    if (fjord) {
        ackFjord(fault, profile_.cfgCmdAck);
    } else if (type_ == CHIP_5415R && alternateFinish_) {
        if (fault == FaultDo::withholdAck)
            return;
        std::vector<uint8_t> answer = {0x7E, 0x00, 0x07};
        if (fault == FaultDo::corruptAck)
            answer[2] ^= 0x03;
        const uint32_t addr = profile_.cmdAddr;
        after(timing_.commandMs, [this, addr, answer] { memory_.write(addr, answer); });
    } else {
        setCmdByteLater(profile_.cfgFinishReadyValue, fault);
    }
}

}  // namespace emu
