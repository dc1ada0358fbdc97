// The emulated chip's register commands (written to cmdAddr): report
// control and the report status answer, data and normal mode, and the
// configuration download and read sessions, each acknowledged the family's
// way after the command latency.
#include "emu/EmulatedChip.h"

namespace emu {

void EmulatedChip::ackFjord(std::optional<FaultDo> fault, const Seq10& value) {
    if (fault == FaultDo::withholdAck)
        return;
    std::vector<uint8_t> ack(value.data, value.data + value.size());
    if (fault == FaultDo::corruptAck) {
        for (uint8_t& b : ack)
            b ^= 0x03;
    }
    const uint32_t addr = profile_.cmdAddr;
    after(timing_.commandMs, [this, addr, ack] { regs_.memory.write(addr, ack); });
}

void EmulatedChip::acknowledge(std::optional<FaultDo> fault, uint8_t ready) {
    if (fjordProtocol()) {
        ackFjord(fault, profile_.cfgCmdAck);
    } else {
        setByteLater(profile_.cmdAddr, ready, timing_.commandMs, fault);
    }
}

void EmulatedChip::setByteLater(uint32_t addr, uint8_t value, uint32_t ms,
                                std::optional<FaultDo> fault) {
    if (fault == FaultDo::withholdAck)
        return;
    if (fault == FaultDo::corruptAck)
        value ^= 0x03;
    after(ms, [this, addr, value] { regs_.memory.set(addr, value); });
}

void EmulatedChip::answerReportQuery(std::optional<FaultDo> fault) {
    if (fault == FaultDo::withholdAck)
        return;
    uint32_t addr = 0;
    const std::vector<uint8_t> answer = reportStatusAnswer(
        type_, profile_, reporting_ ? 0x00 : 0x01, fault == FaultDo::corruptAck, &addr);
    if (answer.empty())
        return;
    after(timing_.commandMs, [this, addr, answer] { regs_.memory.write(addr, answer); });
    if (fjordProtocol())
        ackFjord(std::nullopt, profile_.cfgCmdAck);
}

void EmulatedChip::runCommand(ChipCommand command) {
    ++commandCounts_[command];
    std::string which;
    const std::optional<FaultDo> fault = faults_.check(FaultOn::command, command, 0, &which);
    if (fault)
        record(TranscriptEntry::Kind::fault, which);
    const bool fjord = fjordProtocol();
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
            if (regs_.downloading()) {
                protocolError("configuration read started during a configuration download");
                return;
            }
            regs_.session = CfgSession::reading;
            ackFjord(fault, profile_.cfgCmdAck);
            return;
        case ChipCommand::cfgReadEnd:
            if (regs_.session != CfgSession::reading) {
                protocolError("configuration read ended without a read start");
                return;
            }
            regs_.session = CfgSession::idle;
            ackFjord(fault, profile_.cfgReadEndAck);
            return;
        case ChipCommand::cfgStart:
            startConfigDownload(fault);
            return;
        case ChipCommand::cfgWriteDone:
            if (regs_.session != CfgSession::downloading) {
                protocolError("configuration write done outside a download");
                return;
            }
            regs_.session = CfgSession::written;
            ackFjord(fault, profile_.cfgCmdAck);
            return;
        case ChipCommand::cfgFinish:
            finishConfigDownload(fault);
            return;
        case ChipCommand::cfgSessionEnd:
            if (regs_.downloading()) {
                record(TranscriptEntry::Kind::note, "unfinished configuration download dropped");
                regs_.session = CfgSession::idle;
                regs_.pending.clear();
            }
            return;
        case ChipCommand::dataMode:
            dataMode_ = true;
            acknowledge(fault, profile_.dataModeAck);
            scheduleFrame();
            return;
        case ChipCommand::normalMode:
            dataMode_ = false;
            if (fjord)
                ackFjord(fault, profile_.cfgCmdAck);
            return;
        default:
            protocolError(formatText("command %s is not a register command", commandName(command)));
            return;
    }
}

void EmulatedChip::startConfigDownload(std::optional<FaultDo> fault) {
    if (regs_.downloading()) {
        record(TranscriptEntry::Kind::note, "configuration download started again");
    }
    regs_.session = CfgSession::downloading;
    regs_.pending.clear();
    acknowledge(fault, profile_.cfgStartReadyValue);
}

void EmulatedChip::finishConfigDownload(std::optional<FaultDo> fault) {
    const bool fjord = fjordProtocol();
    const CfgSession wanted = fjord ? CfgSession::written : CfgSession::downloading;
    if (regs_.session != wanted) {
        protocolError(fjord && regs_.session == CfgSession::downloading
                          ? "configuration finish before write done"
                          : "configuration finish outside a download");
        return;
    }
    regs_.session = CfgSession::idle;
    if (regs_.pending.empty()) {
        protocolError("configuration download finished without data");
    } else {
        regs_.config = std::move(regs_.pending);
        record(TranscriptEntry::Kind::note,
               formatText("configuration of %zu bytes taken, version %u", regs_.config.size(),
                          configurationVersion()));
    }
    regs_.pending.clear();
    if (!fjord && alternateFinish_ && !profile_.cfgFinishAltAnswer.empty()) {
        if (fault == FaultDo::withholdAck)
            return;
        std::vector<uint8_t> answer(
            profile_.cfgFinishAltAnswer.data,
            profile_.cfgFinishAltAnswer.data + profile_.cfgFinishAltAnswer.size());
        if (fault == FaultDo::corruptAck)
            answer.back() ^= 0x03;
        const uint32_t addr = profile_.cmdAddr;
        after(timing_.commandMs, [this, addr, answer] { regs_.memory.write(addr, answer); });
    } else {
        acknowledge(fault, profile_.cfgFinishReadyValue);
    }
}

}  // namespace emu
