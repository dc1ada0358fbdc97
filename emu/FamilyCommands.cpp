#include "emu/FamilyCommands.h"

#include <algorithm>

namespace emu {

namespace {

// A command and the profile's byte sequence for it.
template <typename Seq>
struct SeqRow {
    const Seq& seq;
    ChipCommand command;
};

// The command of the first row whose sequence is `bytes`; none when no row's is.
template <typename Seq, size_t N>
ChipCommand commandOf(const SeqRow<Seq> (&rows)[N], const std::vector<uint8_t>& bytes) {
    for (const SeqRow<Seq>& row : rows) {
        if (!row.seq.empty() && row.seq.size() == bytes.size() &&
            std::equal(bytes.begin(), bytes.end(), row.seq.data)) {
            return row.command;
        }
    }
    return ChipCommand::none;
}

// Offset of the count byte in a raw command report.
constexpr size_t kRawCountAt = 4;

}  // namespace

ChipCommand decodeRegisterCommand(const ChipProfile& p, const std::vector<uint8_t>& bytes) {
    const SeqRow<Seq12> wide[] = {
        {p.cfgStartCmd, ChipCommand::cfgStart},
        {p.cfgFinishCmd, ChipCommand::cfgFinish},
    };
    const SeqRow<Seq10> narrow[] = {
        {p.cfgResetCmd, ChipCommand::cfgSessionEnd},
        {p.cfgWriteDoneCmd, ChipCommand::cfgWriteDone},
        {p.cfgReadStartCmd, ChipCommand::cfgReadStart},
        {p.cfgReadEndCmd, ChipCommand::cfgReadEnd},
        {p.disableReportCmd, ChipCommand::reportDisable},
        {p.enableReportCmd, ChipCommand::reportEnable},
        {p.reportQueryCmd, ChipCommand::reportQuery},
        {p.dataModeCmd, ChipCommand::dataMode},
        {p.normalModeCmd, ChipCommand::normalMode},
    };
    const ChipCommand command = commandOf(wide, bytes);
    return command != ChipCommand::none ? command : commandOf(narrow, bytes);
}

RawCommand decodeRawCommand(const ChipProfile& p, uint8_t sub) {
    const SeqRow<Seq12> rows[] = {
        {p.switchToPatchCmd, ChipCommand::switchToPatch},
        {p.enterUpdateCmd, ChipCommand::enterUpdate},
        {p.flashBlockCmd, ChipCommand::flashBlock},
        {p.restartCmd, ChipCommand::restart},
        {p.flashPrepareCmd, ChipCommand::flashPrepare},
    };
    RawCommand raw;
    for (const auto& row : rows) {
        if (row.seq.size() < 2 || row.seq.data[1] != sub)
            continue;
        raw.command = row.command;
        raw.count = row.seq.size() > kRawCountAt ? row.seq.data[kRawCountAt] : 0;
        raw.bytes = &row.seq;
        break;
    }
    return raw;
}

namespace {

using Answer = std::vector<uint8_t>;

// check seed, status, check byte making the 8-bit sum 0; at cmdAddr
Answer answer5410(const ChipProfile& p, uint8_t status, bool corrupt, uint32_t* addr) {
    uint8_t check = static_cast<uint8_t>(0x100 - ((p.reportCheckSeed + status) & 0xFF));
    if (corrupt)
        ++check;
    *addr = p.cmdAddr;
    return {p.reportCheckSeed, status, check};
}

// 0x35, 0x00, status, checksum (sum of the three + 5, little-endian)
Answer answerFjordH3(const ChipProfile&, uint8_t status, bool corrupt, uint32_t*) {
    uint16_t sum = static_cast<uint16_t>(0x35 + 0x00 + status + 5);
    if (corrupt)
        ++sum;
    return {0x35, 0x00, status, static_cast<uint8_t>(sum & 0xFF), static_cast<uint8_t>(sum >> 8)};
}

// 0x35, status, checksum (sum of the two, little-endian)
Answer answerCorvina(const ChipProfile&, uint8_t status, bool corrupt, uint32_t*) {
    uint16_t sum = static_cast<uint16_t>(0x35 + status);
    if (corrupt)
        ++sum;
    return {0x35, status, static_cast<uint8_t>(sum & 0xFF), static_cast<uint8_t>(sum >> 8)};
}

// The status answer of each report control kind; nullptr: the family has none.
Answer (*const kStatusAnswers[])(const ChipProfile&, uint8_t, bool, uint32_t*) = {
    nullptr, nullptr, answer5410, nullptr, answerFjordH3, answerCorvina,
};

}  // namespace

std::vector<uint8_t> reportStatusAnswer(int32_t type, const ChipProfile& p, uint8_t status,
                                        bool corrupt, uint32_t* addr) {
    *addr = p.reportStatusAddr;
    const auto answer = wayOf(kStatusAnswers, familyOf(type).reportControl);
    return answer != nullptr ? answer(p, status, corrupt, addr) : Answer{};
}

}  // namespace emu
