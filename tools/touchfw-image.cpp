// touchfw-image: builds and inspects firmware image files and writes sample
// configuration files for every chip family touchfw serves.
//
//   touchfw-image build   --chip CHIP --pid TEXT --vid VID (--sub T:A:FILE | --gen T:A:LEN)...
//                         [--no-identity] [--identity-pid TEXT] [--identity-vid VID] -o OUT
//   touchfw-image info    --chip CHIP [--json] FILE
//   touchfw-image cfg     --chip CHIP --version N [--length N] -o OUT
//   touchfw-image cfginfo --chip CHIP [--json] FILE
//   touchfw-image --version
//
// Images are read back with the same image classes touchfw uses, so "info"
// says exactly whether touchfw would accept a file and why not.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/App.h"
#include "cfg/CfgImage.h"
#include "chip/CfgBlock.h"
#include "chip/ChipProfile.h"
#include "fw/FwImage.h"
#include "fw/FwImageBuilder.h"
#include "log/Log.h"
#include "sys/Bytes.h"
#include "sys/Files.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// Sub-firmware types the update flashes when no --fwflag is given (bits 2 and 3).
constexpr uint32_t kDefaultFwFlag = 0x0C;

const char* const kUsage =
    "Usage:\n"
    "  touchfw-image build --chip CHIP --pid TEXT --vid VID\n"
    "                      (--sub TYPE:ADDR:FILE | --gen TYPE:ADDR:LEN)...\n"
    "                      [--no-identity] [--identity-pid TEXT] [--identity-vid VID] -o OUT\n"
    "      Build a firmware image; sub-firmwares enter the table in the order given.\n"
    "      --sub takes the data from FILE, --gen generates LEN deterministic bytes.\n"
    "      Sub-firmware 0 starts with a 16-byte identity block (TFWI, Pid, Vid)\n"
    "      unless --no-identity is given.\n"
    "  touchfw-image info --chip CHIP [--json] FILE\n"
    "      Show what a firmware image holds and whether touchfw would load it.\n"
    "  touchfw-image cfg --chip CHIP --version N [--length N] -o OUT\n"
    "      Write a sample configuration file with configuration version N.\n"
    "  touchfw-image cfginfo --chip CHIP [--json] FILE\n"
    "      Show what a configuration file holds and whether its check bytes are right.\n"
    "      --json prints one JSON object instead (schema: docs/IMAGE-JSON.md).\n"
    "  touchfw-image --version\n"
    "\n"
    "CHIP: 5410, 5415R, fjordK, fjordH3, Corvina, fjordK8, fjordK4 (any case).\n"
    "Numbers are decimal or hexadecimal with 0x. VID: four hex bytes, 01.02.03.04 or\n"
    "01020304. Exit status: 0 success, 1 failure (or an image that would not load),\n"
    "2 command-line error.\n";

// A command-line or input error: the message is printed and the tool ends.
struct Failure {
    int status;
    std::string message;
};

std::string format(const char* fmt, ...) TFW_PRINTF(1, 2);
std::string format(const char* fmt, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

Failure usageError(const std::string& message) {
    return {kExitUsage, message};
}
Failure inputError(const std::string& message) {
    return {kExitFailure, message};
}

// Decimal, or hexadecimal with a 0x prefix; false for anything else or above `max`.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 16)
        return false;
    uint64_t result = 0;
    for (char c : digits) {
        const int digit = hex ? hexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0)
            return false;
        result = result * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
        if (result > max)
            return false;
    }
    value = result;
    return true;
}

// "01.02.03.04" (one or two hex digits per byte) or "01020304".
bool parseVid(const std::string& text, uint8_t vid[4]) {
    std::vector<std::string> parts;
    if (text.find('.') != std::string::npos) {
        size_t start = 0;
        while (true) {
            const size_t dot = text.find('.', start);
            parts.push_back(text.substr(start, dot - start));
            if (dot == std::string::npos)
                break;
            start = dot + 1;
        }
    } else if (text.size() == 8) {
        for (size_t i = 0; i < 8; i += 2)
            parts.push_back(text.substr(i, 2));
    }
    if (parts.size() != 4)
        return false;
    for (size_t i = 0; i < 4; ++i) {
        const std::string& p = parts[i];
        if (p.empty() || p.size() > 2)
            return false;
        int value = 0;
        for (char c : p) {
            const int digit = hexDigitValue(c);
            if (digit < 0)
                return false;
            value = value * 16 + digit;
        }
        vid[i] = static_cast<uint8_t>(value);
    }
    return true;
}

// 1 to 8 printable ASCII characters.
bool validPid(const std::string& text) {
    if (text.empty() || text.size() > kFwPidBytes)
        return false;
    return std::all_of(text.begin(), text.end(), [](char c) { return c > 0x20 && c < 0x7F; });
}

std::string vidText(const uint8_t* vid) {
    return format("%02X %02X %02X %02X", vid[0], vid[1], vid[2], vid[3]);
}

// Reads a whole input file the way touchfw does: without blocking, regular
// files only, and nothing larger than `maxBytes`.
bool readWholeFile(const std::string& path, uint64_t maxBytes, Bytes& out, std::string& error) {
    uint64_t size = 0;
    uint32_t osError = 0;
    switch (readRegularFile(path.c_str(), maxBytes, &out, &size, &osError)) {
        case FileReadError::none:
            return true;
        case FileReadError::openFailed:
            error = format("cannot open %s: %s", path.c_str(),
                           std::strerror(static_cast<int>(osError)));
            return false;
        case FileReadError::notRegular:
            error = format("cannot read %s: not a regular file", path.c_str());
            return false;
        case FileReadError::tooLarge:
            error = format("cannot read %s: %llu bytes, more than the %llu this input may have",
                           path.c_str(), static_cast<unsigned long long>(size),
                           static_cast<unsigned long long>(maxBytes));
            return false;
        case FileReadError::noMemory:
            error = format("cannot read %s: out of memory", path.c_str());
            return false;
        case FileReadError::readFailed:
            break;
    }
    error = osError != 0 ? format("cannot read %s: %s", path.c_str(),
                                  std::strerror(static_cast<int>(osError)))
                         : format("cannot read %s: the file ended early", path.c_str());
    return false;
}

bool writeWholeFile(const std::string& path, const void* data, size_t size, std::string& error) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        error = format("cannot create %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(data, 1, size, file) == size;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        error = format("cannot write %s: %s", path.c_str(), std::strerror(errno));
        std::remove(path.c_str());
        return false;
    }
    return true;
}

// Arguments after the command word: options with values, flags and plain operands.
class Args {
  public:
    Args(int argc, char** argv, int first) {
        for (int i = first; i < argc; ++i)
            items_.emplace_back(argv[i]);
    }
    bool done() const { return pos_ >= items_.size(); }
    std::string next() { return items_[pos_++]; }
    std::string value(const std::string& option) {
        if (done())
            throw usageError("option " + option + " needs a value");
        return next();
    }

  private:
    std::vector<std::string> items_;
    size_t pos_ = 0;
};

const ChipFamily& requireChip(const std::string& text) {
    if (text.empty())
        throw usageError("--chip is required");
    const ChipFamily* chip = chipFamilyNamed(text);
    if (chip == nullptr)
        throw usageError("unknown chip '" + text + "'");
    return *chip;
}

// ---------------------------------------------------------------- build

struct SubFirmware {
    uint8_t type = 0;
    uint32_t addr = 0;
    Bytes data;
    std::string source;
};

SubFirmware parseSub(const std::string& option, const std::string& text, size_t index) {
    // TYPE:ADDR:REST, where REST (a file name) may itself contain ':'.
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) {
        throw usageError(option + " expects TYPE:ADDR:" + (option == "--sub" ? "FILE" : "LEN") +
                         ", got '" + text + "'");
    }
    const std::string typeText = text.substr(0, first);
    const std::string addrText = text.substr(first + 1, second - first - 1);
    const std::string rest = text.substr(second + 1);
    uint64_t type, addr;
    if (!parseNumber(typeText, 0xFF, type)) {
        throw usageError(option + ": type '" + typeText + "' is not a number from 0 to 255");
    }
    if (!parseNumber(addrText, 0xFFFFFFFF, addr)) {
        throw usageError(option + ": address '" + addrText + "' is not a 32-bit number");
    }
    SubFirmware sub;
    sub.type = static_cast<uint8_t>(type);
    sub.addr = static_cast<uint32_t>(addr);
    if (option == "--sub") {
        std::string error;
        if (rest.empty())
            throw usageError("--sub: file name missing in '" + text + "'");
        if (!readWholeFile(rest, kFwImageMaxBytes, sub.data, error))
            throw inputError(error);
        sub.source = rest;
    } else {
        uint64_t length;
        if (!parseNumber(rest, 0x7FFFFFFF, length)) {
            throw usageError("--gen: length '" + rest + "' is not a number");
        }
        sub.data = fwGeneratedData(index, sub.type, sub.addr, static_cast<uint32_t>(length));
        sub.source = "generated";
    }
    return sub;
}

// The Pid touchfw reads from an image whose header holds `pid` (5415R images
// are taken as 5416, the product id their chip reports).
std::string loadedPid(int32_t chip, const std::string& pid) {
    if (chip == CHIP_5415R && pid.compare(0, 5, "5415R") == 0)
        return "5416";
    return pid;
}

Bytes buildImage(const FwImageLayout& layout, const std::string& pid, const uint8_t vid[4],
                 const std::vector<SubFirmware>& subs) {
    std::vector<FwSubFirmware> parts;
    for (const SubFirmware& sub : subs)
        parts.push_back(FwSubFirmware{sub.type, sub.addr, sub.data});
    Bytes image;
    std::string error;
    if (!buildFwImage(layout, pid, vid, parts, image, error))
        throw inputError(error);
    return image;
}

int printImageInfo(const ChipFamily& chip, const std::string& path, bool json);

int commandBuild(Args& args) {
    std::string chipText, pid, vidArg, output, identityPid, identityVidArg;
    bool identity = true;
    std::vector<SubFirmware> subs;
    while (!args.done()) {
        const std::string arg = args.next();
        if (arg == "--chip") {
            chipText = args.value(arg);
        } else if (arg == "--pid") {
            pid = args.value(arg);
        } else if (arg == "--vid") {
            vidArg = args.value(arg);
        } else if (arg == "--sub" || arg == "--gen") {
            subs.push_back(parseSub(arg, args.value(arg), subs.size()));
        } else if (arg == "--no-identity") {
            identity = false;
        } else if (arg == "--identity-pid") {
            identityPid = args.value(arg);
        } else if (arg == "--identity-vid") {
            identityVidArg = args.value(arg);
        } else if (arg == "-o" || arg == "--output") {
            output = args.value(arg);
        } else {
            throw usageError("build: unexpected argument '" + arg + "'");
        }
    }
    const ChipFamily& chip = requireChip(chipText);
    if (pid.empty())
        throw usageError("build: --pid is required");
    if (!validPid(pid))
        throw usageError("build: --pid must be 1 to 8 printable characters");
    uint8_t vid[4];
    if (vidArg.empty())
        throw usageError("build: --vid is required");
    if (!parseVid(vidArg, vid))
        throw usageError("build: --vid '" + vidArg + "' is not 4 hex bytes");
    if (output.empty())
        throw usageError("build: -o OUT is required");

    if (identity && !subs.empty()) {
        const std::string idPid = identityPid.empty() ? loadedPid(chip.type, pid) : identityPid;
        if (!validPid(idPid))
            throw usageError("build: --identity-pid must be 1 to 8 characters");
        uint8_t idVid[4];
        std::memcpy(idVid, vid, 4);
        if (!identityVidArg.empty() && !parseVid(identityVidArg, idVid)) {
            throw usageError("build: --identity-vid '" + identityVidArg + "' is not 4 hex bytes");
        }
        const Bytes block = fwIdentityBlock(idPid, idVid);
        subs[0].data.insert(subs[0].data.begin(), block.begin(), block.end());
        if (((kDefaultFwFlag >> (subs[0].type % 32)) & 1) == 0) {
            std::fprintf(stderr,
                         "touchfw-image: note: sub-firmware 0 has type 0x%02X, which the default "
                         "--fwflag 0x%02X does not flash; its identity block reaches the chip only "
                         "with a flag that selects it\n",
                         subs[0].type, kDefaultFwFlag);
        }
    } else if (identity) {
        std::fprintf(stderr, "touchfw-image: note: no sub-firmware, so no identity block\n");
    }

    const Bytes image = buildImage(*fwImageLayout(chip.type), pid, vid, subs);
    std::string error;
    if (!writeWholeFile(output, image.data(), image.size(), error))
        throw inputError(error);
    std::printf("Wrote %s (%zu bytes).\n", output.c_str(), image.size());
    return printImageInfo(chip, output, false);
}

// ---------------------------------------------------------------- info

std::vector<std::string>& capturedErrors() {
    static std::vector<std::string> lines;
    return lines;
}

// Receives the image classes' log lines while "info" loads a file; keeps the
// message text after the "<function:line> " prefix.
void collectLogLine(const char* fmt, ...) TFW_PRINTF(1, 2);
void collectLogLine(const char* fmt, ...) {
    char line[kLogLineSize];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    std::string text(line);
    const size_t prefixEnd = text.find("> ");
    if (prefixEnd != std::string::npos)
        text.erase(0, prefixEnd + 2);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    capturedErrors().push_back(text);
}

// Loads the file exactly as touchfw does and returns load's result, with the
// error lines it logged.
int32_t tryLoad(int32_t chipType, const std::string& path, std::vector<std::string>& errors) {
    capturedErrors().clear();
    logLevel = LOG_LEVEL_ERROR;
    logMessage = collectLogLine;
    auto image = createFwImage(chipType);
    const int32_t result = image->load(path.c_str());
    logLevel = 0;
    logMessage = nullptr;
    errors = capturedErrors();
    return result;
}

std::string printable(const uint8_t* bytes, size_t n) {
    std::string s;
    for (size_t i = 0; i < n && bytes[i] != 0; ++i) {
        s += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '?';
    }
    return s;
}

std::string hexBytes(const uint8_t* bytes, size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += format(i ? " %02X" : "%02X", bytes[i]);
    return s;
}

// Prints the text report, or nothing when the report is JSON.
class Report {
  public:
    explicit Report(bool json) : json_(json) {}
    void line(const char* fmt, ...) TFW_PRINTF(2, 3) {
        if (json_)
            return;
        va_list args;
        va_start(args, fmt);
        std::vprintf(fmt, args);
        va_end(args);
    }
    bool json() const { return json_; }

  private:
    bool json_;
};

// The JSON report on standard output, one object and a line end.
void printJson(const nlohmann::json& object) {
    // Paths and log lines need not be UTF-8: invalid bytes become U+FFFD.
    std::printf("%s\n",
                object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

int printImageInfo(const ChipFamily& chip, const std::string& path, bool json) {
    Bytes bytes;
    std::string error;
    if (!readWholeFile(path, kFwImageMaxBytes, bytes, error))
        throw inputError(error);
    const FwImageLayout& layout = *fwImageLayout(chip.type);
    const bool layoutB = layout.kind == FwLayoutKind::B;
    const uint64_t size = bytes.size();
    Report out(json);
    nlohmann::json j;
    j["file"] = path;
    j["size"] = size;
    j["chip"] = chip.name;
    j["imageClass"] = layout.className;
    j["layout"] = layoutB ? "B" : "A";

    out.line("File:          %s (%llu bytes)\n", path.c_str(),
             static_cast<unsigned long long>(size));
    out.line("Chip:          %s, %s, layout %s\n", chip.name, layout.className,
             layoutB ? "B" : "A");
    j["header"] = nullptr;
    if (size < layout.headerSize) {
        out.line("Header:        file shorter than the %u-byte header\n", layout.headerSize);
    } else {
        const uint8_t* h = bytes.data();
        const uint32_t lengthField =
            layoutB ? (h[0] | h[1] << 8 | h[2] << 16 | static_cast<uint32_t>(h[3]) << 24)
                    : (static_cast<uint32_t>(h[0]) << 24 | h[1] << 16 | h[2] << 8 | h[3]);
        const uint64_t bodySize = size - layout.headerSize;
        out.line("Length field:  %u (file size - %u = %llu): %s\n", lengthField, layout.headerSize,
                 static_cast<unsigned long long>(bodySize),
                 lengthField == bodySize ? "ok" : "WRONG");
        const uint32_t stored =
            layoutB ? (h[4] | h[5] << 8 | h[6] << 16 | static_cast<uint32_t>(h[7]) << 24)
                    : static_cast<uint32_t>(h[4] << 8 | h[5]);
        const uint32_t calculated = layoutB ? fwChecksumLayoutB(h + layout.headerSize, bodySize)
                                            : fwChecksumLayoutA(h + layout.headerSize, bodySize);
        out.line(layoutB ? "Checksum:      stored 0x%08X, calculated 0x%08X: %s\n"
                         : "Checksum:      stored 0x%04X, calculated 0x%04X: %s\n",
                 stored, calculated, stored == calculated ? "ok" : "WRONG");
        j["header"] = {{"size", layout.headerSize},
                       {"lengthField", lengthField},
                       {"bodySize", bodySize},
                       {"lengthOk", lengthField == bodySize},
                       {"checksumStored", stored},
                       {"checksumCalculated", calculated},
                       {"checksumOk", stored == calculated}};
    }

    // Read the fields with the image class itself, on the raw bytes: its
    // accessors stay inside the data whatever the file says.
    auto image = createFwImage(chip.type);
    image->fwData = bytes;
    image->fwSize = static_cast<uint32_t>(size);
    image->isLoaded = true;
    logLevel = 0;
    j["pid"] = nullptr;
    if (size >= layout.pidOffset + kFwPidBytes) {
        image->initPid();
        const uint8_t* raw = bytes.data() + layout.pidOffset;
        std::string stored;
        for (uint32_t i = 0; i < kFwPidBytes; ++i) {
            if (raw[i] != 0)
                stored += static_cast<char>(raw[i]);
        }
        out.line("Pid:           \"%s\"%s (bytes %s)\n", image->pid,
                 stored == image->pid ? "" : (" read from \"" + stored + "\"").c_str(),
                 hexBytes(raw, kFwPidBytes).c_str());
        j["pid"] = {{"text", printable(reinterpret_cast<const uint8_t*>(image->pid),
                                       std::strlen(image->pid))},
                    {"bytes", hexBytes(raw, kFwPidBytes)}};
    } else {
        out.line("Pid:           outside the file (bytes %u to %u)\n", layout.pidOffset,
                 layout.pidOffset + kFwPidBytes - 1);
    }
    j["vid"] = nullptr;
    if (size >= layout.vidOffset + kFwVidBytes) {
        image->initVid();
        out.line("Vid:           %s\n", vidText(image->vid).c_str());
        j["vid"] = vidText(image->vid);
    } else {
        out.line("Vid:           outside the file (bytes %u to %u)\n", layout.vidOffset,
                 layout.vidOffset + kFwVidBytes - 1);
    }
    j["subFirmwareCount"] = nullptr;
    j["subFirmwares"] = nlohmann::json::array();
    if (size > layout.countOffset) {
        const int32_t count = image->getFwSubFwNum();
        j["subFirmwareCount"] = count;
        out.line("Sub-firmwares: %d (table at %u, %u-byte entries; data from %u)\n", count,
                 layout.tableOffset, layout.entrySize, layout.dataOffset);
        if (count > 0) {
            out.line("    #  type      length     address  data offset     data end\n");
        }
        uint64_t offset = layout.dataOffset;
        for (int32_t i = 0; i < count; ++i) {
            if (image->getFwSubInfo(i) == nullptr) {
                out.line("  %3d  entry outside the file\n", i);
                break;
            }
            const uint32_t length = image->getFwSubFwLen(i);
            const uint64_t end = offset + length;
            out.line("  %3d  0x%02X  %10u  0x%08X  %11llu  %11llu%s\n", i, image->getFwSubFwType(i),
                     length, image->getFwSubFwAddr(i), static_cast<unsigned long long>(offset),
                     static_cast<unsigned long long>(end),
                     end > size ? "  (data outside the file)" : "");
            nlohmann::json sub = {{"index", i},
                                  {"type", image->getFwSubFwType(i)},
                                  {"length", length},
                                  {"address", image->getFwSubFwAddr(i)},
                                  {"dataOffset", offset},
                                  {"dataEnd", end},
                                  {"dataInFile", end <= size},
                                  {"identity", nullptr}};
            if (i == 0 && end <= size && length >= kFwIdentityBlockSize &&
                std::memcmp(bytes.data() + offset, kFwIdentityMagic, 4) == 0) {
                const uint8_t* id = bytes.data() + offset;
                const std::string idPid = printable(id + 4, 8);
                const bool same = idPid == image->pid && std::memcmp(id + 12, image->vid, 4) == 0;
                out.line("         identity block: Pid \"%s\", Vid %s%s\n", idPid.c_str(),
                         vidText(id + 12).c_str(),
                         same ? "" : " (differs from the image's Pid/Vid)");
                sub["identity"] = {
                    {"pid", idPid}, {"vid", vidText(id + 12)}, {"matchesImage", same}};
            }
            j["subFirmwares"].push_back(sub);
            offset = end;
        }
    } else {
        out.line("Sub-firmwares: count byte at %u is outside the file\n", layout.countOffset);
    }

    std::vector<std::string> errors;
    const int32_t result = tryLoad(chip.type, path, errors);
    j["loads"] = result == 0;
    j["loadResult"] = result;
    j["errors"] = errors;
    if (json) {
        printJson(j);
        return result == 0 ? kExitOk : kExitFailure;
    }
    if (result == 0) {
        std::printf("Result:        loads (load returns 0)\n");
        return kExitOk;
    }
    std::printf("Result:        would NOT load (load returns %d)\n", result);
    for (const std::string& line : errors)
        std::printf("               %s\n", line.c_str());
    return kExitFailure;
}

// The arguments of the inspecting commands: --chip CHIP, --json and one FILE.
const ChipFamily& chipAndFile(Args& args, const std::string& command, std::string& file,
                              bool& json) {
    std::string chipText;
    while (!args.done()) {
        const std::string arg = args.next();
        if (arg == "--chip") {
            chipText = args.value(arg);
        } else if (arg == "--json") {
            json = true;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            throw usageError(command + ": unexpected option '" + arg + "'");
        } else if (file.empty()) {
            file = arg;
        } else {
            throw usageError(command + ": one file only");
        }
    }
    const ChipFamily& chip = requireChip(chipText);
    if (file.empty())
        throw usageError(command + ": FILE is required");
    return chip;
}

int commandInfo(Args& args) {
    std::string file;
    bool json = false;
    const ChipFamily& chip = chipAndFile(args, "info", file, json);
    return printImageInfo(chip, file, json);
}

// ---------------------------------------------------------------- configuration

// Sample configuration bytes for a family: pattern bytes with the version in
// its family's place and the bytes the chip's version read checks made right.
Bytes sampleConfig(int32_t chipType, uint8_t version, uint32_t length) {
    Bytes data(length);
    for (uint32_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(i * 0x1D + 0x07);
    if (chipType == CHIP_5410) {
        // Bytes 0 to 3 sum to 0 in 8 bits.
        data[0] = version;
        data[3] = static_cast<uint8_t>(0x100 - ((data[0] + data[1] + data[2]) & 0xFF));
    } else if (chipType == CHIP_5415R) {
        // Bytes 3 and 4 add up to bytes 0 to 2.
        data[0] = version;
        data[1] = 0x11;
        data[2] = 0x22;
        const unsigned sum = data[0] + data[1] + data[2];
        data[3] = static_cast<uint8_t>(std::min(sum, 0xFFu));
        data[4] = static_cast<uint8_t>(sum - data[3]);
    } else {
        // 64-byte block: version in byte 34, bytes 62 and 63 the 16-bit sum of bytes 0 to 61.
        data[kCfgVersionIndexFjordK] = version;
        const uint32_t sum = checkCfgBlock(chipType, data.data(), data.size()).computed;
        data[kCfgChecksumAtFjord] = static_cast<uint8_t>(sum & 0xFF);
        data[kCfgChecksumAtFjord + 1] = static_cast<uint8_t>(sum >> 8);
    }
    return data;
}

// Most configuration bytes "cfg" writes: at six characters of text a byte
// ("0x12, "), the file stays within what touchfw reads.
constexpr uint64_t kMaxConfigLength = kCfgFileMaxBytes / 6;

uint32_t minConfigLength(int32_t chipType) {
    return static_cast<uint32_t>(isFjordFamily(chipType) ? kCfgBlockBytesFjord
                                                         : kCfgCheckBytes5415R);
}

std::string configText(const Bytes& data) {
    std::string text;
    for (size_t i = 0; i < data.size(); ++i) {
        text += format("0x%02X", data[i]);
        if (i + 1 == data.size()) {
            text += "\n";
        } else {
            text += (i % 16 == 15) ? ",\n" : ", ";
        }
    }
    return text;
}

int commandCfg(Args& args) {
    std::string chipText, versionText, lengthText, output;
    while (!args.done()) {
        const std::string arg = args.next();
        if (arg == "--chip") {
            chipText = args.value(arg);
        } else if (arg == "--version") {
            versionText = args.value(arg);
        } else if (arg == "--length") {
            lengthText = args.value(arg);
        } else if (arg == "-o" || arg == "--output") {
            output = args.value(arg);
        } else {
            throw usageError("cfg: unexpected argument '" + arg + "'");
        }
    }
    const ChipFamily& chip = requireChip(chipText);
    uint64_t version = 0, length = isFjordFamily(chip.type) ? 128 : 32;
    if (versionText.empty())
        throw usageError("cfg: --version is required");
    if (!parseNumber(versionText, 0xFF, version)) {
        throw usageError("cfg: --version '" + versionText + "' is not a number from 0 to 255");
    }
    const uint32_t minLength = minConfigLength(chip.type);
    if (!lengthText.empty() &&
        (!parseNumber(lengthText, kMaxConfigLength, length) || length < minLength)) {
        throw usageError(format("cfg: --length must be a number from %u to %u for %s", minLength,
                                static_cast<unsigned>(kMaxConfigLength), chip.name));
    }
    if (output.empty())
        throw usageError("cfg: -o OUT is required");
    const std::string text = configText(
        sampleConfig(chip.type, static_cast<uint8_t>(version), static_cast<uint32_t>(length)));
    std::string error;
    if (!writeWholeFile(output, text.data(), text.size(), error))
        throw inputError(error);
    std::printf("Wrote %s (%llu configuration bytes, version 0x%02X).\n", output.c_str(),
                static_cast<unsigned long long>(length), static_cast<unsigned>(version));
    return kExitOk;
}

// Where a file stops looking like configuration text: hex byte tokens
// ("0x12") separated by commas and white space. touchfw reads any file, taking
// every 'x' as a byte marker, so a firmware image or a text with words in it
// still "loads"; an empty string means the file is configuration text.
std::string configTextProblem(const Bytes& text) {
    auto isHex = [](uint8_t c) { return std::isxdigit(c) != 0; };
    size_t line = 1;
    size_t tokens = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const uint8_t c = text[i];
        if (c == '\n') {
            ++line;
            continue;
        }
        if (c == ',' || c == ' ' || c == '\t' || c == '\r')
            continue;
        const bool token = c == '0' && i + 3 < text.size() && (text[i + 1] | 0x20) == 'x' &&
                           isHex(text[i + 2]) && isHex(text[i + 3]) &&
                           (i + 4 == text.size() || !std::isalnum(text[i + 4]));
        if (token) {
            ++tokens;
            i += 3;
            continue;
        }
        if (c < 0x20 || c >= 0x7F)
            return format("byte 0x%02X at offset %zu is not text", c, i);
        return format("line %zu, offset %zu: '%c' is not part of a 0xNN byte", line, i,
                      static_cast<char>(c));
    }
    if (tokens == 0)
        return "it holds no 0xNN byte";
    return std::string();
}

int commandCfgInfo(Args& args) {
    std::string file;
    bool json = false;
    const ChipFamily& chip = chipAndFile(args, "cfginfo", file, json);
    Bytes text;
    std::string error;
    if (!readWholeFile(file, kCfgFileMaxBytes, text, error))
        throw inputError(error);
    const size_t markers =
        std::count_if(text.begin(), text.end(), [](uint8_t c) { return c == 'x' || c == 'X'; });
    const std::string problem = configTextProblem(text);
    if (!problem.empty()) {
        std::fprintf(stderr,
                     "touchfw-image: warning: %s is not configuration text (%s); touchfw takes "
                     "every 'x' in a file as a byte marker\n",
                     file.c_str(), problem.c_str());
    }

    auto image = createCfgImage(chip.type);
    capturedErrors().clear();
    logLevel = LOG_LEVEL_ERROR;
    logMessage = collectLogLine;
    const int32_t result = image->load(file.c_str());
    logLevel = 0;
    logMessage = nullptr;

    Report out(json);
    const unsigned versionIndex =
        isFjordFamily(chip.type) ? kCfgVersionIndexFjordK : kCfgVersionIndex;
    nlohmann::json j = {
        {"file", file},
        {"textSize", text.size()},
        {"chip", chip.name},
        {"versionByte", versionIndex},
        {"configurationText", problem.empty()},
        {"textProblem", problem.empty() ? nlohmann::json(nullptr) : nlohmann::json(problem)},
        {"loads", result == 0},
        {"loadResult", result},
        {"errors", capturedErrors()},
        {"bytesParsed", nullptr},
        {"blockSize", nullptr},
        {"version", nullptr},
        {"checkBytes", nullptr}};
    out.line("File:          %s (%zu bytes of text)\n", file.c_str(), text.size());
    out.line("Chip:          %s, version in byte %u\n", chip.name, versionIndex);
    if (result != 0) {
        out.line("Result:        would NOT load (load returns %d)\n", result);
        for (const std::string& line : capturedErrors()) {
            out.line("               %s\n", line.c_str());
        }
        if (json)
            printJson(j);
        return kExitFailure;
    }
    const uint8_t* data = image->getCfgData();
    out.line("Bytes:         %zu parsed, block of %u bytes\n", markers, image->cfgSize);
    out.line("Version:       0x%02X\n", image->getCfgVersion());
    j["bytesParsed"] = markers;
    j["blockSize"] = image->cfgSize;
    j["version"] = image->getCfgVersion();
    const CfgBlockCheck check = checkCfgBlock(chip.type, data, image->cfgSize);
    const bool checkOk = check.passed;
    const char* verdict = checkOk ? "ok" : "WRONG";
    if (chip.type == CHIP_5410) {
        out.line("Check bytes:   bytes 0 to 3 sum to 0x%02X in 8 bits (0x00 wanted): %s\n",
                 check.computed, verdict);
        j["checkBytes"] = {{"rule", "sum8"}, {"sum", check.computed}, {"ok", checkOk}};
    } else if (chip.type == CHIP_5415R) {
        out.line("Check bytes:   bytes 0 to 2 sum to 0x%X, bytes 3 and 4 to 0x%X: %s\n",
                 check.computed, check.expected, verdict);
        j["checkBytes"] = {{"rule", "sum3-equals-sum2"},
                           {"left", check.computed},
                           {"right", check.expected},
                           {"ok", checkOk}};
    } else {
        out.line("Check bytes:   bytes 62-63 hold 0x%04X, bytes 0 to 61 sum to 0x%04X: %s\n",
                 check.expected, check.computed, verdict);
        j["checkBytes"] = {{"rule", "sum16"},
                           {"stored", check.expected},
                           {"sum", check.computed},
                           {"ok", checkOk}};
    }
    if (json) {
        printJson(j);
        return checkOk ? kExitOk : kExitFailure;
    }
    if (!checkOk) {
        std::printf("Result:        loads, but the chip's version read would reject it\n");
        return kExitFailure;
    }
    std::printf("Result:        loads\n");
    return kExitOk;
}

int run(int argc, char** argv) {
    if (argc < 2)
        throw usageError("a command is required");
    const std::string command = argv[1];
    Args args(argc, argv, 2);
    if (command == "build")
        return commandBuild(args);
    if (command == "info")
        return commandInfo(args);
    if (command == "cfg")
        return commandCfg(args);
    if (command == "cfginfo")
        return commandCfgInfo(args);
    if (command == "--version" || command == "version") {
        std::printf("touchfw-image %s\n", kAppVersion);
        return kExitOk;
    }
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    throw usageError("unknown command '" + command + "'");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "touchfw-image: error: %s\n", failure.message.c_str());
        if (failure.status == kExitUsage)
            std::fputs(kUsage, stderr);
        return failure.status;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "touchfw-image: error: out of memory\n");
        return kExitFailure;
    }
}
