// Every list of chip families kept outside the family table (shell
// completion, manual pages, help texts, the corpus and example scripts)
// names the table's families in the table's order.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "chip/ChipProfile.h"
#include "tests/TestSupport.h"

namespace {

std::string joined(const std::vector<std::string>& items, const std::string& separator,
                   const std::string& beforeLast) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 == items.size() ? beforeLast : separator) + items[i];
    return text;
}

// The file's text with every run of white space as one space.
std::string flatText(const std::string& file) {
    std::istringstream in(testsupport::readFile(std::string(TOUCHFW_SOURCE_DIR) + "/" + file));
    std::string word, text;
    while (in >> word)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

// The first argument of each line of a script that runs `command`.
std::vector<std::string> firstArguments(const std::string& file, const std::string& command) {
    std::istringstream in(testsupport::readFile(std::string(TOUCHFW_SOURCE_DIR) + "/" + file));
    std::vector<std::string> found;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first, second;
        if (words >> first >> second && first == command)
            found.push_back(second);
    }
    return found;
}

TEST(FamilyListsTest, EveryListNamesTheTableFamiliesInOrder) {
    std::vector<std::string> names, withDefault, withPid;
    for (size_t row = 0; chipFamilyAt(row) != nullptr; ++row) {
        const ChipFamily& f = *chipFamilyAt(row);
        names.push_back(f.name);
        withDefault.push_back(f.name + std::string(f.type == kDefaultChipType ? " (default)" : ""));
        char pid[8];
        std::snprintf(pid, sizeof pid, "0x%04X", f.defaultPid);
        withPid.push_back(f.name + std::string(" ") + pid);
    }
    ASSERT_GE(names.size(), 2u);
    const std::string commas = joined(names, ", ", " or ");
    const struct {
        const char* file;
        std::string list;
    } cases[] = {
        {"contrib/bash-completion/touchfw", "\"" + joined(names, " ", " ") + "\""},
        {"docs/man/touchfw.1", "Chip families: " + joined(withDefault, ", ", ", ") + "."},
        {"docs/man/touchfw.1", "Chip family: " + commas + " (any case)."},
        {"docs/man/touchfw.1", "Default: the family's (" + joined(withPid, ", ", ", ") + ")."},
        {"docs/man/touchfw-image.1", "CHIP\" " + commas + " (any case)."},
        {"fuzz/make_corpus.sh", "families=(" + joined(names, " ", " ") + ")"},
        {"app/Options.cpp", "arg={" + joined(names, "|", "|") + "}"},
    };
    for (const auto& c : cases)
        EXPECT_NE(flatText(c.file).find(c.list), std::string::npos) << c.file << ": " << c.list;
    // The examples: an image and a configuration of every family.
    EXPECT_EQ(firstArguments("examples/generate.sh", "image"), names);
    EXPECT_EQ(firstArguments("examples/generate.sh", "config"), names);
}

}  // namespace
