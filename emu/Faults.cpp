#include "emu/Faults.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace emu {

namespace {

struct CommandNameRow {
    ChipCommand command;
    const char* name;
};

const CommandNameRow kCommandNames[] = {
    {ChipCommand::none, "none"},
    {ChipCommand::reportDisable, "report-disable"},
    {ChipCommand::reportEnable, "report-enable"},
    {ChipCommand::reportQuery, "report-query"},
    {ChipCommand::dataMode, "data-mode"},
    {ChipCommand::normalMode, "normal-mode"},
    {ChipCommand::cfgStart, "cfg-start"},
    {ChipCommand::cfgWriteDone, "cfg-write-done"},
    {ChipCommand::cfgFinish, "cfg-finish"},
    {ChipCommand::cfgReadStart, "cfg-read-start"},
    {ChipCommand::cfgReadEnd, "cfg-read-end"},
    {ChipCommand::cfgSessionEnd, "cfg-session-end"},
    {ChipCommand::switchToPatch, "switch-to-patch"},
    {ChipCommand::enterUpdate, "enter-update"},
    {ChipCommand::flashBlock, "flash-block"},
    {ChipCommand::restart, "restart"},
    {ChipCommand::flashPrepare, "flash-prepare"},
};

std::vector<std::string> split(const std::string& text, const char* separators) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (std::string(separators).find(c) != std::string::npos) {
            parts.push_back(current);
            current.clear();
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            current += c;
        }
    }
    parts.push_back(current);
    return parts;
}

bool parseNumber(const std::string& text, long long* out) {
    if (text.empty())
        return false;
    char* end = nullptr;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const long long value = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (end == nullptr || *end != '\0' || value < 0)
        return false;
    *out = value;
    return true;
}

bool parseTimes(const std::string& text, int* times) {
    if (text == "forever" || text == "always") {
        *times = kForever;
        return true;
    }
    long long value = 0;
    if (!parseNumber(text, &value) || value < 1 || value > 1000000)
        return false;
    *times = static_cast<int>(value);
    return true;
}

bool parseAddress(const std::string& text, const ChipProfile& p, uint32_t* addr) {
    struct Named {
        const char* name;
        uint32_t addr;
    };
    const Named named[] = {
        {"cmd", p.cmdAddr},
        {"cfg", p.cfgAddr},
        {"fwbuf", p.fwBufAddr},
        {"raw", p.rawDataAddr},
        {"diff", p.diffDataAddr},
        {"base", p.baseDataAddr},
        {"pid", p.pidAddr},
        {"vid", p.vidAddr},
        {"sid", p.sidAddr},
        {"patch-status", p.patchStatusAddr},
        {"flash-status", p.flashStatusAddr},
        {"data-ready", p.dataReadyAddr},
        {"report-status", p.reportStatusAddr},
    };
    for (const Named& n : named) {
        if (text == n.name) {
            *addr = n.addr;
            return true;
        }
    }
    long long value = 0;
    if (text.size() < 3 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X') ||
        !parseNumber(text, &value) || value > 0xFFFFFFFFLL) {
        return false;
    }
    *addr = static_cast<uint32_t>(value);
    return true;
}

}  // namespace

const char* commandName(ChipCommand command) {
    for (const CommandNameRow& row : kCommandNames) {
        if (row.command == command)
            return row.name;
    }
    return "?";
}

ChipCommand commandFromName(const std::string& name) {
    for (const CommandNameRow& row : kCommandNames) {
        if (name == row.name)
            return row.command;
    }
    return ChipCommand::none;
}

namespace {

// Indexed by FaultOn and FaultDo.
const char* const kFaultOnNames[] = {
    "open", "output report", "input report", "read request", "write request", "command", "frame"};
const char* const kFaultDoNames[] = {"fail transfer",
                                     "drop report",
                                     "disappear",
                                     "no answer",
                                     "wrong length",
                                     "corrupt data",
                                     "withhold acknowledgement",
                                     "corrupt acknowledgement",
                                     "wrong version id",
                                     "late answer"};
static_assert(std::size(kFaultOnNames) == static_cast<size_t>(FaultOn::frame) + 1,
              "one name per fault place");
static_assert(std::size(kFaultDoNames) == static_cast<size_t>(FaultDo::lateAnswer) + 1,
              "one name per fault action");

}  // namespace

const char* faultOnName(FaultOn on) {
    const size_t i = static_cast<size_t>(on);
    return i < std::size(kFaultOnNames) ? kFaultOnNames[i] : "?";
}

const char* faultDoName(FaultDo action) {
    const size_t i = static_cast<size_t>(action);
    return i < std::size(kFaultDoNames) ? kFaultDoNames[i] : "?";
}

std::string FaultRule::describe() const {
    std::string text = std::string(faultDoName(action)) + " on " + faultOnName(on);
    if (on == FaultOn::command) {
        text += std::string(" ") + commandName(command);
    }
    if ((on == FaultOn::readRequest || on == FaultOn::writeRequest) && !anyAddress) {
        char buf[24];
        std::snprintf(buf, sizeof buf, " at 0x%X", address);
        text += buf;
    }
    text += " (occurrence " + std::to_string(seen) + ")";
    return text;
}

bool FaultScript::valid(const FaultRule& rule) {
    if (rule.skip < 0 || (rule.times < 1 && rule.times != kForever))
        return false;
    switch (rule.on) {
        case FaultOn::open:
            return rule.action == FaultDo::failTransfer;
        case FaultOn::outputReport:
            return rule.action == FaultDo::failTransfer || rule.action == FaultDo::dropReport ||
                   rule.action == FaultDo::disappear;
        case FaultOn::inputReport:
            return rule.action == FaultDo::failTransfer || rule.action == FaultDo::disappear;
        case FaultOn::readRequest:
            return rule.action == FaultDo::failTransfer || rule.action == FaultDo::noAnswer ||
                   rule.action == FaultDo::wrongLength || rule.action == FaultDo::corruptData ||
                   rule.action == FaultDo::lateAnswer;
        case FaultOn::writeRequest:
            return rule.action == FaultDo::failTransfer || rule.action == FaultDo::dropReport;
        case FaultOn::command:
            if (rule.action == FaultDo::wrongVid)
                return rule.command == ChipCommand::restart;
            // These commands have no acknowledgement to withhold or corrupt.
            if (rule.command == ChipCommand::enterUpdate ||
                rule.command == ChipCommand::cfgSessionEnd ||
                rule.command == ChipCommand::restart) {
                return false;
            }
            return rule.action == FaultDo::withholdAck || rule.action == FaultDo::corruptAck;
        case FaultOn::frame:
            return rule.action == FaultDo::withholdAck;
    }
    return false;
}

bool FaultScript::add(const FaultRule& rule) {
    if (!valid(rule))
        return false;
    FaultRule fresh = rule;
    fresh.seen = 0;
    fresh.fired = 0;
    rules_.push_back(fresh);
    return true;
}

std::optional<FaultDo> FaultScript::check(FaultOn on, ChipCommand command, uint32_t address,
                                          std::string* which) {
    std::optional<FaultDo> result;
    for (FaultRule& rule : rules_) {
        if (rule.on != on)
            continue;
        if (on == FaultOn::command && rule.command != ChipCommand::none &&
            rule.command != command) {
            continue;
        }
        if ((on == FaultOn::readRequest || on == FaultOn::writeRequest) && !rule.anyAddress &&
            rule.address != address) {
            continue;
        }
        ++rule.seen;
        const bool inWindow = rule.seen > rule.skip &&
                              (rule.times == kForever || rule.seen <= rule.skip + rule.times);
        if (inWindow && !result) {
            ++rule.fired;
            result = rule.action;
            if (which)
                *which = rule.describe();
        }
    }
    return result;
}

namespace faults {

namespace {
FaultRule make(FaultOn on, FaultDo action, int skip, int times) {
    FaultRule rule;
    rule.on = on;
    rule.action = action;
    rule.skip = skip;
    rule.times = times;
    return rule;
}
FaultRule at(FaultRule rule, uint32_t addr) {
    rule.anyAddress = false;
    rule.address = addr;
    return rule;
}
FaultRule forCommand(FaultRule rule, ChipCommand command) {
    rule.command = command;
    return rule;
}
int nthToSkip(int nth) {
    return nth > 1 ? nth - 1 : 0;
}
}  // namespace

FaultRule failOpen(int times) {
    return make(FaultOn::open, FaultDo::failTransfer, 0, times);
}
FaultRule failOutputReport(int nth, int times) {
    return make(FaultOn::outputReport, FaultDo::failTransfer, nthToSkip(nth), times);
}
FaultRule dropOutputReport(int nth, int times) {
    return make(FaultOn::outputReport, FaultDo::dropReport, nthToSkip(nth), times);
}
FaultRule disappearAtOutputReport(int nth) {
    return make(FaultOn::outputReport, FaultDo::disappear, nthToSkip(nth), 1);
}
FaultRule failInputReport(int nth, int times) {
    return make(FaultOn::inputReport, FaultDo::failTransfer, nthToSkip(nth), times);
}
FaultRule failAnswerAt(uint32_t addr, int times, int skip) {
    return at(make(FaultOn::readRequest, FaultDo::failTransfer, skip, times), addr);
}
FaultRule lateAnswerAt(uint32_t addr, int times, int skip) {
    return at(make(FaultOn::readRequest, FaultDo::lateAnswer, skip, times), addr);
}

FaultRule noAnswerAt(uint32_t addr, int times, int skip) {
    return at(make(FaultOn::readRequest, FaultDo::noAnswer, skip, times), addr);
}
FaultRule wrongLengthAt(uint32_t addr, int times, int skip) {
    return at(make(FaultOn::readRequest, FaultDo::wrongLength, skip, times), addr);
}
FaultRule corruptAnswerAt(uint32_t addr, int times, int skip) {
    return at(make(FaultOn::readRequest, FaultDo::corruptData, skip, times), addr);
}
FaultRule dropWriteAt(uint32_t addr, int times, int skip) {
    return at(make(FaultOn::writeRequest, FaultDo::dropReport, skip, times), addr);
}
FaultRule withholdAck(ChipCommand command, int times, int skip) {
    return forCommand(make(FaultOn::command, FaultDo::withholdAck, skip, times), command);
}
FaultRule corruptAck(ChipCommand command, int times, int skip) {
    return forCommand(make(FaultOn::command, FaultDo::corruptAck, skip, times), command);
}
FaultRule wrongVidAfterRestart(int times) {
    return forCommand(make(FaultOn::command, FaultDo::wrongVid, 0, times), ChipCommand::restart);
}
FaultRule frameNeverReady(int times, int skip) {
    return make(FaultOn::frame, FaultDo::withholdAck, skip, times);
}

}  // namespace faults

namespace {

// What the value after a fault's name is.
enum class FaultValue { none, reportNumber, address, command };

// A fault of the list: the rule it adds for each value.
struct FaultSpec {
    const char* name;
    FaultOn on;
    FaultDo action;
    FaultValue value;
    int times;  // when no count is given; 0: the fault takes no count and fires once
    // The values, blank-separated, of a fault that takes none (one rule each).
    const char* fixed = nullptr;
};

const FaultSpec kFaultSpecs[] = {
    {"fail-open", FaultOn::open, FaultDo::failTransfer, FaultValue::none, kForever},
    {"wrong-vid-after-restart", FaultOn::command, FaultDo::wrongVid, FaultValue::command, kForever,
     "restart"},
    {"frame-never-ready", FaultOn::frame, FaultDo::withholdAck, FaultValue::none, kForever},
    {"bad-ram-check", FaultOn::readRequest, FaultDo::corruptData, FaultValue::address, kForever,
     "fwbuf"},
    {"fail-block-read", FaultOn::readRequest, FaultDo::failTransfer, FaultValue::address, kForever,
     "raw diff base"},
    {"fail-write", FaultOn::outputReport, FaultDo::failTransfer, FaultValue::reportNumber, 1},
    {"drop-write", FaultOn::outputReport, FaultDo::dropReport, FaultValue::reportNumber, 1},
    {"fail-read", FaultOn::inputReport, FaultDo::failTransfer, FaultValue::reportNumber, 1},
    {"disappear", FaultOn::outputReport, FaultDo::disappear, FaultValue::reportNumber, 0},
    {"fail-answer", FaultOn::readRequest, FaultDo::failTransfer, FaultValue::address, kForever},
    {"no-answer", FaultOn::readRequest, FaultDo::noAnswer, FaultValue::address, kForever},
    {"wrong-length", FaultOn::readRequest, FaultDo::wrongLength, FaultValue::address, kForever},
    {"corrupt-answer", FaultOn::readRequest, FaultDo::corruptData, FaultValue::address, kForever},
    {"drop-write-at", FaultOn::writeRequest, FaultDo::dropReport, FaultValue::address, 1},
    {"late-answer", FaultOn::readRequest, FaultDo::lateAnswer, FaultValue::address, 1},
    {"withhold-ack", FaultOn::command, FaultDo::withholdAck, FaultValue::command, kForever},
    {"corrupt-ack", FaultOn::command, FaultDo::corruptAck, FaultValue::command, kForever},
};

// The value after a fault's name; "" when it reads, else why not.
std::string parseFaultValue(FaultValue kind, const std::string& text, const ChipProfile& profile,
                            uint32_t* value) {
    long long nth = 0;
    switch (kind) {
        case FaultValue::reportNumber:
            if (!parseNumber(text, &nth) || nth < 1 || nth > 100000000)
                return "bad report number";
            *value = static_cast<uint32_t>(nth);
            return "";
        case FaultValue::address:
            return parseAddress(text, profile, value) ? "" : "bad address";
        case FaultValue::command:
            *value = static_cast<uint32_t>(commandFromName(text));
            return *value == static_cast<uint32_t>(ChipCommand::none) ? "unknown command" : "";
        case FaultValue::none:
            break;
    }
    return "";
}

// The rule of `spec` with value `v` (report number, address or command)
// and count `times`.
FaultRule ruleOf(const FaultSpec& spec, uint32_t v, int times) {
    const int skip =
        spec.value == FaultValue::reportNumber ? faults::nthToSkip(static_cast<int>(v)) : 0;
    const FaultRule rule = faults::make(spec.on, spec.action, skip, spec.times == 0 ? 1 : times);
    if (spec.value == FaultValue::address)
        return faults::at(rule, v);
    if (spec.value == FaultValue::command)
        return faults::forCommand(rule, static_cast<ChipCommand>(v));
    return rule;
}

// One fault item, "name[:value][:count]"; "" when it reads, else why not.
std::string parseFaultItem(const std::string& item, const ChipProfile& profile,
                           std::vector<FaultRule>* out) {
    const std::vector<std::string> parts = split(item, ":");
    const FaultSpec* spec = nullptr;
    for (const FaultSpec& s : kFaultSpecs) {
        if (parts[0] == s.name)
            spec = &s;
    }
    if (spec == nullptr)
        return "unknown fault";
    const FaultValue asked = spec->fixed != nullptr ? FaultValue::none : spec->value;
    const size_t values = parts.size() - 1;
    const size_t needed = asked == FaultValue::none ? 0 : 1;
    if (values < needed || values > needed + 1) {
        const char* const needs[] = {"too many values", "needs the report number",
                                     "needs an address", "needs a command name"};
        return needs[static_cast<int>(asked)];
    }
    // A fault that takes no value adds one rule.
    const std::vector<std::string> texts = spec->fixed != nullptr
                                               ? split(spec->fixed, " ")
                                               : std::vector<std::string>{needed ? parts[1] : ""};
    std::vector<uint32_t> read(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string why = parseFaultValue(spec->value, texts[i], profile, &read[i]);
        if (!why.empty())
            return why;
    }
    int times = spec->times;
    if (values > needed && !parseTimes(parts[values], &times))
        return "bad count";
    if (values > needed && spec->times == 0)
        return "too many values";
    for (const uint32_t v : read)
        out->push_back(ruleOf(*spec, v, times));
    return "";
}

}  // namespace

bool parseFaultList(const std::string& text, const ChipProfile& profile,
                    std::vector<FaultRule>* rules, std::string* error) {
    std::vector<FaultRule> parsed;
    for (const std::string& item : split(text, ";,")) {
        if (item.empty())
            continue;
        const std::string why = parseFaultItem(item, profile, &parsed);
        if (!why.empty()) {
            if (error)
                *error = "\"" + item + "\": " + why;
            return false;
        }
    }
    if (rules)
        rules->insert(rules->end(), parsed.begin(), parsed.end());
    return true;
}

}  // namespace emu
