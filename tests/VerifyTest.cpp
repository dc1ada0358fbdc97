// --verify judged by the emulated chip's end state: every family, -c, -f -c
// and -w, fault-free and with the last report of the written data lost
// before the chip. And the README's advice after status 254, as printed.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "tests/FaultMatrixSupport.h"

namespace {

using matrix::InProcessRun;
using matrix::Mode;
using matrix::RunResult;

// A 4096-byte block whose last report carries file bytes in every framing.
constexpr size_t kFileBytes = 4090;

// What the mode must leave on the chip: the configuration block, or one
// non-zero byte per register written.
std::vector<uint8_t> asked(int32_t type, Mode mode) {
    std::vector<uint8_t> bytes(matrix::kRegisterRunLength);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(0x41 + i % 0xB0);
    if (mode != Mode::write) {
        bytes = emu::makeConfiguration(type, 0x20, kFileBytes);
        bytes.resize(kCfgBlockSize, 0);
    }
    return bytes;
}

std::string hexList(const std::vector<uint8_t>& bytes, size_t n) {
    std::string list;
    char item[8];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(item, sizeof item, "%s0x%02X", i ? "," : "", bytes[i]);
        list += item;
    }
    return list;
}

// Reporting on, normal mode, no download open.
bool restored(const emu::EmulatedChip& chip) {
    return chip.reportingEnabled() && chip.firmwareMode() == emu::FirmwareMode::normal &&
           chip.cfgSession() == emu::CfgSession::idle;
}

struct Cell {
    RunResult result;
    bool asAsked = false;
    int dataTail = 0;  // output report (from 1) of the last report of the written data
};

Cell runCell(int32_t type, Mode mode, const std::string& cfg, bool verify, int drop) {
    InProcessRun run(type);
    if (drop > 0) {
        EXPECT_TRUE(run.chip().addFault(emu::faults::dropOutputReport(drop)));
    }
    const uint32_t scratch = matrix::scratchAddr(type);
    std::vector<std::string> args = {"-c", cfg};
    if (mode == Mode::write) {
        char addr[16];
        std::snprintf(addr, sizeof addr, "0x%X", scratch);
        args = {"-w", addr, "--data", hexList(asked(type, mode), matrix::kRegisterRunLength)};
    } else if (mode == Mode::firmwareConfig) {
        args.insert(args.begin(), {"-f", matrix::sampleFirmware(type)});
    }
    if (verify)
        args.push_back("--verify");
    Cell cell;
    cell.result = run.run(args);
    emu::EmulatedChip& chip = run.chip();
    const std::vector<uint8_t> held = mode == Mode::write
                                          ? chip.peekRegisters(scratch, matrix::kRegisterRunLength)
                                          : chip.configuration();
    cell.asAsked = held == asked(type, mode) && restored(chip);
    // The data goes to the registers, to cfgAddr, or (fjord -f -c) through
    // the RAM buffer as the last block flashed.
    const ChipProfile p = chipProfileOf(type);
    const uint32_t base = mode == Mode::write                                       ? scratch
                          : mode == Mode::firmwareConfig && !matrix::isLegacy(type) ? p.fwBufAddr
                                                                                    : p.cfgAddr;
    int index = 0;
    for (const emu::TranscriptEntry& e : chip.transcript().entries()) {
        if (e.kind != emu::TranscriptEntry::Kind::output)
            continue;
        ++index;
        unsigned addr = 0;
        if (std::sscanf(e.description().c_str(), "write 0x%X", &addr) == 1 && addr >= base &&
            addr - base < kCfgBlockSize) {
            cell.dataTail = index;
        }
    }
    return cell;
}

TEST(VerifyTest, ExitZeroWithVerifyMeansTheChipHoldsWhatWasWritten) {
    testsupport::TempDir dir;
    for (int32_t type : matrix::allFamilies()) {
        const std::string cfg = dir.file(std::string(emu::familyName(type)) + ".cfg");
        testsupport::writeFile(cfg, hexList(asked(type, Mode::config), kFileBytes));
        for (Mode mode : {Mode::config, Mode::firmwareConfig, Mode::write}) {
            if (!matrix::modeApplies(mode, type))
                continue;
            SCOPED_TRACE(std::string(emu::familyName(type)) + " " + matrix::modeName(mode));
            const Cell plain = runCell(type, mode, cfg, false, 0);
            const Cell verified = runCell(type, mode, cfg, true, 0);
            EXPECT_EQ(plain.result.status, 0) << plain.result.out;
            EXPECT_TRUE(verified.asAsked) << verified.result.log;
            EXPECT_EQ(verified.result.out, plain.result.out);
            ASSERT_GT(plain.dataTail, 0);
            const Cell lossy = runCell(type, mode, cfg, false, plain.dataTail);
            const Cell checked = runCell(type, mode, cfg, true, plain.dataTail);
            // The oracle: with --verify, exit 0 exactly when the chip is as asked.
            EXPECT_EQ(checked.result.status == 0, checked.asAsked) << checked.result.log;
            // Without it the loss passes unseen, except where the flash
            // block's checksum catches it (fjord family -f -c).
            const bool silent = lossy.result.status == 0 && !lossy.asAsked;
            EXPECT_EQ(silent, mode != Mode::firmwareConfig || matrix::isLegacy(type));
            if (silent || checked.result.status != 0) {
                EXPECT_TRUE(matrix::logHasError(checked.result.log, "read back differs"));
                EXPECT_NE(checked.result.out.find("\nErrors occurred when verifying "),
                          std::string::npos)
                    << checked.result.out;
            }
        }
    }
}

TEST(VerifyTest, ReadmeAdviceAfterStatus254RestoresTheConfiguration) {
    std::istringstream readme(
        testsupport::readFile(std::string(TOUCHFW_SOURCE_DIR) + "/README.md"));
    std::string advice;
    while (std::getline(readme, advice) && advice.rfind("touchfw --chip 5410 -c panel.cfg", 0))
        continue;
    ASSERT_FALSE(advice.empty()) << "no advice \"touchfw --chip 5410 -c panel.cfg ...\" in README";
    for (int32_t type : {CHIP_5410, CHIP_5415R}) {
        SCOPED_TRACE(emu::familyName(type));
        const std::string cfg = matrix::sampleConfig(type);
        // The configuration step after a good firmware step loses the device
        // in the middle of its data: the chip keeps an unfinished download
        // that shows the file's version.
        const int tail = runCell(type, Mode::firmwareConfig, cfg, false, 0).dataTail;
        std::string state;
        {
            InProcessRun run(type);
            ASSERT_TRUE(run.chip().addFault(emu::faults::disappearAtOutputReport(tail - 10)));
            ASSERT_EQ(run.run({"-f", matrix::sampleFirmware(type), "-c", cfg}).status, -2);
            ASSERT_EQ(run.chip().cfgSession(), emu::CfgSession::downloading);
            state = run.chip().saveState();
        }
        CfgImage file;
        ASSERT_EQ(file.load(cfg.c_str()), 0);
        const auto rerun = [&](const std::string& line, bool* asAsked) {
            InProcessRun run(type);
            EXPECT_TRUE(run.chip().loadState(state, nullptr));
            std::istringstream words(line.substr(std::string("touchfw ").size()));
            std::vector<std::string> args;
            for (std::string w; words >> w;)
                args.push_back(w == "panel.cfg" ? cfg : w == "5410" ? emu::familyName(type) : w);
            args.insert(args.end(), {"--logfiledir", run.logDir()});
            const int status = run.runRaw(args).status;
            *asAsked = run.chip().configuration() == file.cfgData && restored(run.chip()) &&
                       run.chip().protocolErrors().empty();
            return status;
        };
        bool asAsked = false;
        EXPECT_EQ(rerun(advice, &asAsked), 0);
        EXPECT_TRUE(asAsked);
        // Without -i the rerun finds the file's version and skips the
        // download; --verify refuses to call that a success.
        EXPECT_NE(rerun("touchfw --chip 5410 -c panel.cfg --verify", &asAsked), 0);
        EXPECT_FALSE(asAsked);
    }
}

}  // namespace
