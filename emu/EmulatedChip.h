// The emulated touch-controller chip of one family, seen from the chip's
// side of the wire. It takes reports in, refuses anything malformed (wrong
// report size or id, inconsistent counts or lengths, sequence gaps, unknown
// operations or commands) and records each refusal as a protocol error,
// answers with the family's acknowledgements and status answers, runs the
// firmware update, configuration download and touch-data flows, and writes a
// transcript. It composes the frame decoder (FrameDecoder: framing versions
// 1 to 3, write reassembly), the family command encodings (FamilyCommands,
// matched against the chip profile's byte sequences), the register map
// (RegisterMap: registers, configuration window, read overrides) and the
// delayed effects (EffectQueue). Register addresses, ready values and
// lengths come from the family's chip profile.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "chip/ChipProfile.h"
#include "emu/EffectQueue.h"
#include "emu/FamilyCommands.h"
#include "emu/Faults.h"
#include "emu/FrameDecoder.h"
#include "emu/OsErrors.h"
#include "emu/RegisterMap.h"
#include "emu/SparseMemory.h"
#include "emu/Transcript.h"
#include "hid/HidHost.h"
#include "sys/Clock.h"
#include "tlc/TlcConnection.h"

namespace emu {

// Keys of the emulated device: the family's (chip/ChipProfile.h).
constexpr uint16_t kEmuVendorId = kChipVendorId;
constexpr uint16_t kEmuUsage = kChipUsage;
constexpr uint8_t kReportId = 0x0E;
constexpr size_t kShortReport = kStandardReportSize;
constexpr size_t kLongReport = kLongReportSize;

// The columns of the chip family table, with "", 0 or "" for an unknown type.
// Canonical family name.
const char* familyName(int32_t type);
// Case-insensitive inverse of familyName; 0 when unknown.
int32_t familyFromName(const std::string& name);
// Product id text a fresh chip of the family reports.
std::string defaultProductIdText(int32_t type);

// A configuration block of `size` bytes whose version is `version` and whose
// check bytes are right for the family: 5410 bytes 0-3 sum to 0 (8 bits);
// 5415R b0+b1+b2 == b3+b4; fjord family byte 34 is the version and bytes
// 62-63 hold the little-endian 16-bit sum of bytes 0-61.
std::vector<uint8_t> makeConfiguration(int32_t type, uint8_t version, size_t size = 4096);
// Version byte of a configuration block (byte 0 for 5410 and 5415R, byte 34
// for the fjord family). For an unknown chip type makeConfiguration writes
// no version or check bytes.
uint8_t configurationVersionOf(int32_t type, const std::vector<uint8_t>& config);

enum class ReportPath { standard, long268 };
// The report path of the family's framing row (standard for an unknown type).
ReportPath reportPathOf(int32_t type);

enum class FrameKind { raw, diff, base };
// Sample `index` (0 .. rows*cols-1) of frame number `frame` (counting from 1).
using FramePattern = std::function<int16_t(FrameKind kind, uint32_t frame, uint32_t index)>;
// The pattern of a fresh chip: raw 2000 + index % 100 + frame, base 2000 +
// index % 100, diff (index % 21) - 10 + frame % 3 (negative samples included).
int16_t defaultFramePattern(FrameKind kind, uint32_t frame, uint32_t index);

// Value the flash status register takes when a flash block's checksum does
// not match the RAM buffer (the block is not flashed).
constexpr uint8_t kFlashChecksumError = 0xEE;

// One block flashed by a flash-block command.
struct FlashBlock {
    uint32_t addr = 0;
    uint32_t len = 0;
};

// Virtual-time latencies of the chip.
struct ChipTiming {
    uint32_t commandMs = 2;       // command written -> acknowledgement visible
    uint32_t patchMs = 20;        // switch to patch -> patch ready value
    uint32_t flashMs = 20;        // flash block command -> flash acknowledgement
    uint32_t framePeriodMs = 10;  // data mode entered / frame acknowledged -> next frame
};

enum class FirmwareMode { normal, patch, update };

class EmulatedChip : public ReportDescriber {
  public:
    explicit EmulatedChip(int32_t type, VirtualClock* clock = nullptr);

    int32_t type() const { return type_; }
    const ChipProfile& profile() const { return profile_; }
    ReportPath path() const { return path_; }
    size_t reportSize() const { return path_ == ReportPath::standard ? kShortReport : kLongReport; }
    void setClock(VirtualClock* clock);
    uint64_t nowMs() const { return clock_ ? clock_->elapsedMs() : 0; }
    ChipTiming& timing() { return timing_; }

    // ---- Wire side, called by the emulated host ----
    // One output report as it arrived; false when the chip refused it (the
    // host call then fails).
    bool receiveReport(const uint8_t* report, size_t length, ReportPath via);
    // Standard path: the answer to the read request written just before.
    bool answerInputReport(uint8_t* report, size_t length, uint32_t* osError);
    // fjordK8 path: the next queued report, or timeout when none is queued
    // (the virtual clock advances by the timeout).
    HidReadResult nextQueuedReport(uint8_t reportId, uint8_t* report, size_t length, int timeoutMs,
                                   size_t* received, uint32_t* osError);
    // 268-byte path served to a host that queues the answers itself (the
    // kernel, through uhid): the next answer as it stands now, false when
    // none is queued. A late answer is held back until takeLateAnswer()
    // (when the host's wait is over). Each answer taken enters the
    // transcript; one whose transfer is to fail is dropped instead.
    bool takeAnswer(std::vector<uint8_t>* report);
    bool hasLateAnswer() const { return lateAnswer_.has_value(); }
    bool takeLateAnswer(std::vector<uint8_t>* report);
    // Drops the late answer held back (the host has moved on), saying why.
    void withholdLateAnswer(const std::string& why);
    // Drops the answer the next input report would deliver (lost in transit).
    void discardAnswer();
    // fjordK8 path: drops every report already queued for the host (what a
    // host that drains its queue before a request does); the number dropped.
    size_t dropQueuedReports();
    // The fault, if any, on an output report on its way to the chip: a lost
    // or failed report enters the transcript with its bytes, a disappearance
    // with the rule (the host then makes the device vanish).
    std::optional<FaultDo> outputFault(const uint8_t* report, size_t length);
    // What the chip makes of a report, for the transcript.
    std::string describeReport(const uint8_t* report, size_t length) const;
    std::string describeOutput(const uint8_t* report, size_t length) const override {
        return describeReport(report, length);
    }
    std::string describeAnswer(const uint8_t* report, size_t length, uint32_t addr) const override;
    // Transcript entries and protocol errors noticed by the host.
    void record(TranscriptEntry::Kind kind, const std::string& text,
                const std::vector<uint8_t>& bytes = {});
    // An open or close of the interface at `path` (entry text `text`).
    void recordHost(const std::string& text, const std::string& path);
    void protocolError(const std::string& text);

    // ---- Identity ----
    void setProductId(const std::string& text) { regs_.setProductId(text); }  // up to 8 characters
    std::string productId() const { return regs_.productId(); }
    void setVersionId(const std::array<uint8_t, 4>& vid) { regs_.setVersionId(vid); }
    std::array<uint8_t, 4> versionId() const { return regs_.versionId(); }
    void setSensorId(uint8_t sid) { regs_.setSensorId(sid); }
    uint8_t sensorId() const { return regs_.sensorId(); }

    // ---- Configuration ----
    void setConfiguration(const std::vector<uint8_t>& config);
    const std::vector<uint8_t>& configuration() const { return regs_.config; }
    uint8_t configurationVersion() const { return configurationVersionOf(type_, regs_.config); }
    CfgSession cfgSession() const { return regs_.session; }
    // 5415R: answer a finished download with 7E 00 07 instead of the ready value.
    void setAlternateFinishAnswer(bool on) { alternateFinish_ = on; }

    // ---- Flash and firmware update ----
    const SparseMemory& flash() const { return flash_; }
    std::vector<uint8_t> readFlash(uint32_t addr, size_t n) const { return flash_.read(addr, n); }
    // Blocks flashed since the last restart, in the order they were flashed.
    const std::vector<FlashBlock>& flashedSinceRestart() const { return flashedSinceRestart_; }
    int restarts() const { return restarts_; }

    // ---- Touch data ----
    // Samples per frame the sensor delivers (defaults fit between the family's
    // frame blocks); each block is rows * cols two-byte samples.
    void setSensorSize(uint32_t rows, uint32_t cols);
    uint32_t sensorRows() const { return sensorRows_; }
    uint32_t sensorCols() const { return sensorCols_; }
    void setFramePattern(FramePattern pattern) { pattern_ = std::move(pattern); }
    // Frames published since the chip was built (or its state loaded).
    uint32_t frameNumber() const { return frameNumber_; }

    // ---- Registers ----
    SparseMemory& registers() { return regs_.memory; }
    const SparseMemory& registers() const { return regs_.memory; }
    void writeRegisters(uint32_t addr, const std::vector<uint8_t>& bytes);
    // What a register read request at `addr` would answer now (no override consumed).
    std::vector<uint8_t> peekRegisters(uint32_t addr, size_t n) const;
    // The next `times` read requests starting at `addr` answer `bytes` (padded
    // with the register contents or cut to the requested length); kForever
    // keeps the override until clearOverrides().
    void overrideRead(uint32_t addr, const std::vector<uint8_t>& bytes, int times = 1) {
        regs_.addOverride(addr, bytes, times);
    }
    void clearOverrides() { regs_.clearOverrides(); }

    // ---- Chip state ----
    bool reportingEnabled() const { return reporting_; }
    bool inDataMode() const { return dataMode_; }
    FirmwareMode firmwareMode() const { return mode_; }

    // ---- Faults, transcript, protocol errors ----
    FaultScript& faults() { return faults_; }
    bool addFault(const FaultRule& rule) { return faults_.add(rule); }
    const Transcript& transcript();
    // Recording is on from construction. Off, nothing more enters the
    // transcript (touchfw-emu when no transcript file is asked for: a
    // transcript holds every report, several times the image's size).
    void setTranscriptRecording(bool on) { recording_ = on; }
    const std::vector<std::string>& protocolErrors() const { return protocolErrors_; }
    void clearProtocolErrors() { protocolErrors_.clear(); }
    // Counters of what crossed the wire.
    int outputReports() const { return outputReports_; }
    int readRequests() const { return readRequests_; }
    int commandsSeen(ChipCommand command) const;

    // ---- Persistence ----
    // Runs every pending delayed effect (as if enough time had passed).
    void flushEffects();
    std::string saveState();
    bool loadState(const std::string& text, std::string* error);
    bool saveStateFile(const std::string& path, std::string* error);
    bool loadStateFile(const std::string& path, std::string* error);

  private:
    // The fjord family's configuration and command protocol: a 64-byte
    // configuration block, commands acknowledged through cfgCmdAck.
    bool fjordProtocol() const { return familyOf(type_).cfg == CfgKind::fjord; }

    // A report entry; its words are formatted only when asked for unless
    // `text` is given.
    void recordReport(TranscriptEntry::Kind kind, std::vector<uint8_t> bytes, bool plainPath,
                      uint32_t addr = 0, std::string text = {});

    struct Answer {
        std::vector<uint8_t> bytes;
        uint32_t addr = 0;  // of the read request it answers
        std::string text;   // set only when the bytes alone would mislead
        bool failTransfer = false;
        bool late = false;  // came after the host stopped waiting for it
        int request = 0;    // number of the read request it answers
    };

    void freshState();
    void writeState(std::ostream& out);
    bool readState(std::istream& in, std::string* error);
    void syncWaits();
    void settle();
    void after(uint32_t ms, std::function<void()> fn);
    bool reject(const std::string& text);
    // Refuses an input report request: a protocol error, `code` for the host.
    bool refuseInput(const std::string& text, uint32_t code, uint32_t* osError);
    // Hands an answer over to the host, copied into `report` and recorded as
    // an input on the 268-byte path when `plain`; false (with *osError) when
    // its transfer fails.
    bool handOver(Answer answer, uint8_t* report, bool plain, uint32_t* osError);
    bool handOver(Answer answer, std::vector<uint8_t>* report);

    bool handleRegisterFrame(const uint8_t* r, size_t length);
    bool handleRawCommand(const uint8_t* r, size_t length);
    void noteAbandoned(const std::string& note);
    void handleReadRequest(uint32_t addr, uint32_t len);
    // The framing whose answer layout the chip uses (version 2 when it has none).
    const Framing& answerFraming() const;
    Answer makeAnswer(uint32_t addr, uint32_t lengthField, const std::vector<uint8_t>& data) const;
    void writeComplete(uint32_t start, const std::vector<uint8_t>& data);

    void runCommand(ChipCommand command);
    void ackFjord(std::optional<FaultDo> fault, const Seq10& value);
    // The fjord family acknowledges through cfgCmdAck, the others with the
    // command register's `ready` value.
    void acknowledge(std::optional<FaultDo> fault, uint8_t ready);
    void answerReportQuery(std::optional<FaultDo> fault);
    void startConfigDownload(std::optional<FaultDo> fault);
    void finishConfigDownload(std::optional<FaultDo> fault);
    void setByteLater(uint32_t addr, uint8_t value, uint32_t ms, std::optional<FaultDo> fault);

    // Raw command reports and the update flow.
    bool runRawCommand(ChipCommand command, const uint8_t* r);
    void flashBlock(const uint8_t* r, std::optional<FaultDo> fault);
    void restart(std::optional<FaultDo> fault);

    // Touch-data frames.
    void scheduleFrame();
    void publishFrame();

    int32_t type_;
    ChipProfile profile_;
    ReportPath path_;
    VirtualClock* clock_ = nullptr;
    size_t waitCursor_ = 0;
    ChipTiming timing_;

    // Persistent chip state.
    RegisterMap regs_;
    SparseMemory flash_{0xFF};
    FirmwareMode mode_ = FirmwareMode::normal;
    bool reporting_ = true;
    bool dataMode_ = false;
    uint32_t frameNumber_ = 0;
    std::vector<FlashBlock> flashedSinceRestart_;

    // Wire state.
    FrameDecoder decoder_;
    std::optional<Answer> pendingAnswer_;
    bool answerWithheld_ = false;
    std::vector<uint8_t> lastInput_;
    std::deque<Answer> queue_;
    std::optional<Answer> lateAnswer_;  // queued when the host's next wait expires
    EffectQueue effects_;
    bool alternateFinish_ = false;
    bool frameScheduled_ = false;
    int restarts_ = 0;
    uint32_t sensorRows_ = 0;
    uint32_t sensorCols_ = 0;
    FramePattern pattern_ = defaultFramePattern;

    FaultScript faults_;
    Transcript transcript_;
    bool recording_ = true;
    std::vector<std::string> protocolErrors_;
    int outputReports_ = 0;
    int readRequests_ = 0;
    std::map<ChipCommand, int> commandCounts_;
};

}  // namespace emu
