// Saving and loading the emulated chip's state as text, so that touchfw-emu
// runs see what earlier runs left in the chip.
//
//   touchfw-emu-state 1
//   family fjordK
//   reporting 1
//   data-mode 0
//   firmware-mode normal
//   cfg-session idle
//   config <hex bytes>
//   pending <hex bytes>                    (a configuration download under way)
//   frame 12                               (frames published so far)
//   reg 0x00010000 <256 bytes in hex>      (one line per register page written)
//   flash 0x00040000 <256 bytes in hex>    (one line per flash page written)
//   block 0x00040000 4096                  (flashed since the last restart)
//   end
#include <sstream>

#include "emu/EmulatedChip.h"
#include "sys/Bytes.h"
#include "sys/Files.h"

namespace emu {

namespace {

constexpr const char* kMagic = "touchfw-emu-state 1";

bool fromHex(const std::string& text, std::vector<uint8_t>* out) {
    if (text.size() % 2 != 0)
        return false;
    out->resize(text.size() / 2);
    return decodeHex(text.data(), out->size(), out->data());
}

bool parseAddress(const std::string& text, uint32_t* addr) {
    uint64_t value = 0;
    if (text.size() < 3 || text[0] != '0' || text[1] != 'x' ||
        !parseDigits(text.substr(2), 16, 8, &value))
        return false;
    *addr = static_cast<uint32_t>(value);
    return true;
}

// A decimal count from 0 to `limit`.
bool parseCount(const std::string& text, uint32_t limit, uint32_t* out) {
    uint64_t value = 0;
    if (!parseDigits(text, 10, 10, &value) || value > limit)
        return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

template <typename T>
struct Named {
    const char* name;
    T value;
};

const Named<FirmwareMode> kModes[] = {
    {"normal", FirmwareMode::normal},
    {"patch", FirmwareMode::patch},
    {"update", FirmwareMode::update},
};

const Named<CfgSession> kSessions[] = {
    {"idle", CfgSession::idle},
    {"downloading", CfgSession::downloading},
    {"written", CfgSession::written},
    {"reading", CfgSession::reading},
};

// The name of `value` in `table`; the first name when it has none.
template <typename T, size_t N>
const char* nameOf(const Named<T> (&table)[N], T value) {
    for (const Named<T>& row : table) {
        if (row.value == value)
            return row.name;
    }
    return table[0].name;
}

template <typename T, size_t N>
bool valueOf(const Named<T> (&table)[N], const std::string& name, T* value) {
    for (const Named<T>& row : table) {
        if (name == row.name) {
            *value = row.value;
            return true;
        }
    }
    return false;
}

// The state a file describes; the chip takes it over only when the whole
// file reads.
struct LoadedState {
    SparseMemory memory;
    SparseMemory flash{0xFF};
    std::vector<uint8_t> config;
    std::vector<uint8_t> pending;
    std::vector<FlashBlock> blocks;
    uint32_t frame = 0;
    bool reporting = true;
    bool dataMode = false;
    FirmwareMode mode = FirmwareMode::normal;
    CfgSession session = CfgSession::idle;
    bool familySeen = false;
};

// A "reg" or "flash" page or a "block" entry; "" when it reads, else why not.
std::string readMemoryEntry(const std::string& key, const std::string& value, std::istream& fields,
                            LoadedState* state) {
    std::string more;
    fields >> more;
    uint32_t addr = 0;
    if (key == "block") {
        if (!parseAddress(value, &addr) ||
            !parseCount(more, 4096, &state->blocks.emplace_back().len)) {
            return "bad flashed block";
        }
        state->blocks.back().addr = addr;
        return "";
    }
    std::vector<uint8_t> bytes;
    if (!parseAddress(value, &addr) || addr % SparseMemory::kPageSize != 0 ||
        !fromHex(more, &bytes) || bytes.size() != SparseMemory::kPageSize) {
        return std::string("bad ") + (key == "reg" ? "register" : "flash") + " page";
    }
    SparseMemory::Page page;
    std::copy(bytes.begin(), bytes.end(), page.begin());
    (key == "reg" ? state->memory : state->flash).setPage(addr, page);
    return "";
}

// Any other entry of a state file for the family named `family`.
std::string readEntry(const std::string& key, const std::string& value, const std::string& family,
                      LoadedState* state) {
    if (key == "frame")
        return parseCount(value, 0xFFFFFFFFu, &state->frame) ? "" : "bad frame number";
    if (key == "pending") {
        const bool ok = fromHex(value, &state->pending) && state->pending.size() <= kMaxConfigSize;
        return ok ? "" : "bad pending configuration";
    }
    if (key == "config")
        return fromHex(value, &state->config) ? "" : "bad configuration bytes";
    if (key == "family") {
        state->familySeen = value == family;
        return state->familySeen ? "" : "state of family " + value + ", not " + family;
    }
    if (key == "reporting" || key == "data-mode") {
        if (value != "0" && value != "1")
            return "bad flag";
        (key == "reporting" ? state->reporting : state->dataMode) = value == "1";
        return "";
    }
    if (key == "firmware-mode")
        return valueOf(kModes, value, &state->mode) ? "" : "bad firmware mode";
    if (key == "cfg-session")
        return valueOf(kSessions, value, &state->session) ? "" : "bad configuration session";
    return "unknown entry \"" + key + "\"";
}

}  // namespace

std::string EmulatedChip::saveState() {
    std::ostringstream out;
    writeState(out);
    return out.str();
}

// Streams the state page by page: a whole-flash text is never held in memory.
void EmulatedChip::writeState(std::ostream& out) {
    flushEffects();
    out << kMagic << "\n";
    out << "family " << familyName(type_) << "\n";
    out << "reporting " << (reporting_ ? 1 : 0) << "\n";
    out << "data-mode " << (dataMode_ ? 1 : 0) << "\n";
    out << "firmware-mode " << nameOf(kModes, mode_) << "\n";
    out << "cfg-session " << nameOf(kSessions, regs_.session) << "\n";
    out << "config " << hexText(regs_.config.data(), regs_.config.size()) << "\n";
    if (!regs_.pending.empty())
        out << "pending " << hexText(regs_.pending.data(), regs_.pending.size()) << "\n";
    out << "frame " << frameNumber_ << "\n";
    const std::pair<const char*, const SparseMemory*> memories[] = {{"reg", &regs_.memory},
                                                                    {"flash", &flash_}};
    for (const auto& [key, memory] : memories) {
        for (const auto& page : memory->pages()) {
            out << key << formatText(" 0x%08X ", page.first)
                << hexText(page.second.data(), page.second.size()) << "\n";
        }
    }
    for (const FlashBlock& block : flashedSinceRestart_)
        out << formatText("block 0x%08X %u\n", block.addr, block.len);
    out << "end\n";
}

bool EmulatedChip::loadState(const std::string& text, std::string* error) {
    std::istringstream in(text);
    return readState(in, error);
}

bool EmulatedChip::readState(std::istream& in, std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    std::string line;
    if (!std::getline(in, line) || line != kMagic)
        return fail("not a touchfw-emu state file");

    LoadedState state;
    bool ended = false;
    int lineNo = 1;
    while (std::getline(in, line)) {
        ++lineNo;
        std::istringstream fields(line);
        std::string key;
        std::string value;
        std::string extra;
        fields >> key >> value;
        if (key == "end") {
            ended = true;
            break;
        }
        std::string why = key == "reg" || key == "flash" || key == "block"
                              ? readMemoryEntry(key, value, fields, &state)
                              : readEntry(key, value, familyName(type_), &state);
        if (why.empty() && fields >> extra)
            why = "unexpected \"" + extra + "\"";
        if (!why.empty())
            return fail("line " + std::to_string(lineNo) + ": " + why);
    }
    if (!state.familySeen)
        return fail("no family entry");
    if (!ended)
        return fail("state file is cut short");

    regs_.memory = std::move(state.memory);
    flash_ = std::move(state.flash);
    regs_.config = std::move(state.config);
    regs_.pending = std::move(state.pending);
    flashedSinceRestart_ = std::move(state.blocks);
    frameNumber_ = state.frame;
    reporting_ = state.reporting;
    dataMode_ = state.dataMode;
    mode_ = state.mode;
    regs_.session = state.session;
    return true;
}

bool EmulatedChip::saveStateFile(const std::string& path, std::string* error) {
    // Written whole beside the state file, then renamed over it: a reader
    // sees the old state or the new one, and no link planted in the folder
    // is written through.
    ReplacementFile out(path);
    if (out.open()) {
        writeState(out.stream());
        if (out.commit())
            return true;
    }
    if (error)
        *error = out.error();
    return false;
}

bool EmulatedChip::loadStateFile(const std::string& path, std::string* error) {
    // A FIFO or device at the path is refused instead of waited on, and so
    // is a link planted in a folder others may write; the state is then
    // streamed, never held whole (it is larger than the flash).
    RegularFileReader file;
    std::string why;
    if (file.open(path) && readState(file.stream(), &why))
        return true;
    if (error)
        *error = !file.error().empty() ? file.error() : path + ": " + why;
    return false;
}

}  // namespace emu
