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
#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "emu/EmulatedChip.h"
#include "sys/Bytes.h"

namespace emu {

namespace {

constexpr const char* kMagic = "touchfw-emu-state 1";

// Moves `from` over `to` in one step (rename does not replace on Windows).
bool replaceFile(const std::string& from, const std::string& to) {
#if defined(_WIN32)
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(from.c_str(), to.c_str()) == 0;
#endif
}

std::string toHex(const uint8_t* data, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

bool fromHex(const std::string& text, std::vector<uint8_t>* out) {
    if (text.size() % 2 != 0)
        return false;
    out->clear();
    out->reserve(text.size() / 2);
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = hexDigitValue(text[i]);
        const int lo = hexDigitValue(text[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out->push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

bool parseAddress(const std::string& text, uint32_t* addr) {
    if (text.size() < 3 || text.size() > 10 || text[0] != '0' || text[1] != 'x')
        return false;
    uint32_t value = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        const int d = hexDigitValue(text[i]);
        if (d < 0)
            return false;
        value = value * 16 + static_cast<uint32_t>(d);
    }
    *addr = value;
    return true;
}

// A decimal count from 0 to `limit`.
bool parseCount(const std::string& text, uint32_t limit, uint32_t* out) {
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > limit)
        return false;
    *out = static_cast<uint32_t>(value);
    return true;
}

const char* modeName(FirmwareMode mode) {
    switch (mode) {
        case FirmwareMode::normal:
            return "normal";
        case FirmwareMode::patch:
            return "patch";
        case FirmwareMode::update:
            return "update";
    }
    return "normal";
}

const char* sessionName(CfgSession session) {
    switch (session) {
        case CfgSession::idle:
            return "idle";
        case CfgSession::downloading:
            return "downloading";
        case CfgSession::written:
            return "written";
        case CfgSession::reading:
            return "reading";
    }
    return "idle";
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
    out << "firmware-mode " << modeName(mode_) << "\n";
    out << "cfg-session " << sessionName(regs_.session) << "\n";
    out << "config " << toHex(regs_.config.data(), regs_.config.size()) << "\n";
    if (!regs_.pending.empty())
        out << "pending " << toHex(regs_.pending.data(), regs_.pending.size()) << "\n";
    out << "frame " << frameNumber_ << "\n";
    char addr[16];
    for (const auto& page : regs_.memory.pages()) {
        std::snprintf(addr, sizeof addr, "0x%08X", page.first);
        out << "reg " << addr << " " << toHex(page.second.data(), page.second.size()) << "\n";
    }
    for (const auto& page : flash_.pages()) {
        std::snprintf(addr, sizeof addr, "0x%08X", page.first);
        out << "flash " << addr << " " << toHex(page.second.data(), page.second.size()) << "\n";
    }
    for (const FlashBlock& block : flashedSinceRestart_) {
        std::snprintf(addr, sizeof addr, "0x%08X", block.addr);
        out << "block " << addr << " " << block.len << "\n";
    }
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

    SparseMemory memory;
    SparseMemory flash(0xFF);
    std::vector<uint8_t> config;
    std::vector<uint8_t> pending;
    std::vector<FlashBlock> blocks;
    uint32_t frame = 0;
    bool reporting = true;
    bool dataMode = false;
    FirmwareMode mode = FirmwareMode::normal;
    CfgSession session = CfgSession::idle;
    bool familySeen = false;
    bool ended = false;
    int lineNo = 1;
    while (std::getline(in, line)) {
        ++lineNo;
        const std::string where = "line " + std::to_string(lineNo) + ": ";
        std::istringstream fields(line);
        std::string key;
        std::string value;
        std::string extra;
        fields >> key >> value;
        if (key == "end") {
            ended = true;
            break;
        }
        if (key == "reg" || key == "flash") {
            std::string hex;
            fields >> hex;
            uint32_t addr = 0;
            std::vector<uint8_t> bytes;
            if (!parseAddress(value, &addr) || addr % SparseMemory::kPageSize != 0 ||
                !fromHex(hex, &bytes) || bytes.size() != SparseMemory::kPageSize) {
                return fail(where + "bad " + (key == "reg" ? "register" : "flash") + " page");
            }
            SparseMemory::Page page;
            std::copy(bytes.begin(), bytes.end(), page.begin());
            (key == "reg" ? memory : flash).setPage(addr, page);
        } else if (key == "block") {
            std::string lenText;
            fields >> lenText;
            uint32_t addr = 0;
            if (!parseAddress(value, &addr) ||
                !parseCount(lenText, 4096, &blocks.emplace_back().len)) {
                return fail(where + "bad flashed block");
            }
            blocks.back().addr = addr;
        } else if (key == "frame") {
            if (!parseCount(value, 0xFFFFFFFFu, &frame))
                return fail(where + "bad frame number");
        } else if (key == "pending") {
            if (!fromHex(value, &pending) || pending.size() > kMaxConfigSize) {
                return fail(where + "bad pending configuration");
            }
        } else if (key == "family") {
            if (value != familyName(type_)) {
                return fail(where + "state of family " + value + ", not " + familyName(type_));
            }
            familySeen = true;
        } else if (key == "reporting" || key == "data-mode") {
            if (value != "0" && value != "1")
                return fail(where + "bad flag");
            (key == "reporting" ? reporting : dataMode) = value == "1";
        } else if (key == "firmware-mode") {
            if (value == "normal") {
                mode = FirmwareMode::normal;
            } else if (value == "patch") {
                mode = FirmwareMode::patch;
            } else if (value == "update") {
                mode = FirmwareMode::update;
            } else {
                return fail(where + "bad firmware mode");
            }
        } else if (key == "cfg-session") {
            if (value == "idle") {
                session = CfgSession::idle;
            } else if (value == "downloading") {
                session = CfgSession::downloading;
            } else if (value == "written") {
                session = CfgSession::written;
            } else if (value == "reading") {
                session = CfgSession::reading;
            } else {
                return fail(where + "bad configuration session");
            }
        } else if (key == "config") {
            if (!fromHex(value, &config))
                return fail(where + "bad configuration bytes");
        } else {
            return fail(where + "unknown entry \"" + key + "\"");
        }
        if (fields >> extra)
            return fail(where + "unexpected \"" + extra + "\"");
    }
    if (!familySeen)
        return fail("no family entry");
    if (!ended)
        return fail("state file is cut short");

    regs_.memory = std::move(memory);
    flash_ = std::move(flash);
    regs_.config = std::move(config);
    regs_.pending = std::move(pending);
    flashedSinceRestart_ = std::move(blocks);
    frameNumber_ = frame;
    reporting_ = reporting;
    dataMode_ = dataMode;
    mode_ = mode;
    regs_.session = session;
    return true;
}

bool EmulatedChip::saveStateFile(const std::string& path, std::string* error) {
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        writeState(out);
        out.flush();
        if (!out) {
            if (error)
                *error = "cannot write " + temp;
            std::remove(temp.c_str());
            return false;
        }
    }
    if (!replaceFile(temp, path)) {
        if (error)
            *error = "cannot replace " + path;
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

bool EmulatedChip::loadStateFile(const std::string& path, std::string* error) {
    // A FIFO or device at the path is refused instead of waited on; the
    // state is then streamed, never held whole (it is larger than the flash).
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        if (error)
            *error = "cannot open " + path + (ec ? "" : ": not a regular file");
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot open " + path;
        return false;
    }
    std::string why;
    if (!readState(in, &why)) {
        if (error)
            *error = path + ": " + why;
        return false;
    }
    return true;
}

}  // namespace emu
