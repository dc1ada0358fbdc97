// The end-state matrix: every run mode on every family against every fault
// the chip emulator can inject (each event it can hit times each thing it
// can do there, as the emulator's own rule check admits them), once at a
// position and from a position on. The oracle is the chip itself: a run
// that exits 0 must leave it exactly as asked (matrix::endStateDifferences)
// and print what a fault-free run prints. Where the protocol gives the tool
// no way to see a fault, the cell is listed in kProtocolLimits, which
// docs/RELIABILITY.md shows. A run that fails says so, and tells whether it
// could not put the chip back.
//
// The same cells run with and without --record: the recording must not
// change the status, the output or the log.
//
// The default run takes a few positions per fault and family (a dozen for
// the classic faults: a report failing once, the device vanishing, a wrong
// length, a late answer), and a variant with more arguments (--verify) on
// one family only. TOUCHFW_ENDSTATE_FULL=1 (`ctest -C endstate -L
// endstate`) takes every position on one family per framing (5410, 5415R,
// fjordH3, fjordK8) and a dozen on the others, and fails when a listed
// limit no longer shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "chip/ChipProfile.h"
#include "tests/FaultMatrixSupport.h"

namespace {

using emu::ChipCommand;
using emu::FaultDo;
using emu::FaultOn;
using matrix::InProcessRun;
using matrix::Mode;
using matrix::RunResult;

// ---- the faults ----

struct FaultKind {
    FaultOn on;
    FaultDo action;
    ChipCommand command;  // FaultOn::command: which one (none: any)
    bool persistent;      // from the position on, instead of once

    emu::FaultRule rule(int position) const {
        emu::FaultRule r;
        r.on = on;
        r.action = action;
        r.command = command;
        r.skip = position - 1;
        r.times = persistent ? emu::kForever : 1;
        return r;
    }
    // Counts the events the fault can hit, without firing.
    emu::FaultRule counter() const {
        emu::FaultRule r = rule(1);
        r.skip = 1 << 30;
        return r;
    }
    std::string name() const {
        std::string text = std::string(emu::faultDoName(action)) + " on " + emu::faultOnName(on);
        if (on == FaultOn::command)
            text += std::string(" ") + emu::commandName(command);
        return text + (persistent ? ", from then on" : ", once");
    }
    bool is(FaultOn o, FaultDo a) const { return on == o && action == a; }
};

bool named(const char* name) {
    return std::string(name) != "?";
}

// Every combination the emulator accepts; a vanished device stays vanished,
// so disappearing has no "from then on".
std::vector<FaultKind> allFaultKinds() {
    std::vector<FaultKind> kinds;
    for (int on = 0; named(emu::faultOnName(static_cast<FaultOn>(on))); ++on) {
        for (int action = 0; named(emu::faultDoName(static_cast<FaultDo>(action))); ++action) {
            const bool commands = static_cast<FaultOn>(on) == FaultOn::command;
            for (int command = 0;
                 commands ? named(emu::commandName(static_cast<ChipCommand>(command)))
                          : command == 0;
                 ++command) {
                for (const bool persistent : {false, true}) {
                    const FaultKind kind{static_cast<FaultOn>(on), static_cast<FaultDo>(action),
                                         static_cast<ChipCommand>(command), persistent};
                    if (emu::FaultScript::valid(kind.rule(1)) &&
                        !(persistent && kind.action == FaultDo::disappear)) {
                        kinds.push_back(kind);
                    }
                }
            }
        }
    }
    return kinds;
}

// The faults the matrix has always swept densely (late answers where they
// queue: on the 65-byte path a late answer never comes).
bool classic(const FaultKind& k, int32_t type) {
    return !k.persistent &&
           (k.is(FaultOn::outputReport, FaultDo::failTransfer) ||
            k.is(FaultOn::outputReport, FaultDo::disappear) ||
            k.is(FaultOn::readRequest, FaultDo::wrongLength) ||
            (k.is(FaultOn::readRequest, FaultDo::lateAnswer) && type == CHIP_FJORDK8));
}

// ---- the run modes ----

// A run mode with the arguments it is run with. A variant with more
// arguments (a read-back option, say) is one more row; the protocol limits
// name the variants they hold for.
struct Variant {
    Mode mode;
    std::vector<std::string> extraArgs;

    std::string name() const {
        std::string text = matrix::modeName(mode);
        for (const std::string& arg : extraArgs)
            text += " " + arg;
        return text;
    }
};

void PrintTo(const Variant& variant, std::ostream* os) {
    *os << variant.name();
}

const Variant kVariants[] = {
    {Mode::pid, {}},
    {Mode::vid, {}},
    {Mode::sensorId, {}},
    {Mode::cfgVer, {}},
    {Mode::read, {}},
    {Mode::write, {}},
    {Mode::writeCmd, {}},
    {Mode::config, {}},
    {Mode::firmware, {}},
    {Mode::allData, {}},
    {Mode::firmwareConfig, {}},
    // A read-back that passes vouches for what it read.
    {Mode::config, {"--verify"}},
    {Mode::firmwareConfig, {"--verify"}},
    {Mode::write, {"--verify"}},
};

size_t variantIndex(const Variant& variant) {
    size_t i = 0;
    while (kVariants[i].name() != variant.name())
        ++i;
    return i;
}

// The time a run of the variant may take: its run mode's, and with
// --verify that of the read-back (a register read of the data written, a
// read of the configuration area).
uint64_t boundMs(const Variant& variant, int32_t type) {
    const auto& extra = variant.extraArgs;
    if (std::find(extra.begin(), extra.end(), "--verify") == extra.end())
        return matrix::boundMs(variant.mode, type);
    return matrix::boundMs(variant.mode, type) +
           matrix::boundMs(variant.mode == Mode::write ? Mode::read : Mode::cfgVer, type);
}

// ---- what the protocol cannot see ----

const char* const kOutputDiffers = "output differs from a fault-free run";

// Cells that end 0 with the chip (or the output) not as asked, because
// nothing on the wire tells the tool. `faults` are starts of
// FaultKind::name(); `families` is "all", "65-byte path" (all but fjordK8)
// or family names; `seenWith` names the option that makes the tool see it.
struct ProtocolLimit {
    std::vector<const char*> modes;
    std::vector<const char*> faults;
    const char* families;
    const char* endState;
    const char* seenWith;
    const char* why;
};

const ProtocolLimit kProtocolLimits[] = {
    {{"-p pid", "-p vid", "-p sensorid", "-r", "--rawdata --diffdata --basedata"},
     {"corrupt data on read request"},
     "all",
     kOutputDiffers,
     "",
     "a register answer carries no checksum: inverted data bytes read as the chip's values"},
    {{"-p pid", "-p vid", "-r", "--rawdata --diffdata --basedata"},
     {"drop report on output report", "no answer on read request", "late answer on read request"},
     "65-byte path",
     kOutputDiffers,
     "",
     "a read request the chip never answers leaves its previous input report in place; with the "
     "same length field it is taken as the answer (see Honest limits)"},
    {{"-p pid", "-p vid", "-p sensorid", "-p cfgver", "-c", "-f", "-f -c", "-c --verify",
      "-f -c --verify"},
     {"drop report"},
     "5410 5415R Corvina",
     "reporting off",
     "",
     "5410 and 5415R write the enable without reading anything back; on Corvina a lost enable "
     "and query leave the command status and the status answer of the commands before, which "
     "read as enabled"},
    {{"-p cfgver", "-c --verify", "-f -c --verify"},
     {"drop report"},
     "fjordK fjordH3 Corvina fjordK8 fjordK4",
     "configuration read open",
     "",
     "every configuration command is acknowledged with the same bytes, which stay in the "
     "command register until the next command: a lost read end reads as acknowledged"},
    {{"-w"},
     {"drop report"},
     "all",
     "registers differ from the data",
     "--verify",
     "register writes are not acknowledged"},
    {{"--writecmd"},
     {"drop report"},
     "all",
     "command never reached the chip",
     "",
     "a raw command report is not acknowledged"},
    {{"-c"},
     {"drop report"},
     "all",
     "configuration differs from the file",
     "--verify",
     "the download is judged by the version read back: a lost data report elsewhere in the "
     "block, or a lost write done or finish whose acknowledgement reads as the previous "
     "command's, goes unseen"},
    {{"-f -c"},
     {"drop report"},
     "5410 5415R",
     "configuration differs from the file",
     "--verify",
     "the configuration step is the download of `-c` (the fjord family flashes the "
     "configuration, block by block with a checksum)"},
    {{"-c --verify"},
     {"drop report"},
     "all",
     "configuration differs from the file",
     "",
     "the read-back compares the configuration area, which shows zeros past the bytes the chip "
     "took: a lost last data report that carries only zero fill reads back as written"},
    {{"-f -c --verify"},
     {"drop report"},
     "5410 5415R",
     "configuration differs from the file",
     "",
     "as for `-c --verify`"},
    {{"--rawdata --diffdata --basedata"},
     {"drop report"},
     "65-byte path",
     "data mode",
     "",
     "the normal-mode command is written once and nothing is read back"},
    {{"-f -c", "-f -c --verify"},
     {"wrong version id on command restart"},
     "5410 5415R",
     "Vid differs from the image",
     "",
     "the configuration step restarts the chip after the firmware step checked the Vid, and "
     "nothing reads it again"},
};

bool listed(const std::vector<const char*>& items, const std::string& text, bool prefix) {
    for (const char* item : items) {
        if (prefix ? text.rfind(item, 0) == 0 : text == item)
            return true;
    }
    return false;
}

bool familyListed(const char* families, int32_t type) {
    const std::string list = families;
    if (list == "all")
        return true;
    if (list == "65-byte path")
        return type != CHIP_FJORDK8;
    const std::string name = emu::familyName(type);
    return (" " + list + " ").find(" " + name + " ") != std::string::npos;
}

// The row that explains a wrong end state; null when none does.
const ProtocolLimit* limitFor(const std::string& variant, const FaultKind& kind, int32_t type,
                              const std::string& difference) {
    for (const ProtocolLimit& limit : kProtocolLimits) {
        if (listed(limit.modes, variant, false) && listed(limit.faults, kind.name(), true) &&
            familyListed(limit.families, type) && difference == limit.endState)
            return &limit;
    }
    return nullptr;
}

// The table as docs/RELIABILITY.md shows it.
std::string limitsTable() {
    const auto join = [](const std::vector<const char*>& items) {
        std::string text;
        for (const char* item : items)
            text += (text.empty() ? "`" : ", `") + std::string(item) + "`";
        return text;
    };
    std::string table =
        "| Run modes | Fault | Families | End state | Seen with | Why the tool cannot see it |\n"
        "|---|---|---|---|---|---|\n";
    for (const ProtocolLimit& limit : kProtocolLimits) {
        table += "| " + join(limit.modes) + " | " + join(limit.faults) + " | " + limit.families +
                 " | " + limit.endState + " | " + (*limit.seenWith ? limit.seenWith : "-") + " | " +
                 limit.why + " |\n";
    }
    return table;
}

// ---- positions ----

bool fullRun() {
    const char* full = std::getenv("TOUCHFW_ENDSTATE_FULL");
    return full != nullptr && std::string(full) == "1";
}

// The families whose every position the full run takes: one per framing,
// both of the 16-bit framing (their configuration sessions differ).
bool everyPosition(int32_t type) {
    return fullRun() && (type == CHIP_5410 || type == CHIP_5415R || type == CHIP_FJORDH3 ||
                         type == CHIP_FJORDK8);
}

// About `count` positions spread over 1..total, both ends included.
std::vector<int> spread(int total, int count) {
    std::vector<int> chosen;
    const int stride = (total + count - 1) / count;
    for (int n = 1; n < total; n += stride)
        chosen.push_back(n);
    chosen.push_back(total);
    return chosen;
}

// The positions of one fault: all of them, or a dozen for the classic
// faults (and in the full run), else one, which moves with the cell and for
// every other fault that strikes once is the last one (the restore steps
// end a run; a fault from then on reaches them anyway); a vanishing device
// also on the last reports before the run opens its device again.
std::vector<int> positions(const FaultKind& kind, int count, int32_t type, size_t salt,
                           const std::vector<int>& reopenAfter) {
    std::vector<int> chosen;
    if (everyPosition(type)) {
        for (int n = 1; n <= count; ++n)
            chosen.push_back(n);
        return chosen;
    }
    if (classic(kind, type) || fullRun()) {
        chosen = spread(count, 12);
    } else if (salt % 2 == 0 && !kind.persistent) {
        chosen = {count};
    } else {
        chosen = {1 + static_cast<int>(salt / 2 % static_cast<size_t>(count))};
    }
    if (kind.is(FaultOn::outputReport, FaultDo::disappear)) {
        for (const int point : reopenAfter) {
            for (int n = std::max(1, point - 2); n <= point; ++n)
                chosen.push_back(n);
        }
    }
    std::sort(chosen.begin(), chosen.end());
    chosen.erase(std::unique(chosen.begin(), chosen.end()), chosen.end());
    return chosen;
}

// ---- the cells ----

// A fault-free run of one family: its result, how often each fault kind's
// event occurs, and the output reports after which it closes its device
// and later opens it again.
struct Baseline {
    RunResult result;
    std::vector<int> counts;
    std::vector<int> reopenAfter;
};

class EndStateMatrixTest : public ::testing::TestWithParam<Variant> {
  protected:
    std::vector<std::string> args(int32_t type) const {
        std::vector<std::string> all = matrix::modeArgs(GetParam().mode, type);
        all.insert(all.end(), GetParam().extraArgs.begin(), GetParam().extraArgs.end());
        return all;
    }
    Baseline baseline(int32_t type, const std::vector<FaultKind>& kinds);
    RunResult runFaulted(int32_t type, const FaultKind& kind, int position, bool record,
                         const char* logLevel, InProcessRun* run);
    void judge(int32_t type, const FaultKind& kind, int position, const Baseline& fresh);

    const std::vector<FaultKind> kinds_ = allFaultKinds();
    std::set<std::pair<const ProtocolLimit*, std::string>> limitsShown_;  // row, variant
    int cells_ = 0;
};

Baseline EndStateMatrixTest::baseline(int32_t type, const std::vector<FaultKind>& kinds) {
    InProcessRun run(type);
    run.setLogLevel("0x18");
    matrix::prepareChip(run, GetParam().mode);
    for (const FaultKind& kind : kinds)
        EXPECT_TRUE(run.chip().addFault(kind.counter()));
    Baseline b;
    b.result = run.run(args(type));
    EXPECT_EQ(b.result.status, 0) << b.result.out;
    EXPECT_EQ(matrix::endStateDifferences(run, GetParam().mode), std::vector<std::string>{});
    EXPECT_EQ(run.sys().protocolErrors(), std::vector<std::string>{});
    for (const emu::FaultRule& rule : run.chip().faults().rules())
        b.counts.push_back(rule.seen);
    int reports = 0;
    int closedAfter = -1;
    for (const emu::TranscriptEntry& e : run.chip().transcript().entries()) {
        if (e.kind == emu::TranscriptEntry::Kind::output)
            ++reports;
        if (e.kind != emu::TranscriptEntry::Kind::open)
            continue;
        if (e.text.rfind("close handle", 0) == 0) {
            closedAfter = reports;
        } else if (e.text.rfind("open ", 0) == 0 && closedAfter > 0) {
            b.reopenAfter.push_back(closedAfter);
        }
    }
    return b;
}

// One run of the variant with one fault; a vanishing device has a twin
// with its keys.
RunResult EndStateMatrixTest::runFaulted(int32_t type, const FaultKind& kind, int position,
                                         bool record, const char* logLevel, InProcessRun* run) {
    run->setLogLevel(logLevel);
    matrix::prepareChip(*run, GetParam().mode);
    EXPECT_TRUE(run->chip().addFault(kind.rule(position)));
    std::vector<std::string> all = args(type);
    if (record)
        all.insert(all.end(), {"--record", run->logDir() + "/run.rec"});
    return run->run(all);
}

// The protocol errors a fault may cause: any, when the chip lost a report
// (it then sees a broken stream); a command repeated because its
// acknowledgement was not seen, which the chip had already carried out.
bool explained(const FaultKind& kind, const std::string& error) {
    return kind.action == FaultDo::dropReport ||
           error.find("outside a download") != std::string::npos ||
           error.find("read ended without a read start") != std::string::npos;
}

void EndStateMatrixTest::judge(int32_t type, const FaultKind& kind, int position,
                               const Baseline& fresh) {
    const Mode mode = GetParam().mode;
    const std::string variant = GetParam().name();
    SCOPED_TRACE(std::string(emu::familyName(type)) + " " + variant + ": " + kind.name() + " at " +
                 std::to_string(position));
    ++cells_;
    InProcessRun run(type, kind.action == FaultDo::disappear);
    const RunResult r = runFaulted(type, kind, position, false, "0x18", &run);

    EXPECT_GT(run.chip().faults().rules()[0].fired, 0) << "the fault never fired";
    EXPECT_EQ(run.sys().host().openCount(emu::InterfaceRole::twin), 0);
    EXPECT_EQ(run.sys().host().openHandles(), 0u);
    EXPECT_LE(r.elapsedMs, boundMs(GetParam(), type));
    for (const std::string& error : run.sys().protocolErrors()) {
        if (!explained(kind, error))
            ADD_FAILURE() << "protocol error: " << error;
    }
    if (r.status != 0) {
        matrix::expectReportedFailure(mode, type, r);
        // Unless a report was lost unseen, a failed run put the chip back or
        // said it could not.
        if (kind.action != FaultDo::dropReport) {
            EXPECT_TRUE(run.chip().reportingEnabled() ||
                        matrix::logHasError(r.log, "Touch reporting could not be enabled again"));
            EXPECT_TRUE(!run.chip().inDataMode() ||
                        matrix::logHasError(r.log, "could not be returned to normal mode") ||
                        matrix::logHasError(r.log, "the device is gone, capture stopped."));
        }
        return;
    }
    std::vector<std::string> differences = matrix::endStateDifferences(run, mode);
    if (r.out != fresh.result.out)
        differences.push_back(kOutputDiffers);
    for (const std::string& difference : differences) {
        const ProtocolLimit* limit = limitFor(variant, kind, type, difference);
        if (limit == nullptr) {
            ADD_FAILURE() << "exit 0 with " << difference << "\n" << r.out;
        } else {
            limitsShown_.insert({limit, variant});
        }
    }
}

// The families of the variant's cells: all of them; in the default run, a
// variant with more arguments takes one, of the 16-bit and the 32-bit
// register addresses in turn.
std::vector<int32_t> variantFamilies(const Variant& variant) {
    if (fullRun() || variant.extraArgs.empty())
        return matrix::allFamilies();
    const size_t i = variantIndex(variant);
    const int32_t narrow[] = {CHIP_5410, CHIP_5415R};
    const int32_t wide[] = {CHIP_FJORDK, CHIP_FJORDH3, CHIP_CORVINA, CHIP_FJORDK8, CHIP_FJORDK4};
    return {i % 2 == 0 ? narrow[i / 2 % 2] : wide[i / 2 % 5]};
}

TEST_P(EndStateMatrixTest, ExitZeroLeavesTheChipAsAsked) {
    for (const int32_t type : variantFamilies(GetParam())) {
        if (!matrix::modeApplies(GetParam().mode, type))
            continue;
        const Baseline fresh = baseline(type, kinds_);
        for (size_t k = 0; k < kinds_.size(); ++k) {
            if (fresh.counts[k] == 0)
                continue;
            for (const int n : positions(kinds_[k], fresh.counts[k], type,
                                         k * 31 + static_cast<size_t>(type), fresh.reopenAfter))
                judge(type, kinds_[k], n, fresh);
        }
    }
    // In the full run every listed limit still shows in every run mode it names.
    if (fullRun()) {
        for (const ProtocolLimit& limit : kProtocolLimits) {
            for (const char* mode : limit.modes) {
                if (mode == GetParam().name() && limitsShown_.count({&limit, mode}) == 0) {
                    ADD_FAILURE() << "listed, but no longer seen: " << mode << ", "
                                  << limit.faults[0] << ", " << limit.endState;
                }
            }
        }
    }
    RecordProperty("cells", cells_);
}

// Log lines without their timestamps, the command line's --record left out
// and the run's own folder named "DIR".
std::string comparableLog(const std::string& log, const std::string& dir) {
    const std::string recordArgs = " --record " + dir + "/run.rec";
    std::string out;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        end = end == std::string::npos ? log.size() : end + 1;
        std::string line = log.substr(start, end - start);
        const size_t arrow = line.find(" -> ");
        if (arrow != std::string::npos)
            line.erase(0, arrow);
        size_t at = line.find(recordArgs);
        if (at != std::string::npos)
            line.erase(at, recordArgs.size());
        while ((at = line.find(dir)) != std::string::npos)
            line.replace(at, dir.size(), "DIR");
        out += line;
        start = end;
    }
    return out;
}

// With --record every run ends as without it: status, output and log. One
// position per fault, on one family per run mode in the default run (the
// families taken in turn, each fault once, any command), on one family per
// framing in the full run.
TEST_P(EndStateMatrixTest, RecordingChangesNothing) {
    const std::vector<int32_t>& families = matrix::allFamilies();
    std::vector<int32_t> chosen;
    if (fullRun()) {
        chosen = {CHIP_5410, CHIP_FJORDH3, CHIP_FJORDK8};
    } else {
        // The family in turn, or the next one the run mode applies to.
        const size_t i = variantIndex(GetParam());
        for (size_t k = 0; chosen.empty() && k < families.size(); ++k) {
            const int32_t type = families[(i + k) % families.size()];
            if (matrix::modeApplies(GetParam().mode, type))
                chosen = {type};
        }
    }
    for (const int32_t type : chosen) {
        if (!matrix::modeApplies(GetParam().mode, type))
            continue;
        const Baseline fresh = baseline(type, kinds_);
        for (size_t k = 0; k < kinds_.size(); ++k) {
            // Every event and action; in the default run once, on any command.
            if (fresh.counts[k] == 0 ||
                (!fullRun() && (kinds_[k].persistent || kinds_[k].command != ChipCommand::none)))
                continue;
            const int n = 1 + static_cast<int>((k * 7) % static_cast<size_t>(fresh.counts[k]));
            SCOPED_TRACE(std::string(emu::familyName(type)) + " " + GetParam().name() + ": " +
                         kinds_[k].name() + " at " + std::to_string(n));
            ++cells_;
            InProcessRun plain(type, kinds_[k].action == FaultDo::disappear);
            const RunResult without = runFaulted(type, kinds_[k], n, false, "0x1F", &plain);
            InProcessRun recorded(type, kinds_[k].action == FaultDo::disappear);
            const RunResult with = runFaulted(type, kinds_[k], n, true, "0x1F", &recorded);
            EXPECT_EQ(with.status, without.status);
            EXPECT_EQ(with.out, without.out);
            EXPECT_EQ(comparableLog(with.log, recorded.logDir()),
                      comparableLog(without.log, plain.logDir()));
        }
    }
    RecordProperty("cells", cells_);
}

std::string variantTestName(const ::testing::TestParamInfo<Variant>& info) {
    std::string name;
    for (const char c : info.param.name()) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(RunModes, EndStateMatrixTest, ::testing::ValuesIn(kVariants),
                         variantTestName);

// docs/RELIABILITY.md lists the same protocol limits as the matrix.
TEST(EndStateMatrixDocTest, ReliabilityListsTheProtocolLimits) {
    const std::string doc =
        testsupport::readFile(std::string(TOUCHFW_SOURCE_DIR) + "/docs/RELIABILITY.md");
    const std::string table = limitsTable();
    EXPECT_NE(doc.find("\n" + table + "\n"), std::string::npos)
        << "docs/RELIABILITY.md should hold this table:\n"
        << table;
}

}  // namespace

namespace {

// A run whose last steps fail where the tool sees it (a write error, an
// acknowledgement that never comes) does not exit 0: its own Error line,
// the operation's code, the run mode's failure status. The fault strikes
// the last steps of a fault-free run: `fromEnd` output reports before its
// end (`times` of them), or from the last occurrence of a command on.
TEST(PutTheChipBackTest, AFailedLastStepFailsTheRun) {
    struct Case {
        int32_t type;
        Mode mode;
        int fromEnd;  // 0: the command fault below
        int times;
        ChipCommand command;
        FaultDo action;
        const char* ret;  // in the result message ("" for a capture)
        const char* error;
    } cases[] = {
        {CHIP_5410, Mode::vid, 3, 3, ChipCommand::none, FaultDo::failTransfer, "ret = -4.",
         "Touch reporting could not be enabled again. ret = -1."},
        {CHIP_FJORDH3, Mode::firmware, 0, emu::kForever, ChipCommand::reportQuery,
         FaultDo::corruptAck, "ret = -11.",
         "Touch reporting could not be enabled again. ret = -1."},
        {CHIP_5415R, Mode::config, 6, 1, ChipCommand::none, FaultDo::failTransfer, "ret = -6.",
         "The configuration session could not be closed."},
        {CHIP_5410, Mode::config, 4, 3, ChipCommand::none, FaultDo::failTransfer, "ret = -6.",
         "The chip could not be restarted after the configuration update."},
        {CHIP_FJORDK, Mode::cfgVer, 0, emu::kForever, ChipCommand::cfgReadEnd, FaultDo::withholdAck,
         "ret = -5.", "The configuration read could not be ended."},
        {CHIP_FJORDK, Mode::rawData, 1, 1, ChipCommand::none, FaultDo::failTransfer, "",
         "The chip could not be returned to normal mode."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(emu::familyName(c.type)) + " " + matrix::modeName(c.mode) + ": " +
                     c.error);
        int reports = 0;
        int commands = 0;
        {
            InProcessRun fresh(c.type);
            ASSERT_EQ(fresh.run(matrix::modeArgs(c.mode, c.type)).status, 0);
            reports = fresh.chip().outputReports();
            commands = fresh.chip().commandsSeen(c.command);
        }
        emu::FaultRule rule = c.fromEnd > 0 ? emu::faults::failOutputReport(reports - c.fromEnd + 1)
                                            : emu::faults::withholdAck(c.command);
        rule.action = c.action;
        rule.times = c.times;
        if (c.fromEnd == 0)
            rule.skip = commands - 1;
        InProcessRun run(c.type);
        ASSERT_TRUE(run.chip().addFault(rule));
        const RunResult r = run.run(matrix::modeArgs(c.mode, c.type));
        EXPECT_EQ(r.status, -1) << r.out;
        EXPECT_NE(r.out.find(c.ret), std::string::npos) << r.out;
        EXPECT_TRUE(matrix::logHasError(r.log, c.error)) << r.log;
    }
}

}  // namespace
