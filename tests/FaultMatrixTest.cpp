// The fault-injection matrix: every run mode that talks to a device, on
// every family it applies to, against each class of device fault, run
// in-process through runMain() on the chip emulator.
//
// For every cell: the run ends within the run mode's time bound; the exit
// status is 0 exactly when the cell expects the operation to succeed, and
// then the success message is printed, the chip shows the effect and is
// exactly as asked (matrix::endStateDifferences); on
// failure no success message is printed and the log has an Error line that
// names the failing step; reporting is enabled again and data mode left
// (unless the device is gone); no connection stays open; the chip saw no
// malformed frame.
//
// Where a fault is injected is taken from a fault-free run of the same cell,
// so that it hits the operation's main step (the middle of a transfer).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "chip/ChipProfile.h"
#include "sys/FileLock.h"
#include "tests/FaultMatrixSupport.h"
#include "tlc/TlcConnection.h"

namespace matrix {

// Names the run mode in the test's parameter.
void PrintTo(Mode mode, std::ostream* os) {
    *os << modeName(mode);
}

}  // namespace matrix

namespace {

using matrix::InProcessRun;
using matrix::Mode;
using matrix::prepareChip;
using matrix::readPattern;
using matrix::RunResult;
using matrix::successText;
using matrix::writtenBytes;

enum class Fault {
    none,
    openFails,        // every open of the chip fails
    writeFailsOnce,   // the report of the main step fails once
    readFailsOnce,    // the input report answering the main read fails once
    wrongLength,      // the main read is answered with a wrong length, from then on
    ackWithheld,      // the operation's acknowledgement never appears
    ackWrong,         // it appears with a wrong value or checksum
    readyNeverRises,  // the ready flag of the operation never rises
    disappears,       // the device vanishes at the report of the main step
    vidUnchanged,     // after the update the chip still shows the old Vid
};

const Fault kFaults[] = {Fault::none,          Fault::openFails,       Fault::writeFailsOnce,
                         Fault::readFailsOnce, Fault::wrongLength,     Fault::ackWithheld,
                         Fault::ackWrong,      Fault::readyNeverRises, Fault::disappears,
                         Fault::vidUnchanged};

const char* faultName(Fault fault) {
    switch (fault) {
        case Fault::none:
            return "no fault";
        case Fault::openFails:
            return "open fails";
        case Fault::writeFailsOnce:
            return "write fails once";
        case Fault::readFailsOnce:
            return "read fails once";
        case Fault::wrongLength:
            return "wrong length";
        case Fault::ackWithheld:
            return "ack withheld";
        case Fault::ackWrong:
            return "ack wrong";
        case Fault::readyNeverRises:
            return "ready never rises";
        case Fault::disappears:
            return "device disappears";
        case Fault::vidUnchanged:
            return "Vid unchanged";
    }
    return "?";
}

bool isFirmware(Mode mode) {
    return mode == Mode::firmware || mode == Mode::firmwareConfig;
}

// What a cell expects.
struct Expect {
    int status = 0;                     // 0: the operation succeeds
    const char* errorLine = nullptr;    // fragment of an Error line the log must hold
    const char* chipRefuses = nullptr;  // the protocol error the retries provoke, if any
};

// The Error line of the main step when its transfer fails.
const char* readStepError(Mode mode) {
    switch (mode) {
        case Mode::pid:
            return "Read Pid failed";
        case Mode::vid:
            return "Read Vid failed";
        case Mode::sensorId:
            return "Read Sid failed";
        case Mode::cfgVer:
            return "Read cfg version failed";
        case Mode::read:
            return "Read reg failed";
        case Mode::write:
        case Mode::writeCmd:
            return "Write reg failed";
        case Mode::config:
            return "error reading version after update cfg";
        case Mode::firmware:
        case Mode::firmwareConfig:
            return "<checkChipRegValueEx> Read reg";
        case Mode::rawData:
        case Mode::allData:
            return "read failed at addr";
    }
    return "";
}

// The command whose acknowledgement the ack faults hit, and how many of its
// occurrences they let pass; ChipCommand::none where the run mode has none.
struct AckTarget {
    emu::ChipCommand command = emu::ChipCommand::none;
    int skip = 0;
    Expect expect{};
    bool frames = false;  // the frame-ready flag instead of a command's
};

AckTarget ackTarget(Mode mode, int32_t type, bool withheld) {
    const bool queryAnswered = type == CHIP_5410 || type == CHIP_FJORDH3 || type == CHIP_CORVINA;
    // 5410: the status answer's check byte is wrong or stale. fjordH3 and
    // Corvina: a withheld answer comes without the query's acknowledgement; a
    // wrong one carries a wrong checksum.
    const char* queryError = type == CHIP_5410      ? "checksum is invalid"
                             : withheld             ? "CheckCmdStatus failed"
                             : type == CHIP_FJORDH3 ? "GetReportStatusFjordH3 failed"
                                                    : "GetReportStatusCorvina failed";
    switch (mode) {
        case Mode::pid:
        case Mode::vid:
        case Mode::sensorId:
            // The report status answer: a disable that cannot be confirmed is
            // only logged, the query goes on and succeeds on 5410 (whose
            // enable is not confirmed). On fjordH3 and Corvina the enable at
            // the end cannot be confirmed either, and the run fails.
            if (type == CHIP_5410)
                return {emu::ChipCommand::reportQuery, 0, {0, queryError}};
            if (queryAnswered) {
                return {emu::ChipCommand::reportQuery,
                        0,
                        {-1, "Touch reporting could not be enabled again"}};
            }
            return {};
        case Mode::cfgVer:
            if (!matrix::isLegacy(type)) {
                return {emu::ChipCommand::cfgReadStart,
                        0,
                        {-1, "start read cfg at send start read cfg cmd failed"}};
            }
            if (type == CHIP_5410)
                return {emu::ChipCommand::reportQuery, 0, {0, queryError}};
            return {};
        case Mode::config:
            return {emu::ChipCommand::cfgStart, 0, {-1, "Chip write cfg cmd is NOT ready"}};
        case Mode::firmware:
            return {emu::ChipCommand::flashBlock, 0, {-1, "Write load flash command error"}};
        case Mode::firmwareConfig:
            // fjord family: the firmware's three blocks pass, the configuration's block fails.
            return {emu::ChipCommand::flashBlock,
                    matrix::isLegacy(type) ? 0 : 3,
                    {-1, "Write load flash command error"}};
        case Mode::rawData:
            return {emu::ChipCommand::dataMode, 0, {-4, "switch data model failed"}};
        default:
            return {};
    }
}

// The ready flag the ready fault keeps down.
AckTarget readyTarget(Mode mode, int32_t type) {
    switch (mode) {
        case Mode::config:
            // The fjord family repeats an unacknowledged finish, which the
            // chip, its download already closed, refuses.
            return {emu::ChipCommand::cfgFinish,
                    0,
                    {-1, "cfg finish cmd is NOT ready",
                     matrix::isLegacy(type) ? nullptr : "configuration finish outside a download"}};
        case Mode::firmware:
            return {emu::ChipCommand::switchToPatch, 0, {-1, "Switch to patch failed."}};
        case Mode::firmwareConfig:
            if (matrix::isLegacy(type)) {
                // The firmware goes in; the configuration update after it fails: -2.
                return {emu::ChipCommand::cfgFinish, 0, {-2, "cfg finish cmd is NOT ready"}};
            }
            return {emu::ChipCommand::switchToPatch, 0, {-1, "Switch to patch failed."}};
        case Mode::rawData:
            // A frame that never becomes ready fails the capture: fewer
            // frames were shown than asked for.
            return {emu::ChipCommand::none, 0, {-1, "was never ready."}, true};
        default:
            return {};
    }
}

// The expectation of a cell; nullopt where the fault has no meaning for the
// run mode (no read, no acknowledgement, no ready flag, no Vid check).
std::optional<Expect> expectation(Mode mode, Fault fault, int32_t type) {
    const bool writesOnly = mode == Mode::write || mode == Mode::writeCmd;
    switch (fault) {
        case Fault::none:
            return Expect{0, nullptr};
        case Fault::openFails:
            return Expect{mode == Mode::rawData ? -2 : -1, "Open TLC failed."};
        case Fault::writeFailsOnce:
        case Fault::readFailsOnce: {
            if (fault == Fault::readFailsOnce && writesOnly)
                return std::nullopt;
            // The configuration version read and a frame block read have no
            // retry; every other main step is retried.
            if (mode == Mode::cfgVer || mode == Mode::rawData)
                return Expect{-1, readStepError(mode)};
            if (fault == Fault::writeFailsOnce) {
                switch (mode) {
                    case Mode::config:
                        return Expect{0, "Cannot update new cfg data"};
                    case Mode::firmware:
                    case Mode::firmwareConfig:
                        return Expect{0, "Failed to write sub fw"};
                    default:
                        break;
                }
            }
            return Expect{0, readStepError(mode)};
        }
        case Fault::wrongLength:
            if (writesOnly)
                return std::nullopt;
            if (isFirmware(mode))
                return Expect{-1, "Write load flash command error"};
            return Expect{-1, readStepError(mode)};
        case Fault::ackWithheld:
        case Fault::ackWrong: {
            const AckTarget target = ackTarget(mode, type, fault == Fault::ackWithheld);
            if (target.command == emu::ChipCommand::none)
                return std::nullopt;
            return target.expect;
        }
        case Fault::readyNeverRises: {
            const AckTarget target = readyTarget(mode, type);
            if (target.command == emu::ChipCommand::none && !target.frames)
                return std::nullopt;
            return target.expect;
        }
        case Fault::disappears:
            switch (mode) {
                case Mode::config:
                    return Expect{-1, "Write cfg data to"};
                case Mode::firmware:
                case Mode::firmwareConfig:
                    return Expect{-1, "Failed to write sub fw"};
                default:
                    return Expect{-1, readStepError(mode)};
            }
        case Fault::vidUnchanged:
            if (!isFirmware(mode))
                return std::nullopt;
            return Expect{-1, "Vid version verify after updating failed."};
    }
    return std::nullopt;
}

// ---- where the faults hit, from a fault-free run ----

struct WireReport {
    bool read = false;
    bool write = false;
    uint32_t addr = 0;
    std::string text;
};

std::vector<WireReport> outputReports(emu::EmulatedChip& chip) {
    std::vector<WireReport> reports;
    for (const emu::TranscriptEntry& e : chip.transcript().entries()) {
        if (e.kind != emu::TranscriptEntry::Kind::output)
            continue;
        WireReport r;
        r.text = e.description();
        unsigned addr = 0;
        if (std::sscanf(r.text.c_str(), "read 0x%X", &addr) == 1) {
            r.read = true;
        } else if (std::sscanf(r.text.c_str(), "write 0x%X", &addr) == 1) {
            r.write = true;
        }
        r.addr = addr;
        reports.push_back(r);
    }
    return reports;
}

struct Targets {
    std::vector<WireReport> wire;  // output reports of the fault-free run
    int reports = 0;
    int writeReport = 0;  // output report (from 1) of the main step
    int readRequest = 0;  // read request (from 1) of the main read; 0 when none
    uint32_t readAddr = 0;
    int readSkip = 0;  // earlier reads at readAddr
};

// Index (from 1) of a chosen report among those that match.
template <typename Match>
int pick(const std::vector<WireReport>& reports, Match match, bool middle, int nth = 1) {
    std::vector<int> hits;
    for (size_t i = 0; i < reports.size(); ++i) {
        if (match(reports[i]))
            hits.push_back(static_cast<int>(i) + 1);
    }
    if (hits.empty())
        return 0;
    if (middle)
        return hits[hits.size() / 2];
    return static_cast<size_t>(nth) <= hits.size() ? hits[nth - 1] : 0;
}

Targets findTargets(Mode mode, int32_t type, const std::vector<WireReport>& reports) {
    const ChipProfile p = chipProfileOf(type);
    const auto wire = [&](uint32_t addr) {
        return p.protoType == kTlcFramingV1 ? addr & 0xFFFF : addr;
    };
    const auto readAt = [&](uint32_t addr) {
        return [&, addr](const WireReport& r) { return r.read && r.addr == wire(addr); };
    };
    const auto inRange = [&](bool read, uint32_t from, uint32_t length) {
        return [&, read, from, length](const WireReport& r) {
            return (read ? r.read : r.write) && r.addr >= wire(from) &&
                   r.addr < wire(from) + length;
        };
    };
    Targets t;
    t.wire = reports;
    t.reports = static_cast<int>(reports.size());
    int readReport = 0;  // output report index of the main read
    switch (mode) {
        case Mode::pid:
        case Mode::vid:
        case Mode::sensorId:
        case Mode::cfgVer: {
            const uint32_t addr = mode == Mode::pid        ? p.pidAddr
                                  : mode == Mode::vid      ? p.vidAddr
                                  : mode == Mode::sensorId ? p.sidAddr
                                                           : p.cfgAddr;
            readReport = pick(reports, readAt(addr), false);
            t.writeReport = readReport;
            break;
        }
        case Mode::read:
            readReport =
                pick(reports, inRange(true, matrix::scratchAddr(type), matrix::kRegisterRunLength),
                     true);
            t.writeReport = readReport;
            break;
        case Mode::write:
            t.writeReport =
                pick(reports, inRange(false, matrix::scratchAddr(type), matrix::kRegisterRunLength),
                     true);
            break;
        case Mode::writeCmd:
            t.writeReport = pick(
                reports, [](const WireReport& r) { return r.text.rfind("raw restart", 0) == 0; },
                false);
            break;
        case Mode::config:
            t.writeReport = pick(reports, inRange(false, p.cfgAddr, 4096), true);
            readReport =
                pick(reports, readAt(p.cfgAddr), false, 2);  // the check after the download
            break;
        case Mode::firmware:
        case Mode::firmwareConfig:
            // The middle of the data written into the chip's RAM buffer.
            t.writeReport = pick(reports, inRange(false, p.fwBufAddr, 4096), true);
            readReport = pick(reports, readAt(p.flashStatusAddr), true);
            break;
        case Mode::rawData:
        case Mode::allData:
            readReport = pick(
                reports, inRange(true, p.rawDataAddr, matrix::kFrameRows * matrix::kFrameCols * 2),
                true);
            t.writeReport = readReport;
            break;
    }
    if (readReport > 0) {
        for (int i = 0; i < readReport; ++i) {
            if (reports[i].read) {
                ++t.readRequest;
                if (reports[i].addr == reports[readReport - 1].addr && i + 1 < readReport)
                    ++t.readSkip;
            }
        }
        t.readAddr = reports[readReport - 1].addr;
    }
    return t;
}

// ---- the cell ----

std::string hexList(const std::vector<uint8_t>& bytes) {
    std::string text;
    char item[8];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(item, sizeof item, "0x%02X%s", bytes[i], i + 1 < bytes.size() ? ", " : ".\n");
        text += item;
    }
    return text;
}

// The chip shows what a successful run reported or did.
void expectChipEffect(InProcessRun& run, Mode mode, const RunResult& r) {
    emu::EmulatedChip& chip = run.chip();
    const int32_t type = run.type();
    char text[64];
    switch (mode) {
        case Mode::pid:
            EXPECT_NE(r.out.find("PID = " + chip.productId() + ".\n"), std::string::npos);
            break;
        case Mode::vid: {
            const auto vid = chip.versionId();
            std::snprintf(text, sizeof text, "VID = %02X %02X %02X %02X.\n", vid[0], vid[1], vid[2],
                          vid[3]);
            EXPECT_NE(r.out.find(text), std::string::npos);
            break;
        }
        case Mode::sensorId:
            EXPECT_NE(r.out.find("Sensor ID = " + std::to_string(chip.sensorId()) + ".\n"),
                      std::string::npos);
            break;
        case Mode::cfgVer:
            EXPECT_NE(
                r.out.find("Cfg version = " + std::to_string(chip.configurationVersion()) + ".\n"),
                std::string::npos);
            break;
        case Mode::read:
            std::snprintf(text, sizeof text, "Read from reg 0x%04X: ", matrix::scratchAddr(type));
            EXPECT_NE(r.out.find(text + hexList(readPattern())), std::string::npos);
            break;
        case Mode::write:
            EXPECT_EQ(chip.peekRegisters(matrix::scratchAddr(type), matrix::kRegisterRunLength),
                      writtenBytes());
            break;
        case Mode::writeCmd:
            EXPECT_EQ(chip.restarts(), 1);
            break;
        case Mode::config:
            EXPECT_EQ(chip.configurationVersion(), matrix::sampleConfigVersion(type));
            break;
        case Mode::firmware:
        case Mode::firmwareConfig: {
            const auto vid = chip.versionId();
            EXPECT_EQ(std::vector<uint8_t>(vid.begin(), vid.end()),
                      matrix::sampleFirmwareVid(type));
            if (mode == Mode::firmwareConfig) {
                EXPECT_EQ(chip.configurationVersion(), matrix::sampleConfigVersion(type));
            }
            break;
        }
        case Mode::rawData:
        case Mode::allData:
            EXPECT_NE(r.out.find("No.1\nrawdata:\n"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find("rawdata end\n"), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("failed"), std::string::npos) << r.out;
            EXPECT_GE(chip.frameNumber(), 1u);
            break;
    }
}

// What every run must show, whatever its fault: it ended within the run
// mode's bound; a success prints its message and the chip shows the effect
// and is exactly as asked; a failure says so; reporting is on again, data
// mode left (unless the device is gone) and no connection stays open.
void expectConsistentRun(InProcessRun& run, Mode mode, const RunResult& r) {
    const int32_t type = run.type();
    EXPECT_LE(r.elapsedMs, matrix::boundMs(mode, type));

    if (r.status == 0) {
        EXPECT_NE(r.out.find(successText(mode, type)), std::string::npos) << r.out;
        expectChipEffect(run, mode, r);
        EXPECT_EQ(matrix::endStateDifferences(run, mode), std::vector<std::string>{});
    } else {
        matrix::expectReportedFailure(mode, type, r);
    }

    if (!run.sys().host().gone()) {
        if (matrix::hasReportControl(type)) {
            EXPECT_TRUE(run.chip().reportingEnabled());
        }
        EXPECT_FALSE(run.chip().inDataMode());
    }
    EXPECT_EQ(run.sys().host().openHandles(), 0u);
}

bool faultFired(InProcessRun& run) {
    for (const emu::FaultRule& rule : run.chip().faults().rules()) {
        if (rule.fired == 0)
            return false;
    }
    return true;
}

class FaultMatrixTest : public ::testing::TestWithParam<Mode> {
  protected:
    // A fault-free run of the cell, for the fault positions.
    Targets baseline(Mode mode, int32_t type) {
        InProcessRun run(type);
        prepareChip(run, mode);
        const RunResult r = run.run(matrix::modeArgs(mode, type));
        EXPECT_EQ(r.status, 0) << r.out;
        return findTargets(mode, type, outputReports(run.chip()));
    }

    void runCell(Mode mode, int32_t type, Fault fault, const Targets& at, const Expect& expect);

    int cells_ = 0;
};

void FaultMatrixTest::runCell(Mode mode, int32_t type, Fault fault, const Targets& at,
                              const Expect& expect) {
    SCOPED_TRACE(std::string(emu::familyName(type)) + " " + matrix::modeName(mode) + ", " +
                 faultName(fault));
    ++cells_;
    InProcessRun run(type);
    emu::EmulatedChip& chip = run.chip();
    prepareChip(run, mode);
    const ChipProfile profile = chipProfileOf(type);
    bool ruleAdded = true;
    switch (fault) {
        case Fault::none:
            break;
        case Fault::openFails:
            ruleAdded = chip.addFault(emu::faults::failOpen());
            break;
        case Fault::writeFailsOnce:
            ASSERT_GT(at.writeReport, 0);
            ruleAdded = chip.addFault(emu::faults::failOutputReport(at.writeReport));
            break;
        case Fault::readFailsOnce:
            ASSERT_GT(at.readRequest, 0);
            ruleAdded = chip.addFault(emu::faults::failInputReport(at.readRequest));
            break;
        case Fault::wrongLength:
            ASSERT_GT(at.readRequest, 0);
            ruleAdded =
                chip.addFault(emu::faults::wrongLengthAt(at.readAddr, emu::kForever, at.readSkip));
            break;
        case Fault::ackWithheld:
        case Fault::ackWrong: {
            const AckTarget target = ackTarget(mode, type, fault == Fault::ackWithheld);
            ruleAdded = chip.addFault(
                fault == Fault::ackWithheld
                    ? emu::faults::withholdAck(target.command, emu::kForever, target.skip)
                    : emu::faults::corruptAck(target.command, emu::kForever, target.skip));
            break;
        }
        case Fault::readyNeverRises: {
            const AckTarget target = readyTarget(mode, type);
            ruleAdded = chip.addFault(target.frames ? emu::faults::frameNeverReady()
                                                    : emu::faults::withholdAck(target.command));
            break;
        }
        case Fault::disappears:
            ASSERT_GT(at.writeReport, 0);
            ruleAdded = chip.addFault(emu::faults::disappearAtOutputReport(at.writeReport));
            break;
        case Fault::vidUnchanged: {
            const auto vid = chip.versionId();
            chip.overrideRead(profile.vidAddr, {vid.begin(), vid.end()}, emu::kForever);
            break;
        }
    }
    ASSERT_TRUE(ruleAdded);

    const RunResult r = run.run(matrix::modeArgs(mode, type));

    // The fault took effect.
    if (fault == Fault::vidUnchanged) {
        bool overridden = false;
        for (const std::string& line : chip.transcript().lines())
            overridden = overridden || line.find("override answers the read") != std::string::npos;
        EXPECT_TRUE(overridden);
    } else {
        EXPECT_TRUE(faultFired(run)) << "the fault never fired";
    }

    EXPECT_EQ(r.status, expect.status) << r.out;
    expectConsistentRun(run, mode, r);
    if (expect.errorLine != nullptr) {
        EXPECT_TRUE(matrix::logHasError(r.log, expect.errorLine))
            << "no Error line with \"" << expect.errorLine << "\"";
    }

    const std::vector<std::string> errors = run.sys().protocolErrors();
    for (const std::string& error : errors) {
        if (expect.chipRefuses == nullptr || error.find(expect.chipRefuses) == std::string::npos) {
            ADD_FAILURE() << "protocol error: " << error;
        }
    }
    if (expect.chipRefuses != nullptr) {
        EXPECT_FALSE(errors.empty());
    }
}

TEST_P(FaultMatrixTest, EveryFaultOnEveryFamily) {
    const Mode mode = GetParam();
    for (const int32_t type : matrix::allFamilies()) {
        if (!matrix::modeApplies(mode, type))
            continue;
        const Targets at = baseline(mode, type);
        for (const Fault fault : kFaults) {
            const std::optional<Expect> expect = expectation(mode, fault, type);
            if (expect)
                runCell(mode, type, fault, at, *expect);
        }
    }
    RecordProperty("cells", cells_);
}

// A capture whose device stops answering while it waits for a frame fails
// (-1); a frame that never becomes ready on a chip that answers is skipped
// and the capture still ends with 0 (the matrix's ready-flag cells). A
// capture of many frames stops when its device is gone: one more call, the
// normal-mode command. A frame whose ready flag could not be read keeps the
// capture failed although later frames read well.
TEST(FaultMatrixCaptureTest, DeviceThatVanishesWhileAFrameIsAwaited) {
    for (const int32_t type : matrix::allFamilies()) {
        if (!matrix::modeApplies(Mode::rawData, type))
            continue;
        SCOPED_TRACE(emu::familyName(type));
        const ChipProfile profile = chipProfileOf(type);
        int firstPoll = 0;
        {
            InProcessRun run(type);
            ASSERT_EQ(run.run(matrix::modeArgs(Mode::rawData, type)).status, 0);
            const std::string poll = "read " + matrix::wireAddr(type, profile.dataReadyAddr);
            const std::vector<WireReport> wire = outputReports(run.chip());
            for (size_t i = 0; i < wire.size() && firstPoll == 0; ++i) {
                if (wire[i].text.rfind(poll, 0) == 0)
                    firstPoll = static_cast<int>(i) + 1;
            }
        }
        ASSERT_GT(firstPoll, 0);
        std::vector<std::string> args = matrix::modeArgs(Mode::rawData, type);
        args.insert(args.end(), {"-t", "20"});
        for (const int at : {firstPoll, firstPoll + 1}) {
            InProcessRun run(type);
            ASSERT_TRUE(run.chip().addFault(emu::faults::disappearAtOutputReport(at)));
            const RunResult r = run.run(args);
            EXPECT_EQ(r.status, -1);
            EXPECT_EQ(r.out, "No.1\n");
            EXPECT_TRUE(matrix::logHasError(r.log, "read data ready flag failed."));
            EXPECT_EQ(run.sys().host().openHandles(), 0u);
            int callsWhileGone = 0;
            for (const std::string& line : run.chip().transcript().lines())
                callsWhileGone += line.find("on a device that is gone") != std::string::npos;
            EXPECT_EQ(callsWhileGone, 1);  // the normal-mode command
        }
        InProcessRun run(type);
        ASSERT_TRUE(run.chip().addFault(emu::faults::failAnswerAt(profile.dataReadyAddr, 300)));
        const RunResult r = run.run(args);
        EXPECT_EQ(r.status, -1);
        EXPECT_NE(r.out.find("No.20\nrawdata:\n"), std::string::npos);
    }
}

// Another process holds the device (a lock on the emulator's lock file taken
// through a descriptor of its own): every run mode fails at once, before
// anything reaches the chip, with the status and standard output of a failed
// open and the "in use" line on standard error.
TEST_P(FaultMatrixTest, DeviceHeldByAnotherRun) {
    const Mode mode = GetParam();
    for (const int32_t type : matrix::allFamilies()) {
        const std::optional<Expect> expect = expectation(mode, Fault::openFails, type);
        if (!matrix::modeApplies(mode, type) || !expect)
            continue;
        SCOPED_TRACE(std::string(emu::familyName(type)) + " " + matrix::modeName(mode));
        RunResult failedOpen;
        {
            InProcessRun run(type);
            ASSERT_TRUE(run.chip().addFault(emu::faults::failOpen()));
            failedOpen = run.run(matrix::modeArgs(mode, type));
        }
        InProcessRun run(type);
        const std::string lockPath = run.logDir() + "/chip.lock";
        run.sys().host().setDeviceLock(lockPath, nullptr);
        FileLock holder;  // another run holding the chip
        ASSERT_EQ(holder.tryLock(lockPath), FileLock::Result::locked);
        testing::internal::CaptureStderr();
        const RunResult r = run.run(matrix::modeArgs(mode, type));
        const std::string err = testing::internal::GetCapturedStderr();
        holder.release();
        EXPECT_EQ(r.status, expect->status);
        EXPECT_EQ(r.out, failedOpen.out);
        EXPECT_NE(err.find("emu:/dev/hidraw1: device is in use by another process"),
                  std::string::npos)
            << err;
        // None of the three 400 ms waits of a failed open: another run holds
        // the device for its whole run.
        EXPECT_EQ(r.elapsedMs + 1200u, failedOpen.elapsedMs);
        EXPECT_TRUE(outputReports(run.chip()).empty());
        ++cells_;
    }
    RecordProperty("cells", cells_);
}

std::string modeTestName(const ::testing::TestParamInfo<Mode>& info) {
    std::string name;
    for (const char c : std::string(matrix::modeName(info.param))) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            name += c;
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(RunModes, FaultMatrixTest, ::testing::ValuesIn(matrix::allModes()),
                         modeTestName);

// The log these runs keep in memory is the file it stands for: the same run
// with its log in another folder writes the same lines there (timestamps and
// folder names aside), and the run's own folder gets no file.
TEST(InProcessRunTest, TheLogInMemoryIsTheFileItStandsFor) {
    auto untimed = [](const std::string& log, const std::string& folder) {
        std::string text;
        size_t start = 0;
        for (size_t end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
            std::string line = log.substr(start, end + 1 - start);
            if (line.size() >= kLogPrefixLength && line.compare(23, 4, " -> ") == 0)
                line.erase(0, kLogPrefixLength);
            for (size_t at; (at = line.find(folder)) != std::string::npos;)
                line.replace(at, folder.size(), "DIR");
            text += line;
        }
        return text + log.substr(start);
    };
    const std::vector<std::string> args = matrix::modeArgs(Mode::firmwareConfig, CHIP_FJORDK);
    InProcessRun inMemory(CHIP_FJORDK);
    const RunResult memory = inMemory.run(args);
    testsupport::TempDir folder;
    InProcessRun onDisk(CHIP_FJORDK);
    std::vector<std::string> words = {"--chip", "fjordK"};
    words.insert(words.end(), args.begin(), args.end());
    words.insert(words.end(), {"--loglevel", "0x1F", "--logfiledir", folder.path()});
    const RunResult disk = onDisk.runRaw(words);
    ASSERT_EQ(memory.status, 0);
    ASSERT_EQ(disk.status, 0);
    EXPECT_EQ(disk.log, "");
    EXPECT_GT(memory.log.size(), 1000u);
    EXPECT_EQ(untimed(memory.log, inMemory.logDir()),
              untimed(testsupport::readFile(logPathIn(folder.path())), folder.path()));
    EXPECT_EQ(testsupport::readFile(logPathIn(inMemory.logDir())), "");
}

}  // namespace
