// The command-line parser: the input split at NUL bytes into arguments after
// the program name. A command line is either refused (-20) or leaves an
// option table whose values all have their documented form.
#include <cctype>
#include <string>
#include <vector>

#include "app/Options.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr size_t kMaxArguments = 64;

void checkValueForms(const std::string& text) {
    if (isHexValue(text)) {
        FUZZ_CHECK(text.size() >= 2);
        (void)hexValue(text);
    }
    if (isDecimalValue(text)) {
        const int32_t value = decimalValue(text);
        FUZZ_CHECK(value >= 1 && value <= 9999);
    }
    if (isDataList(text)) {
        FUZZ_CHECK((text.size() + 1) % 5 == 0);
    }
}

void checkTable() {
    for (const auto& entry : optionTable) {
        const std::string& key = entry.first;
        const OptionValue& value = entry.second;
        FUZZ_CHECK(isOptionKey(key));
        if (key == "length" || key == "readtimes" || key == "row" || key == "col") {
            FUZZ_CHECK(value.number >= 1 && value.number <= 9999);
        } else if (key == "property") {
            FUZZ_CHECK(value.text == "pid" || value.text == "vid" || value.text == "sensorid" ||
                       value.text == "cfgver");
        } else if (key == "data") {
            FUZZ_CHECK(isDataList(value.text));
        } else if (key == "chip") {
            for (char c : value.text) {
                FUZZ_CHECK(!std::islower(static_cast<unsigned char>(c)));
            }
        } else if (key == "logfiledir") {
            FUZZ_CHECK(value.text.size() <= 220);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initProcess();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"touchfw"};
    if (size > 0) {
        std::string current;
        for (size_t i = 0; i < size && args.size() < kMaxArguments; ++i) {
            if (data[i] == 0) {
                args.push_back(current);
                current.clear();
            } else {
                current.push_back(static_cast<char>(data[i]));
            }
        }
        if (args.size() < kMaxArguments)
            args.push_back(current);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(&arg[0]);
        checkValueForms(arg);
    }
    argv.push_back(nullptr);

    resetOptionTable();
    const int result = parseArgs(static_cast<int>(args.size()), argv.data());
    FUZZ_CHECK(result == 0 || result == -20);
    FUZZ_CHECK(result == -20 || args.size() > 1);
    if (result == 0)
        checkTable();
    resetOptionTable();
    return 0;
}
