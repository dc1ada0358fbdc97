// The emulated chip's raw command reports: switch to the update patch,
// enter the update program, flash one block from the RAM buffer (checksum
// verified), the fjordK8 flash preparation, and the restart that brings up
// the identity and configuration that were flashed.
#include <algorithm>

#include "emu/EmulatedChip.h"
#include "fw/FwImage.h"
#include "sys/Bytes.h"

namespace emu {

namespace {

// Flash block checksums over 16-bit words; an odd block's last word counts
// its missing second byte as zero.
uint32_t wordSumBigEndian16(const std::vector<uint8_t>& data) {
    uint32_t sum = 0;
    for (size_t i = 0; i < data.size(); i += 2) {
        const uint32_t lo = i + 1 < data.size() ? data[i + 1] : 0;
        sum = (sum + ((static_cast<uint32_t>(data[i]) << 8) | lo)) & 0xFFFF;
    }
    return sum;
}

uint32_t wordSumLittleEndian32(const std::vector<uint8_t>& data) {
    uint32_t sum = 0;
    for (size_t i = 0; i < data.size(); i += 2) {
        const uint32_t hi = i + 1 < data.size() ? data[i + 1] : 0;
        sum += data[i] | (hi << 8);  // wraps modulo 2^32
    }
    return sum;
}

constexpr uint32_t kBlockLimit = 4096;  // size of the chip's RAM buffer

}  // namespace

bool EmulatedChip::runRawCommand(ChipCommand command, const uint8_t* r) {
    ++commandCounts_[command];
    std::string which;
    const std::optional<FaultDo> fault = faults_.check(FaultOn::command, command, 0, &which);
    if (fault)
        record(TranscriptEntry::Kind::fault, which);

    switch (command) {
        case ChipCommand::switchToPatch:
            mode_ = FirmwareMode::patch;
            regs_.memory.set(profile_.patchStatusAddr, 0x00);
            setByteLater(profile_.patchStatusAddr, profile_.patchReadyValue, timing_.patchMs,
                         fault);
            break;
        case ChipCommand::enterUpdate:
            if (mode_ == FirmwareMode::normal) {
                protocolError("enter update without the update patch running");
                break;
            }
            mode_ = FirmwareMode::update;
            break;
        case ChipCommand::flashBlock:
            if (mode_ != FirmwareMode::update) {
                protocolError("flash block command outside the update program");
                break;
            }
            flashBlock(r, fault);
            break;
        case ChipCommand::flashPrepare:
            if (mode_ != FirmwareMode::update) {
                protocolError("flash preparation outside the update program");
                break;
            }
            setByteLater(profile_.flashStatusAddr, 0x01, timing_.commandMs, fault);
            break;
        default:
            restart(fault);
            break;
    }
    return true;
}

void EmulatedChip::flashBlock(const uint8_t* r, std::optional<FaultDo> fault) {
    // Families with image layout B send 32-bit flash addresses and checksums;
    // the older ones address bits 23..8 and a 16-bit checksum.
    const FwImageLayout* layout = fwImageLayout(type_);
    const bool wide = layout != nullptr && layout->kind == FwLayoutKind::B;
    const uint32_t len = readBe16(r + 5);
    const uint32_t addr = wide ? readBe32(r + 7) : readBe16(r + 7) << 8;
    const uint32_t sent = wide ? readBe32(r + 11) : readBe16(r + 9);
    regs_.memory.set(profile_.flashStatusAddr, 0x00);
    if (len == 0 || len > kBlockLimit) {
        protocolError("flash block of " + std::to_string(len) + " bytes (allowed 1 to 4096)");
        return;
    }
    const std::vector<uint8_t> ram = regs_.memory.read(profile_.fwBufAddr, len);
    const uint32_t sum = wide ? wordSumLittleEndian32(ram) : wordSumBigEndian16(ram);
    if (sum != sent) {
        protocolError(
            formatText("flash block at 0x%X: checksum 0x%X does not match the RAM buffer (0x%X)",
                       addr, sent, sum));
        setByteLater(profile_.flashStatusAddr, kFlashChecksumError, timing_.flashMs, std::nullopt);
        return;
    }
    flash_.write(addr, ram);
    flashedSinceRestart_.push_back(FlashBlock{addr, len});
    record(TranscriptEntry::Kind::note, formatText("flashed %u bytes at 0x%X", len, addr));
    setByteLater(profile_.flashStatusAddr, profile_.flashAckValue, timing_.flashMs, fault);
}

void EmulatedChip::restart(std::optional<FaultDo> fault) {
    ++restarts_;
    effects_.clear();  // whatever the chip was about to do is lost
    mode_ = FirmwareMode::normal;
    dataMode_ = false;
    frameScheduled_ = false;
    reporting_ = true;
    if (regs_.session != CfgSession::idle) {
        regs_.session = CfgSession::idle;
        regs_.pending.clear();
    }
    regs_.memory.set(profile_.patchStatusAddr, 0x00);
    regs_.memory.set(profile_.flashStatusAddr, 0x00);

    std::vector<FlashBlock> blocks = flashedSinceRestart_;
    std::stable_sort(blocks.begin(), blocks.end(),
                     [](const FlashBlock& a, const FlashBlock& b) { return a.addr < b.addr; });
    // Identity: the first flashed block that starts with the identity block.
    for (const FlashBlock& block : blocks) {
        if (block.len < 16)
            continue;
        const std::vector<uint8_t> head = flash_.read(block.addr, 16);
        if (head[0] != 'T' || head[1] != 'F' || head[2] != 'W' || head[3] != 'I')
            continue;
        regs_.memory.write(profile_.pidAddr, head.data() + 4, 8);
        regs_.memory.write(profile_.vidAddr, head.data() + 12, 4);
        record(TranscriptEntry::Kind::note,
               formatText("identity from the block at 0x%X: ", block.addr) + productId() + " " +
                   hexBytes(head.data() + 12, 4));
        break;
    }
    // Fjord family: configuration flashed at cfgFlashAddr becomes the active one.
    if (familyOf(type_).has(TRAIT_CFG_WITH_FIRMWARE) && profile_.cfgFlashAddr != 0) {
        uint32_t extent = 0;
        for (bool grew = true; grew && extent < kMaxConfigSize;) {
            grew = false;
            for (const FlashBlock& block : blocks) {
                if (block.addr == profile_.cfgFlashAddr + extent) {
                    extent += block.len;
                    grew = true;
                    break;
                }
            }
        }
        if (extent > 0) {
            regs_.config =
                flash_.read(profile_.cfgFlashAddr, std::min<size_t>(extent, kMaxConfigSize));
            record(TranscriptEntry::Kind::note,
                   "configuration of " + std::to_string(regs_.config.size()) +
                       " bytes from flash, version " + std::to_string(configurationVersion()));
        }
    }
    if (fault == FaultDo::wrongVid) {
        std::array<uint8_t, 4> vid = regs_.versionId();
        vid[3] = static_cast<uint8_t>(vid[3] + 1);
        setVersionId(vid);
    }
    flashedSinceRestart_.clear();
    record(TranscriptEntry::Kind::note,
           "restarted: " + productId() + " " + hexBytes(versionId().data(), 4));
}

}  // namespace emu
