// --verify, judged by the emulated chip's end state: over every family, the
// configuration update (-c), the firmware update with its configuration
// (-f -c) and the register write (-w), each fault-free and with the last
// report of the written data lost before the chip. And the README's advice
// after status 254, run as the README prints it.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "tests/FaultMatrixSupport.h"

namespace {

using matrix::InProcessRun;
using matrix::Mode;
using matrix::RunResult;

constexpr uint8_t kFileVersion = 0x20;
// Bytes in the configuration file: a 4096-byte block whose last report
// carries file bytes in every framing.
constexpr size_t kFileBytes = 4090;
constexpr size_t kBlockBytes = 4096;

std::vector<uint8_t> fileBlock(int32_t type) {
    std::vector<uint8_t> block = emu::makeConfiguration(type, kFileVersion, kFileBytes);
    block.resize(kBlockBytes, 0);
    return block;
}

std::string writeConfigFile(const std::string& dir, int32_t type) {
    std::string text;
    const std::vector<uint8_t> block = fileBlock(type);
    char token[8];
    for (size_t i = 0; i < kFileBytes; ++i) {
        std::snprintf(token, sizeof token, "0x%02X,", block[i]);
        text += token;
    }
    const std::string path = dir + "/verify-" + emu::familyName(type) + ".cfg";
    testsupport::writeFile(path, text);
    return path;
}

// The -w data: one distinct non-zero byte per register, so that every report
// carries data the registers do not already hold.
std::vector<uint8_t> registerData() {
    std::vector<uint8_t> data(matrix::kRegisterRunLength);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(0x41 + i % 0xB0);
    return data;
}

std::vector<std::string> modeArgs(Mode mode, int32_t type, const std::string& cfg) {
    if (mode == Mode::write) {
        std::string list;
        char item[8];
        for (uint8_t b : registerData()) {
            std::snprintf(item, sizeof item, "%s0x%02X", list.empty() ? "" : ",", b);
            list += item;
        }
        char addr[16];
        std::snprintf(addr, sizeof addr, "0x%X", matrix::scratchAddr(type));
        return {"-w", addr, "--data", list};
    }
    if (mode == Mode::config)
        return {"-c", cfg};
    return {"-f", matrix::sampleFirmware(type), "-c", cfg};
}

// Whether the chip ended exactly as the command asked.
bool chipAsAsked(InProcessRun& run, Mode mode) {
    emu::EmulatedChip& chip = run.chip();
    if (!chip.reportingEnabled() || chip.firmwareMode() != emu::FirmwareMode::normal ||
        chip.cfgSession() != emu::CfgSession::idle) {
        return false;
    }
    if (mode == Mode::write) {
        return chip.peekRegisters(matrix::scratchAddr(run.type()), matrix::kRegisterRunLength) ==
               registerData();
    }
    return chip.configuration() == fileBlock(run.type());
}

// Output report (from 1) of the run's last register write that starts in
// [base, base + size).
int lastWriteInto(emu::EmulatedChip& chip, uint32_t base, uint32_t size) {
    int index = 0;
    int found = 0;
    for (const emu::TranscriptEntry& e : chip.transcript().entries()) {
        if (e.kind != emu::TranscriptEntry::Kind::output)
            continue;
        ++index;
        unsigned addr = 0;
        if (std::sscanf(e.description().c_str(), "write 0x%X", &addr) == 1 && addr >= base &&
            addr - base < size) {
            found = index;
        }
    }
    return found;
}

// The last report of the data the mode writes: the registers of -w, the
// configuration block at cfgAddr, or (fjord family -f -c) the RAM buffer of
// the last block flashed, the configuration's.
int dataTail(InProcessRun& run, Mode mode) {
    const ChipProfile p = emu::profileFor(run.type());
    if (mode == Mode::write)
        return lastWriteInto(run.chip(), matrix::scratchAddr(run.type()),
                             matrix::kRegisterRunLength);
    if (mode == Mode::firmwareConfig && !matrix::isLegacy(run.type()))
        return lastWriteInto(run.chip(), p.fwBufAddr, kBlockBytes);
    return lastWriteInto(run.chip(), p.cfgAddr, kBlockBytes);
}

struct Cell {
    RunResult result;
    bool asAsked = false;
    int dataTail = 0;
};

Cell runCell(int32_t type, Mode mode, const std::string& cfg, const std::vector<std::string>& extra,
             int dropReport) {
    InProcessRun run(type);
    if (dropReport > 0) {
        EXPECT_TRUE(run.chip().addFault(emu::faults::dropOutputReport(dropReport)));
    }
    std::vector<std::string> args = modeArgs(mode, type, cfg);
    args.insert(args.end(), extra.begin(), extra.end());
    Cell cell;
    cell.result = run.run(args);
    cell.asAsked = chipAsAsked(run, mode);
    cell.dataTail = dataTail(run, mode);
    return cell;
}

TEST(VerifyTest, ExitZeroWithVerifyMeansTheChipHoldsWhatWasWritten) {
    testsupport::TempDir dir;
    for (int32_t type : matrix::allFamilies()) {
        const std::string cfg = writeConfigFile(dir.path(), type);
        for (Mode mode : {Mode::config, Mode::firmwareConfig, Mode::write}) {
            if (!matrix::modeApplies(mode, type))
                continue;
            SCOPED_TRACE(std::string(emu::familyName(type)) + " " + matrix::modeName(mode));
            // Fault-free: the same console output with and without --verify.
            const Cell plain = runCell(type, mode, cfg, {}, 0);
            const Cell verified = runCell(type, mode, cfg, {"--verify"}, 0);
            EXPECT_EQ(plain.result.status, 0) << plain.result.out;
            EXPECT_EQ(verified.result.status, 0) << verified.result.log;
            EXPECT_EQ(verified.result.out, plain.result.out);
            EXPECT_TRUE(verified.asAsked);
            // The last report of the written data lost before the chip.
            ASSERT_GT(plain.dataTail, 0);
            const Cell lossy = runCell(type, mode, cfg, {}, plain.dataTail);
            const Cell checked = runCell(type, mode, cfg, {"--verify"}, plain.dataTail);
            // The oracle: with --verify, exit 0 exactly when the chip is as asked.
            EXPECT_EQ(checked.result.status == 0, checked.asAsked) << checked.result.log;
            if (checked.result.status != 0) {
                EXPECT_TRUE(matrix::logHasError(checked.result.log, "")) << checked.result.log;
            }
            // Without --verify the loss passes unseen, except where the flash
            // block's checksum catches it (fjord family -f -c).
            const bool silent = lossy.result.status == 0 && !lossy.asAsked;
            EXPECT_EQ(silent, mode != Mode::firmwareConfig || matrix::isLegacy(type));
            if (silent) {
                EXPECT_NE(checked.result.status, 0);
                EXPECT_TRUE(matrix::logHasError(checked.result.log, "read back differs"))
                    << checked.result.log;
                EXPECT_NE(checked.result.out.find("\nErrors occurred when verifying "),
                          std::string::npos)
                    << checked.result.out;
            }
        }
    }
}

// The advice of the README after status 254 (5410 / 5415R -f -c), as printed
// there, with the family and the configuration file of the test.
std::vector<std::string> readmeAdvice(int32_t type, const std::string& cfg) {
    std::istringstream readme(
        testsupport::readFile(std::string(TOUCHFW_SOURCE_DIR) + "/README.md"));
    std::string line;
    while (std::getline(readme, line)) {
        if (line.rfind("touchfw --chip 5410 -c panel.cfg", 0) != 0)
            continue;
        std::istringstream words(line.substr(std::string("touchfw ").size()));
        std::vector<std::string> args;
        for (std::string w; words >> w;)
            args.push_back(w == "panel.cfg" ? cfg : w == "5410" ? emu::familyName(type) : w);
        return args;
    }
    ADD_FAILURE() << "README.md holds no advice line starting \"touchfw --chip 5410 -c panel.cfg\"";
    return {};
}

TEST(VerifyTest, ReadmeAdviceAfterStatus254RestoresTheConfiguration) {
    for (int32_t type : {CHIP_5410, CHIP_5415R}) {
        SCOPED_TRACE(emu::familyName(type));
        // The configuration step after a good firmware step loses the device
        // in the middle of its data: the chip keeps an unfinished download
        // that shows the file's version.
        std::string state;
        {
            InProcessRun probe(type);
            probe.run({"-f", matrix::sampleFirmware(type), "-c", matrix::sampleConfig(type)});
            const int tail = dataTail(probe, Mode::config);
            InProcessRun run(type);
            ASSERT_TRUE(run.chip().addFault(emu::faults::disappearAtOutputReport(tail - 10)));
            const RunResult failed =
                run.run({"-f", matrix::sampleFirmware(type), "-c", matrix::sampleConfig(type)});
            ASSERT_EQ(failed.status, -2) << failed.out;
            ASSERT_EQ(run.chip().cfgSession(), emu::CfgSession::downloading);
            state = run.chip().saveState();
        }
        std::unique_ptr<CfgImage> file = createCfgImage(type);
        ASSERT_EQ(file->load(matrix::sampleConfig(type).c_str()), 0);
        const std::vector<uint8_t> block(file->getCfgData(), file->getCfgData() + file->cfgSize);
        const auto rerun = [&](std::vector<std::string> args, bool* asAsked) {
            InProcessRun run(type);
            std::string error;
            EXPECT_TRUE(run.chip().loadState(state, &error)) << error;
            args.insert(args.end(), {"--logfiledir", run.logDir()});
            const RunResult r = run.runRaw(args);
            *asAsked = run.chip().configuration() == block && run.chip().reportingEnabled() &&
                       run.chip().firmwareMode() == emu::FirmwareMode::normal &&
                       run.chip().cfgSession() == emu::CfgSession::idle &&
                       run.chip().protocolErrors().empty();
            return r;
        };
        bool asAsked = false;
        const RunResult advised = rerun(readmeAdvice(type, matrix::sampleConfig(type)), &asAsked);
        EXPECT_EQ(advised.status, 0) << advised.out;
        EXPECT_TRUE(asAsked);
        // The plain rerun finds the file's version and skips the download;
        // --verify refuses to call that a success.
        const RunResult skipped =
            rerun({"--chip", emu::familyName(type), "-c", matrix::sampleConfig(type), "--verify"},
                  &asAsked);
        EXPECT_NE(skipped.status, 0) << skipped.out;
        EXPECT_FALSE(asAsked);
    }
}

}  // namespace
