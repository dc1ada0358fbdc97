// touchfw-image: the pieces its commands share (argument reading, number and
// Vid parsing, whole-file reads and writes, the text/JSON report) and the
// commands themselves, one file each: build (Build.cpp), info (Info.cpp),
// cfg and cfginfo (Config.cpp).
//
// A command-line or input error is thrown as a Failure; main prints it and
// ends with its status.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "chip/ChipProfile.h"
#include "log/Log.h"

namespace imagetool {

using Bytes = std::vector<uint8_t>;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// A command-line or input error: the message is printed and the tool ends.
struct Failure {
    int status;
    std::string message;
};

Failure usageError(const std::string& message);
Failure inputError(const std::string& message);

// Decimal, or hexadecimal with a 0x prefix; false for anything else or above `max`.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& value);
// "01.02.03.04" (one or two hex digits per byte) or "01020304".
bool parseVid(const std::string& text, uint8_t vid[4]);
// 1 to 8 printable ASCII characters.
bool validPid(const std::string& text);

// Reads a whole input file the way touchfw does: without blocking, regular
// files only, and nothing larger than `maxBytes`. `size` (if not null) gets
// the file's size when it is known, also when the read is refused.
bool readWholeFile(const std::string& path, uint64_t maxBytes, Bytes& out, std::string& error,
                   std::optional<uint64_t>* size = nullptr);
// Writes an output whole or not at all (sys/Files.h ReplacementFile): a
// temporary file beside `path` renamed over it, so a failure leaves the old
// file (or none), never an empty or torn one, and a link at `path` is
// replaced, not written through.
bool writeWholeFile(const std::string& path, const void* data, size_t size, std::string& error);

// Arguments after the command word: options with values, flags and plain operands.
class Args {
  public:
    Args(int argc, char** argv, int first);
    bool done() const { return pos_ >= items_.size(); }
    std::string next() { return items_[pos_++]; }
    // The value after `option`; a usage error when there is none.
    std::string value(const std::string& option);

  private:
    std::vector<std::string> items_;
    size_t pos_ = 0;
};

const ChipFamily& requireChip(const std::string& text);
// The arguments of the inspecting commands: --chip CHIP, --json and one FILE.
const ChipFamily& chipAndFile(Args& args, const std::string& command, std::string& file,
                              bool& json);
// The same with --chip optional: nullptr when it is not given.
const ChipFamily* optionalChipAndFile(Args& args, const std::string& command, std::string& file,
                                      bool& json);

// Runs `load` with the error log lines caught: returns its result and puts
// the message text of each line (after the "<function:line> " prefix) in
// `errors`, and the function that logged it in `functions` when given.
int32_t loadCatchingErrors(const std::function<int32_t()>& load, std::vector<std::string>& errors,
                           std::vector<std::string>* functions = nullptr);

// Prints the text report, or nothing when the report is JSON.
class Report {
  public:
    explicit Report(bool json) : json_(json) {}
    void line(const char* fmt, ...) TFW_PRINTF(2, 3);
    bool json() const { return json_; }

  private:
    bool json_;
};

// The JSON report on standard output, one object and a line end.
void printJson(const nlohmann::json& object);
// The JSON report of a file that could not be read: `report` holds every key
// of the command's object, with what the file would have told set to null;
// the file's size is added when known, and the loader's verdict. Says why on
// standard error, prints the object and returns kExitFailure.
int printUnreadableJson(nlohmann::json report, const std::string& readError,
                        const std::optional<uint64_t>& size, const std::string& sizeKey,
                        const std::function<int32_t()>& load);

int commandBuild(Args& args);
int commandInfo(Args& args);
int commandCfg(Args& args);
int commandCfgInfo(Args& args);
// What a firmware image holds and whether touchfw would load it (the "info"
// report), with the families whose layout fits it. Without a chip the report
// reads the file as the family it most likely is.
int printImageInfo(const ChipFamily* chip, const std::string& path, bool json);

}  // namespace imagetool
