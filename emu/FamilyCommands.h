// The command encodings of a chip family as the chip decodes them: register
// commands written to cmdAddr and raw command reports are matched against
// the byte sequences of the family's chip profile; the report status answer
// the chip gives back is built here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "chip/ChipProfile.h"
#include "emu/Faults.h"

namespace emu {

// The register command whose byte sequence in the profile is `bytes`; none
// when the family has no such command.
ChipCommand decodeRegisterCommand(const ChipProfile& profile, const std::vector<uint8_t>& bytes);

// A raw command report the family knows: the command, the count of bytes
// after the count byte, and the profile's fixed report bytes.
struct RawCommand {
    ChipCommand command = ChipCommand::none;
    size_t count = 0;
    const Seq12* bytes = nullptr;
};
// The raw command with operation byte `sub`; command none when unknown.
RawCommand decodeRawCommand(const ChipProfile& profile, uint8_t sub);

// The family's answer to a report status query (`status` 0 reporting, 1 not)
// and the register it lands in; empty when the family answers none.
// `corrupt` spoils its check bytes.
std::vector<uint8_t> reportStatusAnswer(int32_t type, const ChipProfile& profile, uint8_t status,
                                        bool corrupt, uint32_t* addr);

}  // namespace emu
