// The emulated chip's touch-data frames: in data mode a frame of raw,
// difference and baseline samples is published behind the ready flag one
// frame period after data mode was entered or the previous frame was
// acknowledged (the ready flag cleared).
#include <algorithm>
#include <string>

#include "emu/EmulatedChip.h"

namespace emu {

void EmulatedChip::scheduleFrame() {
    if (!dataMode_ || frameScheduled_)
        return;
    frameScheduled_ = true;
    after(std::max<uint32_t>(timing_.framePeriodMs, 1), [this] {
        frameScheduled_ = false;
        publishFrame();
    });
}

void EmulatedChip::publishFrame() {
    if (!dataMode_)
        return;
    std::string which;
    if (faults_.check(FaultOn::frame, ChipCommand::none, 0, &which)) {
        record(TranscriptEntry::Kind::fault, which);
        if (!effects_.flushing())
            scheduleFrame();  // the chip tries again a period later
        return;
    }
    ++frameNumber_;
    const uint32_t samples = sensorRows_ * sensorCols_;
    const struct {
        FrameKind kind;
        uint32_t addr;
    } blocks[] = {
        {FrameKind::raw, profile_.rawDataAddr},
        {FrameKind::diff, profile_.diffDataAddr},
        {FrameKind::base, profile_.baseDataAddr},
    };
    for (const auto& block : blocks) {
        for (uint32_t i = 0; i < samples; ++i) {
            const uint16_t v = static_cast<uint16_t>(pattern_(block.kind, frameNumber_, i));
            const uint8_t hi = static_cast<uint8_t>(v >> 8);
            const uint8_t lo = static_cast<uint8_t>(v & 0xFF);
            regs_.memory.set(block.addr + 2 * i, profile_.dataBigEndian ? hi : lo);
            regs_.memory.set(block.addr + 2 * i + 1, profile_.dataBigEndian ? lo : hi);
        }
    }
    regs_.memory.set(
        profile_.dataReadyAddr,
        static_cast<uint8_t>(regs_.memory.get(profile_.dataReadyAddr) | profile_.dataReadyMask));
    record(TranscriptEntry::Kind::note, "frame " + std::to_string(frameNumber_) + " ready");
}

}  // namespace emu
