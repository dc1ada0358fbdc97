// Fault injection for the emulated chip and host, scripted per test (or
// from the TOUCHFW_EMU_FAULT environment variable in touchfw-emu).
//
// A rule names an event (an open, an output or input report, a register
// read or write request, a chip command, a frame), which occurrences it
// affects (skip the first `skip` matching events, then affect `times` of
// them, kForever for all) and what happens. Every rule counts its own
// matching events from the moment it is added; the first rule that fires
// for an event decides.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "chip/ChipProfile.h"

namespace emu {

constexpr int kForever = -1;

// The chip's commands, whatever bytes encode them in a family.
enum class ChipCommand {
    none,
    reportDisable,
    reportEnable,
    reportQuery,
    dataMode,
    normalMode,
    cfgStart,
    cfgWriteDone,
    cfgFinish,
    cfgReadStart,
    cfgReadEnd,
    cfgSessionEnd,  // 5415R: closes a configuration session (no answer)
    switchToPatch,  // raw report 0x10
    enterUpdate,    // raw report 0x11
    flashBlock,     // raw report 0x12
    restart,        // raw report 0x13
    flashPrepare,   // raw report 0x40 (fjordK8)
};

const char* commandName(ChipCommand command);
// Inverse of commandName ("cfg-finish" -> cfgFinish); none when unknown.
ChipCommand commandFromName(const std::string& name);

enum class FaultOn {
    open,          // HidHost::open of the chip's interface
    outputReport,  // any report the tool sends to the chip
    inputReport,   // any report the tool asks the chip for
    readRequest,   // a register read request (optionally at one start address)
    writeRequest,  // one register write report (optionally at its address)
    command,       // a chip command (see ChipCommand)
    frame,         // publication of a touch-data frame
};

enum class FaultDo {
    failTransfer,  // the host call fails; for readRequest: the answer's transfer fails
    dropReport,    // the host call succeeds but the chip never sees the report
    disappear,     // the device vanishes: this and every later call fails
    noAnswer,      // the read request is taken but never answered
    wrongLength,   // the answer's length field is one more than asked
    corruptData,   // the answer's data bytes are inverted
    withholdAck,   // the command's acknowledgement / ready value never appears
    corruptAck,    // the acknowledgement appears with a wrong value or checksum
    wrongVid,      // restart: the version id comes up different from the flashed one
    lateAnswer,    // the answer comes just after the host stopped waiting for it
                   // (268-byte path; on the standard path it never comes)
};

const char* faultOnName(FaultOn on);
const char* faultDoName(FaultDo action);

struct FaultRule {
    FaultOn on = FaultOn::outputReport;
    FaultDo action = FaultDo::failTransfer;
    ChipCommand command = ChipCommand::none;  // FaultOn::command: which (none = any)
    bool anyAddress = true;                   // readRequest / writeRequest
    uint32_t address = 0;
    int skip = 0;
    int times = 1;

    // Run-time counters.
    int seen = 0;
    int fired = 0;

    std::string describe() const;
};

class FaultScript {
  public:
    // False (and nothing added) when the action makes no sense for the event.
    bool add(const FaultRule& rule);
    void clear() { rules_.clear(); }
    const std::vector<FaultRule>& rules() const { return rules_; }

    // Counts one event against every matching rule and returns the action
    // of the first rule that fires (with its description in *which).
    std::optional<FaultDo> check(FaultOn on, ChipCommand command = ChipCommand::none,
                                 uint32_t address = 0, std::string* which = nullptr);

    static bool valid(const FaultRule& rule);

  private:
    std::vector<FaultRule> rules_;
};

// Builders for the common cases ("nth" counts from 1).
namespace faults {
FaultRule failOpen(int times = kForever);
FaultRule failOutputReport(int nth, int times = 1);
FaultRule dropOutputReport(int nth, int times = 1);
FaultRule disappearAtOutputReport(int nth);
FaultRule failInputReport(int nth, int times = 1);
FaultRule failAnswerAt(uint32_t addr, int times = kForever, int skip = 0);
FaultRule noAnswerAt(uint32_t addr, int times = kForever, int skip = 0);
FaultRule wrongLengthAt(uint32_t addr, int times = kForever, int skip = 0);
FaultRule corruptAnswerAt(uint32_t addr, int times = kForever, int skip = 0);
FaultRule lateAnswerAt(uint32_t addr, int times = 1, int skip = 0);
FaultRule dropWriteAt(uint32_t addr, int times = 1, int skip = 0);
FaultRule withholdAck(ChipCommand command, int times = kForever, int skip = 0);
FaultRule corruptAck(ChipCommand command, int times = kForever, int skip = 0);
FaultRule wrongVidAfterRestart(int times = kForever);
FaultRule frameNeverReady(int times = kForever, int skip = 0);
}  // namespace faults

// Parses a fault list such as "fail-open:2;withhold-ack:cfg-finish;bad-ram-check"
// (items separated by ';' or ','); addresses are hexadecimal ("0x10174") or
// a register name of the profile ("cmd", "cfg", "fwbuf", "raw", "diff",
// "base", "pid", "vid", "sid", "patch-status", "flash-status",
// "data-ready", "report-status"). False with a message on the first bad item.
bool parseFaultList(const std::string& text, const ChipProfile& profile,
                    std::vector<FaultRule>* rules, std::string* error);

}  // namespace emu
