// Bounded time: every run mode ends, within the bound docs/RELIABILITY.md
// derives for it, against a device that stops answering in any of the ways
// a device can: it vanishes, it never answers a read, it never acknowledges
// a command or flags a frame. A few runs have their exact virtual time
// derived by hand, step by step, from the retry counts and waits.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "chip/ChipProfile.h"
#include "tests/FaultMatrixSupport.h"

namespace {

using matrix::InProcessRun;
using matrix::Mode;
using matrix::RunResult;

enum class Silence {
    vanishes,       // gone at the first report: every call fails, opens fail
    neverAnswers,   // every read request stays unanswered
    neverAcks,      // no command is ever acknowledged, no frame ever ready
    writesRefused,  // every report the tool sends fails, the device stays listed
};

const char* silenceName(Silence s) {
    switch (s) {
        case Silence::vanishes:
            return "vanishes";
        case Silence::neverAnswers:
            return "never answers";
        case Silence::neverAcks:
            return "never acknowledges";
        case Silence::writesRefused:
            return "refuses every report";
    }
    return "?";
}

void silence(emu::EmulatedChip& chip, Silence s) {
    emu::FaultRule rule;
    rule.times = emu::kForever;
    switch (s) {
        case Silence::vanishes:
            ASSERT_TRUE(chip.addFault(emu::faults::disappearAtOutputReport(1)));
            return;
        case Silence::neverAnswers:
            rule.on = emu::FaultOn::readRequest;
            rule.action = emu::FaultDo::noAnswer;
            rule.anyAddress = true;
            ASSERT_TRUE(chip.addFault(rule));
            return;
        case Silence::neverAcks:
            rule.on = emu::FaultOn::command;
            rule.command = emu::ChipCommand::none;  // every command
            rule.action = emu::FaultDo::withholdAck;
            ASSERT_TRUE(chip.addFault(rule));
            ASSERT_TRUE(chip.addFault(emu::faults::frameNeverReady()));
            return;
        case Silence::writesRefused:
            ASSERT_TRUE(chip.addFault(emu::faults::failOutputReport(1, emu::kForever)));
            return;
    }
}

TEST(HangAuditTest, EveryRunModeEndsWithinItsBoundAgainstASilentDevice) {
    for (const Mode mode : matrix::allModes()) {
        for (const int32_t type : matrix::allFamilies()) {
            if (!matrix::modeApplies(mode, type))
                continue;
            for (const Silence s : {Silence::vanishes, Silence::neverAnswers, Silence::neverAcks,
                                    Silence::writesRefused}) {
                SCOPED_TRACE(std::string(emu::familyName(type)) + " " + matrix::modeName(mode) +
                             ", device " + silenceName(s));
                InProcessRun run(type);
                silence(run.chip(), s);
                const RunResult r = run.run(matrix::modeArgs(mode, type));
                EXPECT_LE(r.elapsedMs, matrix::boundMs(mode, type));
                EXPECT_EQ(run.sys().host().openHandles(), 0u);
                // A device that takes no report at all cannot be served.
                if (s == Silence::vanishes || s == Silence::writesRefused) {
                    EXPECT_NE(r.status, 0) << r.out;
                }
            }
        }
    }
}

// Runs whose virtual time follows from the retry counts and waits alone.
TEST(HangAuditTest, DerivedDurationsOfSilentRuns) {
    struct Case {
        int32_t type;
        Mode mode;
        Silence silence;
        uint64_t ms;
        const char* derivation;
    };
    const Case cases[] = {
        {CHIP_FJORDK8, Mode::read, Silence::neverAnswers, 3 * (2000 + 20),
         "three attempts, each a bounded read of 2000 ms and 20 ms"},
        {CHIP_FJORDK8, Mode::vid, Silence::neverAnswers, 5 * (2000 + 20),
         "five Pid reads of 2000 ms with 20 ms after each, then the query gives up"},
        {CHIP_FJORDK, Mode::vid, Silence::neverAnswers, 5 * 20,
         "five Pid reads answered at once by a stale report, 20 ms after each"},
        {CHIP_CORVINA, Mode::vid, Silence::vanishes, 3 * 50 + 5 * 20 + 3 * 50,
         "disable: three failed commands with 50 ms; five Pid reads with 20 ms; enable as "
         "disable"},
        {CHIP_5410, Mode::rawData, Silence::neverAcks, 3 * (5 + 5 * 2) + 10,
         "three data-mode commands, each 5 ms and five polls 2 ms apart; normal mode and 10 ms"},
        {CHIP_FJORDK, Mode::firmware, Silence::neverAcks, 3 * (250 + 50),
         "three downloads: switch to patch, 250 ms, five patch checks that read not-ready, 50 ms"},
        {CHIP_FJORDK8, Mode::config, Silence::neverAnswers, 3 * (10 + 5 * (2000 + 30) + 5) + 200,
         "version read start: three commands, each 10 ms, five 2000 ms reads with 30 ms, 5 ms; "
         "then the reset's 200 ms"},
        {CHIP_FJORDH3, Mode::write, Silence::writesRefused, 3 * 20,
         "three write attempts with 20 ms after each"},
        {CHIP_5415R, Mode::writeCmd, Silence::vanishes, 3 * 20,
         "three write attempts with 20 ms after each"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(emu::familyName(c.type)) + " " + matrix::modeName(c.mode) +
                     ", device " + silenceName(c.silence) + ": " + c.derivation);
        InProcessRun run(c.type);
        silence(run.chip(), c.silence);
        const RunResult r = run.run(matrix::modeArgs(c.mode, c.type));
        EXPECT_EQ(r.elapsedMs, c.ms);
        EXPECT_LE(r.elapsedMs, matrix::boundMs(c.mode, c.type));
        EXPECT_NE(r.status, 0);
    }
}

// An open that never succeeds: three attempts 400 ms apart, then the run
// ends, after the clean-up steps that run on every path.
TEST(HangAuditTest, AFailingOpenEndsAfterThreeAttempts) {
    for (const Mode mode : matrix::allModes()) {
        if (!matrix::modeApplies(mode, CHIP_FJORDH3))
            continue;
        SCOPED_TRACE(matrix::modeName(mode));
        InProcessRun run(CHIP_FJORDH3);
        ASSERT_TRUE(run.chip().addFault(emu::faults::failOpen()));
        const RunResult r = run.run(matrix::modeArgs(mode, CHIP_FJORDH3));
        // The updates still re-enable reporting (three attempts failing at
        // the command write, 50 ms each); the configuration update also
        // resets (three failed writes 300 ms apart, then 200 ms).
        uint64_t expected = 3 * 400;
        if (mode == Mode::firmware || mode == Mode::firmwareConfig)
            expected += 3 * 50;
        if (mode == Mode::config)
            expected += (3 * 300 + 200) + 3 * 50;
        EXPECT_EQ(r.elapsedMs, expected);
        EXPECT_LE(r.elapsedMs, matrix::boundMs(mode, CHIP_FJORDH3));
        EXPECT_EQ(run.sys().host().openCount(emu::InterfaceRole::chip), 0);
        EXPECT_EQ(run.chip().outputReports(), 0);
    }
}

// The table of bounds in docs/RELIABILITY.md is the one the tests check.
TEST(HangAuditTest, TheDocumentedBoundsAreTheCheckedOnes) {
    std::ifstream doc(std::string(TOUCHFW_SOURCE_DIR) + "/docs/RELIABILITY.md");
    ASSERT_TRUE(doc.good());
    std::vector<std::vector<std::string>> rows;
    std::string line;
    bool header = false;
    while (std::getline(doc, line)) {
        if (line ==
            "| Run mode | 5410 | 5415R | fjordK | fjordH3 | Corvina | fjordK8 | fjordK4 |") {
            header = true;
            continue;
        }
        if (header && line.rfind("|", 0) != 0)
            break;  // the end of the table
        if (!header || line.rfind("| `", 0) != 0)
            continue;
        std::vector<std::string> cells;
        std::stringstream parts(line.substr(1));
        std::string cell;
        while (std::getline(parts, cell, '|')) {
            const size_t first = cell.find_first_not_of(' ');
            const size_t last = cell.find_last_not_of(' ');
            cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
        }
        rows.push_back(cells);
    }
    size_t checked = 0;
    for (const Mode mode : matrix::allModes()) {
        const std::string name = std::string("`") + matrix::modeName(mode) + "`";
        const std::vector<std::string>* row = nullptr;
        for (const auto& r : rows) {
            if (!r.empty() && r[0] == name)
                row = &r;
        }
        ASSERT_NE(row, nullptr) << "no row for " << name;
        ASSERT_GE(row->size(), 1 + matrix::allFamilies().size()) << name;
        for (size_t i = 0; i < matrix::allFamilies().size(); ++i) {
            const int32_t type = matrix::allFamilies()[i];
            const std::string& cell = (*row)[1 + i];
            SCOPED_TRACE(name + " " + emu::familyName(type));
            // "-": the run mode has no device run on the family (fjordK8
            // touch data); Corvina's refused configuration-only update is 0.
            if (mode == Mode::rawData && type == CHIP_FJORDK8) {
                EXPECT_EQ(cell, "-");
                continue;
            }
            std::string digits;
            for (const char c : cell) {
                if (c >= '0' && c <= '9')
                    digits += c;
            }
            EXPECT_EQ(digits, std::to_string(matrix::boundMs(mode, type)));
            ++checked;
        }
    }
    EXPECT_TRUE(header) << "the table's columns are the families in this order";
    EXPECT_GT(checked, 0u);
}

}  // namespace
