// Command-line options: the option table and its parser.
#pragma once

#include <cstdint>
#include <map>
#include <string>

struct OptionValue {
    std::string text;    // value of a text option; empty for numbers and flags
    int32_t number = 0;  // value of a numeric option
    // The option and its value as typed, for messages about the value after
    // parsing; empty for flags.
    std::string typedOption;
    std::string typedValue;
};

// Process-wide option table, keyed by option key ("vid", "firmware", ...).
extern std::map<std::string, OptionValue> optionTable;

// Walks the arguments once and fills optionTable. Returns 0 when the whole
// command line was accepted. Any error (and --help, -?, no arguments) prints
// its message and the usage text to standard output and returns -20; the
// entry point then ends the process with that status at once.
int parseArgs(int argc, char** argv);

void printUsage(const char* programPath);
bool hasOption(const std::string& key);
// True when KEY is the key of one of the table's options.
bool isOptionKey(const std::string& key);
const OptionValue& optionValue(const std::string& key);

// Value forms, exposed for the entry point and the tests.
bool isHexValue(const std::string& text);
uint32_t hexValue(const std::string& text);  // only the last eight digits count
// A hex value of at most 32 significant bits (leading zero digits do not
// count): the form of a register address, which is never cut.
bool isAddressValue(const std::string& text);
// Prints the message for a value refused after parsing, in the parser's
// words ("... is not a valid value for option ...") followed by the usage
// text, and returns -20.
int rejectValue(const OptionValue& value, const char* programPath);
bool isDecimalValue(const std::string& text);
int32_t decimalValue(const std::string& text);
bool isDataList(const std::string& text);

// Back to an empty table (tests only).
void resetOptionTable();
