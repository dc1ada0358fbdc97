// touchfw-image: argument reading, number and Vid parsing, file reads and
// writes and the report output its commands share.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "fw/FwImage.h"
#include "sys/Bytes.h"
#include "sys/Files.h"
#include "tools/image/ImageTool.h"

namespace imagetool {

Failure usageError(const std::string& message) {
    return {kExitUsage, message};
}
Failure inputError(const std::string& message) {
    return {kExitFailure, message};
}

// Decimal, or hexadecimal with a 0x prefix; false for anything else or above `max`.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    uint64_t result = 0;
    if (!parseDigits(hex ? text.substr(2) : text, hex ? 16 : 10, 16, &result) || result > max)
        return false;
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
        uint64_t value = 0;
        if (!parseDigits(parts[i], 16, 2, &value))
            return false;
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

// Reads a whole input file the way touchfw does: without blocking, regular
// files only, and nothing larger than `maxBytes`.
bool readWholeFile(const std::string& path, uint64_t maxBytes, Bytes& out, std::string& error,
                   std::optional<uint64_t>* knownSize) {
    uint64_t size = 0;
    uint32_t osError = 0;
    const FileReadError result = readRegularFile(path.c_str(), maxBytes, &out, &size, &osError);
    if (knownSize != nullptr) {
        const bool sized =
            result != FileReadError::openFailed && result != FileReadError::notRegular;
        *knownSize = sized ? std::optional<uint64_t>(size) : std::nullopt;
    }
    switch (result) {
        case FileReadError::none:
            return true;
        case FileReadError::openFailed:
            error = formatText("cannot open %s: %s", path.c_str(),
                               std::strerror(static_cast<int>(osError)));
            return false;
        case FileReadError::notRegular:
            error = formatText("cannot read %s: not a regular file", path.c_str());
            return false;
        case FileReadError::tooLarge:
            error = formatText("cannot read %s: %llu bytes, more than the %llu this input may have",
                               path.c_str(), static_cast<unsigned long long>(size),
                               static_cast<unsigned long long>(maxBytes));
            return false;
        case FileReadError::noMemory:
            error = formatText("cannot read %s: out of memory", path.c_str());
            return false;
        case FileReadError::readFailed:
            break;
    }
    error = osError != 0 ? formatText("cannot read %s: %s", path.c_str(),
                                      std::strerror(static_cast<int>(osError)))
                         : formatText("cannot read %s: the file ended early", path.c_str());
    return false;
}

bool writeWholeFile(const std::string& path, const void* data, size_t size, std::string& error) {
    ReplacementFile file(path);
    if (file.open() && file.write(data, size) && file.commit())
        return true;
    error = file.error();
    return false;
}

Args::Args(int argc, char** argv, int first) {
    for (int i = first; i < argc; ++i)
        items_.emplace_back(argv[i]);
}

std::string Args::value(const std::string& option) {
    if (done())
        throw usageError("option " + option + " needs a value");
    return next();
}

const ChipFamily& requireChip(const std::string& text) {
    if (text.empty())
        throw usageError("--chip is required");
    const ChipFamily* chip = chipFamilyNamed(text);
    if (chip == nullptr)
        throw usageError("unknown chip '" + text + "'");
    return *chip;
}

namespace {

// --chip CHIP, --json and one FILE; a usage error for anything else. The
// chip is checked before the file, as the usage text lists them.
const ChipFamily* readChipAndFile(Args& args, const std::string& command, std::string& file,
                                  bool& json, bool chipRequired) {
    bool chipGiven = false;
    std::string chipText;
    while (!args.done()) {
        const std::string arg = args.next();
        if (arg == "--chip") {
            chipText = args.value(arg);
            chipGiven = true;
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
    const ChipFamily* chip = chipGiven || chipRequired ? &requireChip(chipText) : nullptr;
    if (file.empty())
        throw usageError(command + ": FILE is required");
    return chip;
}

}  // namespace

const ChipFamily& chipAndFile(Args& args, const std::string& command, std::string& file,
                              bool& json) {
    return *readChipAndFile(args, command, file, json, true);
}

const ChipFamily* optionalChipAndFile(Args& args, const std::string& command, std::string& file,
                                      bool& json) {
    return readChipAndFile(args, command, file, json, false);
}

namespace {

// The message text of each error line caught, and the function that logged it.
struct Captured {
    std::vector<std::string> errors;
    std::vector<std::string> functions;
};
Captured captured;

// Receives the image classes' log lines while a file loads; keeps the
// message text after the "<function:line> " prefix, and the function apart.
void collectLogLine(const char* fmt, ...) TFW_PRINTF(1, 2);
void collectLogLine(const char* fmt, ...) {
    char line[kLogLineSize];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    std::string text(line);
    std::string function;
    const size_t prefixEnd = text.find("> ");
    if (prefixEnd != std::string::npos) {
        const size_t start = text.find('<');
        const size_t colon = text.rfind(':', prefixEnd);
        if (start < colon && colon != std::string::npos)
            function = text.substr(start + 1, colon - start - 1);
        text.erase(0, prefixEnd + 2);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    captured.errors.push_back(text);
    captured.functions.push_back(function);
}

}  // namespace

int32_t loadCatchingErrors(const std::function<int32_t()>& load, std::vector<std::string>& errors,
                           std::vector<std::string>* functions) {
    captured = Captured();
    logLevel = LOG_LEVEL_ERROR;
    logMessage = collectLogLine;
    const int32_t result = load();
    logLevel = 0;
    logMessage = nullptr;
    errors = captured.errors;
    if (functions != nullptr)
        *functions = captured.functions;
    return result;
}

void Report::line(const char* fmt, ...) {
    if (json_)
        return;
    va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
}

// The JSON report on standard output, one object and a line end.
void printJson(const nlohmann::json& object) {
    // Paths and log lines need not be UTF-8: invalid bytes become U+FFFD.
    std::printf("%s\n",
                object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
}

int printUnreadableJson(nlohmann::json report, const std::string& readError,
                        const std::optional<uint64_t>& size, const std::string& sizeKey,
                        const std::function<int32_t()>& load) {
    std::fprintf(stderr, "touchfw-image: error: %s\n", readError.c_str());
    report[sizeKey] = size ? nlohmann::json(*size) : nlohmann::json(nullptr);
    // What touchfw would make of the path: its loader's result and messages.
    std::vector<std::string> errors;
    const int32_t result = loadCatchingErrors(load, errors);
    report["loads"] = result == 0;
    report["loadResult"] = result;
    report["errors"] = errors;
    printJson(report);
    return kExitFailure;
}

}  // namespace imagetool
