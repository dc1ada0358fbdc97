#include "app/Options.h"

#include <sys/stat.h>
#if defined(_MSC_VER)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "log/Log.h"
#include "log/RunReason.h"
#include "sys/Bytes.h"

std::map<std::string, OptionValue> optionTable;

namespace {

enum class ValueForm {
    none,
    freeText,
    upperText,
    property,
    hex,
    address,
    decimal,
    dataList,
    path,
    folder,
    devicePath  // free text, but never empty
};

struct OptionRow {
    const char* longForm;
    const char* shortForm;  // nullptr when the option has none
    const char* key;        // nullptr for --help
    ValueForm form;
};

// Compared in this order; a match is exact and case-sensitive.
const OptionRow kOptionRows[] = {
    {"--version", "-v", "version", ValueForm::none},
    {"--chip", nullptr, "chip", ValueForm::upperText},
    {"--vid", nullptr, "vid", ValueForm::hex},
    {"--pid", nullptr, "pid", ValueForm::hex},
    {"--usage", nullptr, "usage", ValueForm::hex},
    {"--usagepage", nullptr, "usagepage", ValueForm::hex},
    {"--path", nullptr, "path", ValueForm::devicePath},
    {"--property", "-p", "property", ValueForm::property},
    {"--firmware", "-f", "firmware", ValueForm::path},
    {"--fwflag", nullptr, "fwflag", ValueForm::hex},
    {"--config", "-c", "config", ValueForm::path},
    {"--ignorever", "-i", "ignorever", ValueForm::none},
    {"--verify", nullptr, "verify", ValueForm::none},
    {"--write", "-w", "write", ValueForm::address},
    {"--writecmd", nullptr, "writecmd", ValueForm::none},
    {"--data", nullptr, "data", ValueForm::dataList},
    {"--read", "-r", "read", ValueForm::address},
    {"--length", "-l", "length", ValueForm::decimal},
    {"--rawdata", nullptr, "rawdata", ValueForm::none},
    {"--diffdata", nullptr, "diffdata", ValueForm::none},
    {"--basedata", nullptr, "basedata", ValueForm::none},
    {"--readtimes", "-t", "readtimes", ValueForm::decimal},
    {"--row", nullptr, "row", ValueForm::decimal},
    {"--col", nullptr, "col", ValueForm::decimal},
    {"--showtype", nullptr, "showtype", ValueForm::freeText},
    {"--delprevlog", "-d", "delprevlog", ValueForm::none},
    {"--loglevel", nullptr, "loglevel", ValueForm::hex},
    {"--logfiledir", nullptr, "logfiledir", ValueForm::folder},
    {"--verbose", nullptr, "verbose", ValueForm::none},
    {"--nooutput", nullptr, "nooutput", ValueForm::none},
    {"--scan", nullptr, "scan", ValueForm::none},
    {"--record", nullptr, "record", ValueForm::freeText},
    {"--json", nullptr, "json", ValueForm::none},
    {"--help", "-?", nullptr, ValueForm::none},
};

constexpr size_t kMaxLogFolderLength = 220;

const OptionRow* findRow(const std::string& arg) {
    for (const OptionRow& row : kOptionRows) {
        if (arg == row.longForm || (row.shortForm != nullptr && arg == row.shortForm)) {
            return &row;
        }
    }
    return nullptr;
}

bool pathExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool folderExists(const std::string& path) {
#if defined(_MSC_VER)
    return _access(path.c_str(), 0) == 0;
#else
    return access(path.c_str(), F_OK) == 0;
#endif
}

std::string toUpper(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string toLower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int reject(const char* program) {
    printUsage(program);
    std::fflush(stdout);
    return -20;
}

}  // namespace

bool isHexValue(const std::string& text) {
    if (text.size() < 2 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return false;
    return std::all_of(text.begin() + 2, text.end(), [](char c) { return hexDigitValue(c) >= 0; });
}

uint32_t hexValue(const std::string& text) {
    uint32_t value = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        value = (value << 4) + static_cast<uint32_t>(hexDigitValue(text[i]));
    }
    return value;
}

bool isAddressValue(const std::string& text) {
    if (!isHexValue(text))
        return false;
    const size_t first = text.find_first_not_of('0', 2);
    return first == std::string::npos || text.size() - first <= 8;
}

int rejectValue(const OptionValue& value, const char* programPath) {
    std::printf("\"%s\" is not a valid value for option \"%s\".\n", value.typedValue.c_str(),
                value.typedOption.c_str());
    noteRunReason(kReasonSpecific, "\"%s\" is not a valid value for %s (see --help)",
                  logSafeText(value.typedValue).c_str(), logSafeText(value.typedOption).c_str());
    return reject(programPath);
}

bool isDecimalValue(const std::string& text) {
    uint64_t value = 0;
    return parseDigits(text, 10, 4, &value) && value >= 1;
}

int32_t decimalValue(const std::string& text) {
    int32_t value = 0;
    for (char c : text)
        value = value * 10 + (c - '0');
    return value;
}

bool isDataList(const std::string& text) {
    // Items of exactly four characters ("0x" and two hex digits) joined by single commas.
    if (text.empty() || (text.size() + 1) % 5 != 0)
        return false;
    for (size_t pos = 0; pos < text.size(); pos += 5) {
        if (text[pos] != '0' || (text[pos + 1] != 'x' && text[pos + 1] != 'X') ||
            hexDigitValue(text[pos + 2]) < 0 || hexDigitValue(text[pos + 3]) < 0) {
            return false;
        }
        if (pos + 4 < text.size() && text[pos + 4] != ',')
            return false;
    }
    return true;
}

bool isOptionKey(const std::string& key) {
    for (const OptionRow& row : kOptionRows) {
        if (row.key != nullptr && key == row.key) {
            return true;
        }
    }
    return false;
}

bool hasOption(const std::string& key) {
    return optionTable.count(key) != 0;
}

const OptionValue& optionValue(const std::string& key) {
    static const OptionValue empty;
    auto it = optionTable.find(key);
    return it == optionTable.end() ? empty : it->second;
}

void resetOptionTable() {
    optionTable.clear();
}

namespace {

enum class ValueCheck { valid, invalid, refused };

// Reads `text` as a value of `form` into `value`: invalid when the text is
// not of the form, refused (after its message) for a path or folder that
// cannot be used.
ValueCheck readValue(ValueForm form, const std::string& text, OptionValue* value) {
    bool valid = true;
    switch (form) {
        case ValueForm::hex:
            valid = isHexValue(text);
            value->number = static_cast<int32_t>(hexValue(text));
            break;
        case ValueForm::address:
            valid = isAddressValue(text);
            value->number = static_cast<int32_t>(hexValue(text));
            break;
        case ValueForm::decimal:
            valid = isDecimalValue(text);
            if (valid)
                value->number = decimalValue(text);
            break;
        case ValueForm::dataList:
            valid = isDataList(text);
            value->text = text;
            break;
        case ValueForm::property:
            value->text = toLower(text);
            valid = value->text == "pid" || value->text == "vid" || value->text == "sensorid" ||
                    value->text == "cfgver";
            break;
        case ValueForm::upperText:
            value->text = toUpper(text);
            break;
        case ValueForm::path:
            if (!pathExists(text)) {
                std::printf("File \"%s\" does not exist.\n", logSafeText(text).c_str());
                noteRunReason(kReasonSpecific, "the file %s does not exist",
                              logSafeText(text).c_str());
                return ValueCheck::refused;
            }
            value->text = text;
            break;
        case ValueForm::folder:
            if (text.size() > kMaxLogFolderLength) {
                std::printf("The directory(%s) length cannot exceed 220 characters.\n",
                            logSafeText(text).c_str());
                noteRunReason(kReasonSpecific,
                              "the log folder's name is longer than 220 characters");
                return ValueCheck::refused;
            }
            if (!folderExists(text)) {
                std::printf("Folder \"%s\" does not exist.\n", logSafeText(text).c_str());
                noteRunReason(kReasonSpecific, "the folder %s does not exist",
                              logSafeText(text).c_str());
                return ValueCheck::refused;
            }
            value->text = text;
            break;
        case ValueForm::devicePath:
            valid = !text.empty();
            value->text = text;
            break;
        case ValueForm::freeText:
        case ValueForm::none:
            value->text = text;
            break;
    }
    return valid ? ValueCheck::valid : ValueCheck::invalid;
}

}  // namespace

int parseArgs(int argc, char** argv) {
    const char* program = argc > 0 ? argv[0] : "";
    if (argc <= 1) {
        return reject(program);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const OptionRow* row = findRow(arg);
        if (row == nullptr) {
            std::printf("Unknown option \"%s\".\n", arg.c_str());
            noteRunReason(kReasonSpecific, "unknown option \"%s\" (see --help)",
                          logSafeText(arg).c_str());
            return reject(program);
        }
        if (row->key == nullptr) {  // --help, -?
            return reject(program);
        }
        OptionValue value;
        if (row->form != ValueForm::none) {
            if (i + 1 >= argc) {
                std::printf("Option \"%s\" needs value.\n", arg.c_str());
                noteRunReason(kReasonSpecific, "%s needs a value (see --help)",
                              logSafeText(arg).c_str());
                return reject(program);
            }
            const std::string text = argv[++i];
            const ValueCheck check = readValue(row->form, text, &value);
            if (check == ValueCheck::refused)
                return reject(program);
            value.typedOption = arg;
            value.typedValue = text;
            if (check == ValueCheck::invalid) {
                return rejectValue(value, program);
            }
        }
        optionTable[row->key] = value;
    }
    return 0;
}

void printUsage(const char* p) {
    std::printf("Usage: %s [options]\n", p);
    std::fputs(
        "Options:\n"
        "  -v, --version      Show the version of this app.\n"
        "      --chip         Specify the chip pid, "
        "arg={5410|5415R|fjordK|fjordH3|Corvina|fjordK8|fjordK4}.\n"
        "      --vid          Specify the target device vid, arg=deviceVid.\n"
        "      --pid          Specify the target device pid, arg=devicePid.\n"
        "      --usage        Specify the target device usage, arg=deviceUsage. (default=0x0001)\n"
        "      --usagepage    Specify the target device usage page, arg=deviceUsagePage. "
        "(default=0xFF00)\n"
        "      --path         Specify the target device path, arg=devicePath. (e.g. /dev/hidraw3)\n"
        "  -p, --property     Get info from IC, arg={pid|vid|sensorid|cfgver}.\n"
        "  -f, --firmware     Update firmware, arg=filename.\n"
        "      --fwflag       Change the fwFlag, arg=fwFlag. (default=0x0C)\n"
        "  -c, --config       Update configuration, arg=filename.\n"
        "  -i, --ignorever    Update ignore version.\n"
        "      --verify       Read back what -c or -w wrote and compare it with what was sent.\n"
        "  -w, --write        Write data to IC, arg=addr.\n"
        "      --writecmd     Write commands to IC.\n"
        "      --data         The data to be written, arg=data. (e.g. 0x80,0x00,0x80)\n"
        "  -r, --read         Read data from IC, arg=addr. (e.g. 0x1234)\n"
        "  -l, --length       The length of read or write data, arg=length. (default=1)\n"
        "      --rawdata      get raw data from ic\n"
        "      --basedata     get base data from ic\n"
        "      --diffdata     get diff data from ic\n"
        "  -t, --readtimes    read times(dec), default 1\n"
        "      --row\t\t\t row(dec), default 1\n"
        "      --col\t\t\t col(dec), default 1\n"
        "      --showtype     rawdata,diffdata,basedata show type.option for [hex dec], default "
        "hex\n"
        "  -d, --delprevlog   Delete previous log file.\n"
        "      --loglevel     Change the level of log, arg=logLevel. (default=0x1F)\n"
        "      --logfiledir   Specify a directory for the log file.\n"
        "      --verbose      Show detailed log on console.\n"
        "      --nooutput     Show nothing on console.\n"
        "      --scan         scan device.\n"
        "      --record       Append every report of the run to a file, arg=filename.\n"
        "      --json         Print one JSON result object instead of the console text.\n"
        "  -?, --help         Print this message.\n"
        "For example:\n",
        stdout);
    const char* const examples[][2] = {
        {"read version id: ", "-p vid"},
        {"read product id: ", "-p pid"},
        {"read cfg ver   : ", "-p cfgver"},
        {"read sensor id : ", "-p sensorid"},
        {"write reg\t   : ", "-w 0x10010 --data 0x01,0x02,0x03 --length 3"},
        {"read reg\t   : ", "-r 0x10010 --length 3"},
        {"write cmd\t   : ", "--writecmd --data 0x01,0x02,0x03 --length 3"},
        {"read rawdata   : ", "--rawdata --row 18 --col 24 --readtimes 10 --showtype dec"},
        {"update FW      : ", "-f xxx.bin"},
        {"update cfg     : ", "-c xxx.cfg"},
        {"update FW & cfg: ", "-f xxx.bin -c xxx.cfg"},
    };
    for (const auto& example : examples)
        std::printf("%s%s --chip Corvina --pid 0x01EC %s\n", example[0], p, example[1]);
}
