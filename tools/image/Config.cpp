// touchfw-image cfg and cfginfo: sample configuration files, and what a
// configuration file holds and whether its check bytes are right.
#include <algorithm>
#include <cstdio>

#include "cfg/CfgImage.h"
#include "chip/CfgBlock.h"
#include "tools/image/ImageTool.h"

namespace imagetool {
namespace {

// Sample configuration bytes for a family: pattern bytes with the version in
// its family's place and the bytes the chip's version read checks made right.
Bytes sampleConfig(int32_t chipType, uint8_t version, uint32_t length) {
    Bytes data(length);
    for (uint32_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(i * 0x1D + 0x07);
    presetCfgBlock(chipType, data.data(), data.size());
    sealCfgBlock(chipType, version, data.data(), data.size());
    return data;
}

// Most configuration bytes "cfg" writes: at six characters of text a byte
// ("0x12, "), the file stays within what touchfw reads.
constexpr uint64_t kMaxConfigLength = kCfgFileMaxBytes / 6;

uint32_t minConfigLength(int32_t chipType) {
    return static_cast<uint32_t>(std::max(cfgCheckBytes(chipType), kCfgCheckBytes5415R));
}

std::string configText(const Bytes& data) {
    std::string text;
    for (size_t i = 0; i < data.size(); ++i) {
        text += formatText("0x%02X", data[i]);
        if (i + 1 == data.size()) {
            text += "\n";
        } else {
            text += (i % 16 == 15) ? ",\n" : ", ";
        }
    }
    return text;
}

}  // namespace

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
    uint64_t version = 0, length = isLegacyCfg(chip.cfg) ? 32 : 128;
    if (versionText.empty())
        throw usageError("cfg: --version is required");
    if (!parseNumber(versionText, 0xFF, version)) {
        throw usageError("cfg: --version '" + versionText + "' is not a number from 0 to 255");
    }
    const uint32_t minLength = minConfigLength(chip.type);
    if (!lengthText.empty() &&
        (!parseNumber(lengthText, kMaxConfigLength, length) || length < minLength)) {
        throw usageError(formatText("cfg: --length must be a number from %u to %u for %s",
                                    minLength, static_cast<unsigned>(kMaxConfigLength), chip.name));
    }
    if (output.empty())
        throw usageError("cfg: -o OUT is required");
    const std::string text = configText(
        sampleConfig(chip.type, static_cast<uint8_t>(version), static_cast<uint32_t>(length)));
    std::string error;
    if (!writeWholeFile(output, text.data(), text.size(), error))
        throw inputError(error);
    std::printf("Wrote %s (%llu configuration bytes, version 0x%02X).\n",
                logSafeText(output).c_str(), static_cast<unsigned long long>(length),
                static_cast<unsigned>(version));
    return kExitOk;
}

namespace {

// Where a file stops looking like configuration text: hex byte tokens
// ("0x12") separated by commas and white space, and nothing else. Stricter
// than what touchfw refuses (a byte no text holds, fewer tokens than other
// markers, only zero bytes): touchfw loads a file with a few stray words or
// short tokens as the bytes of its markers. An empty string means the file
// is configuration text.
std::string configTextProblem(const Bytes& text) {
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
        const bool token = c == '0' && isCfgByteToken(text.data(), text.size(), i + 1);
        if (token) {
            ++tokens;
            i += 3;
            continue;
        }
        if (c < 0x20 || c >= 0x7F)
            return formatText("byte 0x%02X at offset %zu is not text", c, i);
        return formatText("line %zu, offset %zu: '%c' is not part of a 0xNN byte", line, i,
                          static_cast<char>(c));
    }
    if (tokens == 0)
        return "it holds no 0xNN byte";
    return std::string();
}

// The check bytes of a configuration block that loaded, by its family's rule.
bool reportCheckBytes(const ChipFamily& chip, const CfgBlockCheck& check, Report& out,
                      nlohmann::json& j) {
    const bool checkOk = check.passed;
    const char* verdict = checkOk ? "ok" : "WRONG";
    if (chip.cfg == CfgKind::legacy5410) {
        out.line("Check bytes:   bytes 0 to 3 sum to 0x%02X in 8 bits (0x00 wanted): %s\n",
                 check.computed, verdict);
        j["checkBytes"] = {{"rule", "sum8"}, {"sum", check.computed}, {"ok", checkOk}};
    } else if (chip.cfg == CfgKind::legacy5415R) {
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
    return checkOk;
}

int finishFailedLoad(int32_t result, const std::vector<std::string>& errors, Report& out,
                     const nlohmann::json& j) {
    out.line("Result:        would NOT load (load returns %d)\n", result);
    for (const std::string& line : errors) {
        out.line("               %s\n", line.c_str());
    }
    if (out.json())
        printJson(j);
    return kExitFailure;
}

}  // namespace

int commandCfgInfo(Args& args) {
    std::string file;
    bool json = false;
    const ChipFamily& chip = chipAndFile(args, "cfginfo", file, json);
    Bytes text;
    std::string error;
    std::optional<uint64_t> size;
    if (!readWholeFile(file, kCfgFileMaxBytes, text, error, &size)) {
        if (!json)
            throw inputError(error);
        const nlohmann::json unread = {
            {"file", file},
            {"chip", chip.name},
            {"versionByte", static_cast<unsigned>(cfgVersionAt(chip.type))},
            {"configurationText", nullptr},
            {"textProblem", nullptr},
            {"bytesParsed", nullptr},
            {"blockSize", nullptr},
            {"version", nullptr},
            {"checkBytes", nullptr}};
        return printUnreadableJson(unread, error, size, "textSize", [&chip, &file] {
            return createCfgImage(chip.type)->load(file.c_str());
        });
    }
    const size_t markers =
        std::count_if(text.begin(), text.end(), [](uint8_t c) { return c == 'x' || c == 'X'; });
    const std::string problem = configTextProblem(text);
    if (!problem.empty()) {
        std::fprintf(stderr,
                     "touchfw-image: warning: %s is not configuration text (%s); touchfw takes "
                     "every 'x' in a file as a byte marker\n",
                     logSafeText(file).c_str(), problem.c_str());
    }

    auto image = createCfgImage(chip.type);
    std::vector<std::string> errors;
    const int32_t result = loadCatchingErrors([&] { return image->load(file.c_str()); }, errors);

    Report out(json);
    const unsigned versionIndex = static_cast<unsigned>(cfgVersionAt(chip.type));
    nlohmann::json j = {
        {"file", file},
        {"textSize", text.size()},
        {"chip", chip.name},
        {"versionByte", versionIndex},
        {"configurationText", problem.empty()},
        {"textProblem", problem.empty() ? nlohmann::json(nullptr) : nlohmann::json(problem)},
        {"loads", result == 0},
        {"loadResult", result},
        {"errors", errors},
        {"bytesParsed", nullptr},
        {"blockSize", nullptr},
        {"version", nullptr},
        {"checkBytes", nullptr}};
    out.line("File:          %s (%zu bytes of text)\n", logSafeText(file).c_str(), text.size());
    out.line("Chip:          %s, version in byte %u\n", chip.name, versionIndex);
    if (result != 0)
        return finishFailedLoad(result, errors, out, j);
    out.line("Bytes:         %zu parsed, block of %u bytes\n", markers, image->cfgSize);
    out.line("Version:       0x%02X\n", image->getCfgVersion());
    j["bytesParsed"] = markers;
    j["blockSize"] = image->cfgSize;
    j["version"] = image->getCfgVersion();
    const bool checkOk = reportCheckBytes(
        chip, checkCfgBlock(chip.type, image->getCfgData(), image->cfgSize), out, j);
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

}  // namespace imagetool
