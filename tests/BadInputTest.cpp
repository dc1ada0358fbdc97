// Bad files and bad options, end to end through runMain() on the emulator:
// each is refused with a clear message and a non-zero exit status before
// anything reaches the device (the emulated host sees no open and the chip
// no report), or, where the refusal can only come from the device's own
// limits, after an open that sends nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "fw/FwImage.h"
#include "fw/FwImageBuilder.h"
#include "log/Log.h"
#include "tests/FaultMatrixSupport.h"

namespace {

using matrix::InProcessRun;
using matrix::RunResult;
using testsupport::TempDir;
using Bytes = std::vector<uint8_t>;

Bytes readBytes(const std::string& path) {
    const std::string text = testsupport::readFile(path);
    return Bytes(text.begin(), text.end());
}

void writeBytes(const std::string& path, const Bytes& bytes) {
    testsupport::writeFile(path, std::string(bytes.begin(), bytes.end()));
}

void put(Bytes& b, size_t at, uint32_t value, int width, bool bigEndian) {
    for (int i = 0; i < width; ++i) {
        const int shift = 8 * (bigEndian ? width - 1 - i : i);
        b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> shift);
    }
}

// Rewrites the length and checksum fields to match the bytes behind them, so
// that the image is refused for what its fields describe, not for its seal.
// Layout A: 6 bytes, big-endian length and 16-bit byte sum; layout B: 8
// bytes, little-endian length and 32-bit sum of little-endian words.
void seal(Bytes& image, FwLayoutKind kind) {
    if (kind == FwLayoutKind::A) {
        if (image.size() < 6)
            return;
        uint32_t sum = 0;
        for (size_t i = 6; i < image.size(); ++i)
            sum += image[i];
        put(image, 0, static_cast<uint32_t>(image.size() - 6), 4, true);
        put(image, 4, sum & 0xFFFF, 2, true);
    } else {
        if (image.size() < 8)
            return;
        uint32_t sum = 0;
        for (size_t i = 8; i < image.size(); i += 2)
            sum += image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
        put(image, 0, static_cast<uint32_t>(image.size() - 8), 4, false);
        put(image, 4, sum, 4, false);
    }
}

class BadInputTest : public ::testing::Test {
  protected:
    // Runs `args` (with --chip, --loglevel and --logfiledir) and checks that
    // nothing reached the device.
    RunResult runUntouched(int32_t type, const std::vector<std::string>& args) {
        InProcessRun run(type);
        const RunResult r = run.run(args);
        expectUntouched(run);
        return r;
    }
    static void expectUntouched(InProcessRun& run) {
        EXPECT_EQ(run.sys().host().openCount(emu::InterfaceRole::chip), 0);
        EXPECT_EQ(run.chip().outputReports(), 0);
        EXPECT_EQ(run.chip().readRequests(), 0);
        EXPECT_EQ(run.sys().host().openHandles(), 0u);
    }
    static void expectRefusedFirmware(const RunResult& r) {
        EXPECT_EQ(r.status, -1);
        EXPECT_NE(r.out.find("\nErrors occurred when updating firmware. ret = -3.\n\n"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(r.out.find("successfully"), std::string::npos) << r.out;
        EXPECT_TRUE(matrix::logHasError(r.log, "Failed read firmware file"));
    }

    TempDir dir_;
};

// Cuts at every field boundary of the family's layout (and inside each
// field), with the length and checksum left as they were and made to match.
TEST_F(BadInputTest, TruncatedFirmwareImagesNeverReachTheDevice) {
    for (const int32_t type : matrix::allFamilies()) {
        SCOPED_TRACE(emu::familyName(type));
        const Bytes full = readBytes(matrix::sampleFirmware(type));
        ASSERT_FALSE(full.empty());
        const FwImageLayout& l = *fwImageLayout(type);
        const uint32_t count = full[l.countOffset];
        std::vector<size_t> cuts = {0,
                                    1,
                                    l.headerSize - 1,
                                    l.headerSize,
                                    l.pidOffset + kFwPidBytes / 2,
                                    l.vidOffset,
                                    l.vidOffset + kFwVidBytes / 2,
                                    l.countOffset,
                                    l.countOffset + 1,
                                    l.dataOffset,
                                    l.dataOffset + 1,
                                    full.size() - 1};
        for (uint32_t k = 0; k <= count; ++k) {
            cuts.push_back(l.tableOffset + k * l.entrySize);
            cuts.push_back(l.tableOffset + k * l.entrySize + l.entrySize / 2);
        }
        // The end of each sub-firmware's data but the last.
        size_t dataEnd = l.dataOffset;
        for (uint32_t k = 0; k + 1 < count; ++k) {
            const size_t at = l.tableOffset + k * l.entrySize + 1;
            const bool be = l.kind == FwLayoutKind::A;
            uint32_t len = 0;
            for (int i = 0; i < 4; ++i)
                len |= static_cast<uint32_t>(full[at + static_cast<size_t>(i)])
                       << (8 * (be ? 3 - i : i));
            dataEnd += len;
            cuts.push_back(dataEnd);
        }
        for (const size_t size : cuts) {
            ASSERT_LT(size, full.size());
            for (const bool sealed : {false, true}) {
                SCOPED_TRACE("cut at " + std::to_string(size) + (sealed ? ", sealed" : ""));
                Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
                if (sealed)
                    seal(cut, l.kind);
                const std::string path = dir_.file("cut.bin");
                writeBytes(path, cut);
                expectRefusedFirmware(runUntouched(type, {"-f", path}));
            }
        }
    }
}

TEST_F(BadInputTest, AbsurdCountsAndLengthsNeverReachTheDevice) {
    for (const int32_t type : matrix::allFamilies()) {
        SCOPED_TRACE(emu::familyName(type));
        const Bytes full = readBytes(matrix::sampleFirmware(type));
        const FwImageLayout& l = *fwImageLayout(type);
        const bool be = l.kind == FwLayoutKind::A;
        const size_t len0 = l.tableOffset + 1;
        const size_t len1 = len0 + l.entrySize;
        struct Case {
            const char* name;
            void (*change)(Bytes&, const FwImageLayout&, size_t, size_t, bool);
            bool reseal;
        };
        const Case cases[] = {
            {"255 sub-firmwares",
             [](Bytes& b, const FwImageLayout& l, size_t, size_t, bool) { b[l.countOffset] = 255; },
             true},
            {"a sub-firmware of 4 GiB",
             [](Bytes& b, const FwImageLayout&, size_t at, size_t, bool be) {
                 put(b, at, 0xFFFFFFFF, 4, be);
             },
             true},
            {"lengths whose 32-bit sum wraps to the file",
             [](Bytes& b, const FwImageLayout&, size_t at0, size_t at1, bool be) {
                 // 0xFFFFFFFF + (len1 + 1) wraps to len1 in 32 bits.
                 uint32_t second = 0;
                 for (int i = 0; i < 4; ++i)
                     second |= static_cast<uint32_t>(b[at1 + static_cast<size_t>(i)])
                               << (8 * (be ? 3 - i : i));
                 uint32_t first = 0;
                 for (int i = 0; i < 4; ++i)
                     first |= static_cast<uint32_t>(b[at0 + static_cast<size_t>(i)])
                              << (8 * (be ? 3 - i : i));
                 put(b, at0, 0xFFFFFFFF, 4, be);
                 put(b, at1, second + first + 1, 4, be);
             },
             true},
            {"a length field of 4 GiB",
             [](Bytes& b, const FwImageLayout&, size_t, size_t, bool be) {
                 put(b, 0, 0xFFFFFFFF, 4, be);
             },
             false},
            {"a body byte changed under the checksum",
             [](Bytes& b, const FwImageLayout& l, size_t, size_t, bool) {
                 b[l.dataOffset + 20] ^= 0x5A;
             },
             false},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            Bytes bytes = full;
            c.change(bytes, l, len0, len1, be);
            if (c.reseal)
                seal(bytes, l.kind);
            const std::string path = dir_.file("absurd.bin");
            writeBytes(path, bytes);
            expectRefusedFirmware(runUntouched(type, {"-f", path}));
        }
    }
}

// A configuration that cannot be loaded stops the run before the device:
// on its own, with a firmware image on the fjord family (both are loaded
// first), and after the firmware on 5410 and 5415R, whose configuration
// update is a second step (the firmware goes in, then the run ends with -2).
TEST_F(BadInputTest, ConfigurationFilesThatDoNotLoad) {
    // Binary bytes without a byte marker ('x' or 'X').
    std::string binary;
    for (int round = 0; round < 16; ++round) {
        for (int c = 0; c < 256; ++c) {
            if (c != 'x' && c != 'X')
                binary += static_cast<char>(c);
        }
    }
    // A few MiB of text without a marker: read whole, then refused.
    const std::string huge(4u << 20, '0');
    const std::string folder = dir_.file("folder.cfg");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    struct File {
        const char* name;
        const std::string* content;  // nullptr: the folder
    };
    const std::string empty;
    const std::string oneToken = "0x01";
    // Plainly not configuration text, though the chip's check bytes pass.
    const std::string script = "#!/bin/sh\n# run the next step\nexit 0\n";
    const std::string zeros = "0x00, 0x00, 0x00, 0x00, 0x00, 0x00\n";
    const File files[] = {
        {"empty", &empty},           {"one token", &oneToken},
        {"binary", &binary},         {"4 MiB without a marker", &huge},
        {"a folder", nullptr},       {"a shell script", &script},
        {"only zero bytes", &zeros},
    };
    for (const File& f : files) {
        SCOPED_TRACE(f.name);
        std::string path = folder;
        if (f.content != nullptr) {
            path = dir_.file("bad.cfg");
            testsupport::writeFile(path, *f.content);
        }
        for (const int32_t type : matrix::allFamilies()) {
            SCOPED_TRACE(emu::familyName(type));
            if (type != CHIP_CORVINA) {
                const RunResult r = runUntouched(type, {"-c", path});
                EXPECT_EQ(r.status, -1);
                EXPECT_NE(r.out.find("\nErrors occurred when updating cfg. ret = -3.\n"),
                          std::string::npos)
                    << r.out;
                EXPECT_TRUE(matrix::logHasError(r.log, "Failed read cfg file"));
            }
            if (!matrix::isLegacy(type)) {
                const RunResult r =
                    runUntouched(type, {"-f", matrix::sampleFirmware(type), "-c", path});
                EXPECT_EQ(r.status, -1);
                EXPECT_NE(r.out.find("\nErrors occurred when Flash firmware and cfg. ret = -4.\n"),
                          std::string::npos)
                    << r.out;
                EXPECT_EQ(r.out.find("successfully"), std::string::npos);
                EXPECT_TRUE(matrix::logHasError(r.log, "load cfg from file failed."));
                continue;
            }
            InProcessRun run(type);
            const RunResult r = run.run({"-f", matrix::sampleFirmware(type), "-c", path});
            EXPECT_EQ(r.status, -2);
            EXPECT_NE(r.out.find("\nUpdate firmware successfully.\n\n"), std::string::npos);
            EXPECT_NE(r.out.find("\nErrors occurred when updating cfg. ret = -3.\n"),
                      std::string::npos)
                << r.out;
            // The firmware update's one connection, nothing for the configuration.
            EXPECT_EQ(run.sys().host().openCount(emu::InterfaceRole::chip), 1);
            EXPECT_EQ(run.chip().commandsSeen(emu::ChipCommand::cfgStart), 0);
            EXPECT_EQ(run.sys().host().openHandles(), 0u);
        }
    }
}

// Option values at and past their limits.
TEST_F(BadInputTest, RefusedCommandLinesNeverReachTheDevice) {
    const std::string longFolder(221, 'd');
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const std::string cfg = matrix::sampleConfig(CHIP_CORVINA);
    const Case cases[] = {
        {{}, -20, "Usage: "},
        {{"--frobnicate"}, -20, "Unknown option \"--frobnicate\".\n"},
        {{"-r"}, -20, "Option \"-r\" needs value.\n"},
        {{"-p", "bogus"}, -20, "\"bogus\" is not a valid value for option \"-p\".\n"},
        {{"-r", "1234"}, -20, "\"1234\" is not a valid value for option \"-r\".\n"},
        {{"-r", "0x12G4"}, -20, "is not a valid value for option \"-r\""},
        {{"-r", "0x10", "-l", "0"}, -20, "\"0\" is not a valid value for option \"-l\".\n"},
        {{"-r", "0x10", "-l", "10000"}, -20, "\"10000\" is not a valid value for option \"-l\""},
        {{"-r", "0x10", "-l", "-1"}, -20, "\"-1\" is not a valid value for option \"-l\""},
        {{"-w", "0x10", "--data", "0x1"}, -20, "is not a valid value for option \"--data\""},
        {{"-w", "0x10", "--data", "0x12,"}, -20, "is not a valid value for option \"--data\""},
        {{"-w", "0x10", "--data", "0x12;0x34"}, -20, "is not a valid value for option \"--data\""},
        {{"--rawdata", "--row", "0", "--col", "2"}, -20, "is not a valid value for option"},
        {{"--rawdata", "--row", "2", "--col", "2", "--readtimes", "0"},
         -20,
         "is not a valid value for option"},
        {{"-f", "/nonexistent/fw.bin"}, -20, "File \"/nonexistent/fw.bin\" does not exist.\n"},
        {{"-c", "/nonexistent/a.cfg"}, -20, "File \"/nonexistent/a.cfg\" does not exist.\n"},
        {{"-p", "vid", "--logfiledir", "/nonexistent"},
         -20,
         "Folder \"/nonexistent\" does not exist.\n"},
        {{"-p", "vid", "--logfiledir", longFolder}, -20, "length cannot exceed 220 characters"},
        {{"-w", "0x10"}, -10, "\nYou must specify the data to be written.\n"},
        {{"--writecmd", "-l", "3"}, -10, "\nYou must specify the data to be written.\n"},
        {{"--rawdata", "--row", "2"}, -10, "invalid parameters,for help --help or -?\n"},
        {{"--chip", "xyz", "-p", "vid"}, -1, "unsupport this chip:XYZ."},
        // Register addresses the chip's framing cannot carry (the chip may come later).
        {{"--chip", "5410", "-w", "0x14535", "--data", "0x01"},
         -20,
         "\"0x14535\" is not a valid value for option \"-w\".\n"},
        {{"-r", "0x10000", "--chip", "5415R"},
         -20,
         "\"0x10000\" is not a valid value for option \"-r\".\n"},
        {{"--write", "0x100012000", "--data", "0x01"},
         -20,
         "\"0x100012000\" is not a valid value for option \"--write\".\n"},
        {{"--chip", "fjordK8", "-r", "0x1FFFFFFFF"}, -20, "is not a valid value for option \"-r\""},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        InProcessRun run(CHIP_FJORDK);
        // The log would go to the run's folder (the cases' own --logfiledir wins).
        std::vector<std::string> args;
        if (!c.args.empty())
            args = {"--logfiledir", run.logDir()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const RunResult r = run.runRaw(args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_EQ(r.log, "");  // refused before the log is configured
        expectUntouched(run);
    }

    // Refused after the log is set up, still without the device.
    InProcessRun run(CHIP_CORVINA);
    const RunResult r = run.run({"-c", cfg});
    EXPECT_EQ(r.status, -1);
    EXPECT_NE(r.out.find("\n Corvina not support only update config, must include fw.\n"),
              std::string::npos);
    expectUntouched(run);
    // A match key is cut to 16 bits: 0x1A94A names no device here.
    InProcessRun keys(CHIP_FJORDK);
    const RunResult k = keys.run({"--vid", "0x1A94A", "-p", "vid"});
    EXPECT_EQ(k.status, -1);
    EXPECT_NE(k.out.find("\nErrors occurred when getting VID. ret = -2.\n"), std::string::npos);
    EXPECT_TRUE(matrix::logHasError(k.log, "Open TLC failed."));
    EXPECT_NE(k.log.find("argument,vid:0xa94a,"), std::string::npos);
    expectUntouched(keys);
}

// A -r/-w range is refused before the device exactly when it runs past the
// last address of the family's framing (0xFFFF on the 16-bit framing,
// 0xFFFFFFFF on the others), whether -l or the --data items set its length;
// a range that ends on the last address reaches exactly its registers, and
// nothing wraps to the low ones.
TEST_F(BadInputTest, RegisterRangesStayInsideTheFramingsAddressSpace) {
    for (const int32_t type : matrix::allFamilies()) {
        const uint64_t last = matrix::isLegacy(type) ? 0xFFFF : 0xFFFFFFFF;
        for (const uint64_t len :
             {uint64_t{1}, uint64_t{2}, uint64_t{matrix::kRegisterRunLength}}) {
            for (const int over : {-1, 0, 1}) {
                const uint64_t addr = last + over - (len - 1);
                if (addr > last)
                    continue;  // the address itself does not fit
                for (const bool write : {false, true}) {
                    Bytes data(len);
                    const std::string address =
                        formatText("0x%llX", static_cast<unsigned long long>(addr));
                    std::string items;
                    for (uint64_t i = 0; i < len; ++i) {
                        data[i] = static_cast<uint8_t>(i * 7 + 1);
                        items += formatText(i ? ",0x%02X" : "0x%02X", data[i]);
                    }
                    const std::vector<std::string> args =
                        write ? std::vector<std::string>{"-w", address, "--data", items}
                              : std::vector<std::string>{"-r", address, "-l", std::to_string(len)};
                    std::string line;
                    for (const std::string& a : args)
                        line += a + " ";
                    SCOPED_TRACE(std::string(emu::familyName(type)) + " " + line);
                    InProcessRun run(type);
                    const Bytes low = run.chip().peekRegisters(0, len);
                    const RunResult r = run.run(args);
                    if (addr + len - 1 > last) {
                        EXPECT_EQ(r.status, -20);
                        const char* option = write ? "--data" : "-l";
                        EXPECT_NE(r.out.find(formatText("is not a valid value for option \"%s\".\n",
                                                        option)),
                                  std::string::npos)
                            << r.out;
                        expectUntouched(run);
                        continue;
                    }
                    EXPECT_EQ(r.status, 0) << r.out;
                    if (write) {
                        EXPECT_EQ(run.chip().peekRegisters(static_cast<uint32_t>(addr), len), data);
                    }
                    EXPECT_EQ(run.chip().peekRegisters(0, len), low);
                }
            }
        }
    }
}

// Requests only the device's limits refuse: the connection opens, nothing is
// sent, the connection is closed. At the limit itself the request goes through.
TEST_F(BadInputTest, RequestsBeyondTheDeviceLimitsSendNothing) {
    const std::string restart = "0x0E,0x13,0x00,0x00,0x01,0x01";
    struct Case {
        int32_t type;
        std::vector<std::string> args;
        int status;
        const char* logError;  // nullptr: accepted
    };
    const Case cases[] = {
        {CHIP_FJORDK,
         {"--rawdata", "--row", "53", "--col", "75"},
         -1,
         "param error,row*col * 2:7950"},
        {CHIP_5410,
         {"--basedata", "--row", "31", "--col", "28"},
         -1,
         "param error,row*col * 2:1736"},
        {CHIP_FJORDK,
         {"--writecmd", "--data", restart, "-l", "66"},
         -1,
         "Write len ERROR, len = 66."},
        {CHIP_FJORDK8,
         {"--writecmd", "--data", restart, "-l", "269"},
         -1,
         "Write len ERROR, len = 269."},
        {CHIP_FJORDK, {"--writecmd", "--data", restart, "-l", "65"}, 0, nullptr},
        {CHIP_FJORDK8, {"--writecmd", "--data", restart, "-l", "268"}, 0, nullptr},
        {CHIP_FJORDK, {"--rawdata", "--row", "52", "--col", "75"}, 0, nullptr},
    };
    for (const Case& c : cases) {
        std::string line = std::string(emu::familyName(c.type)) + " ";
        for (const std::string& a : c.args)
            line += a + " ";
        SCOPED_TRACE(line);
        InProcessRun run(c.type);
        const RunResult r = run.run(c.args);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_EQ(run.sys().host().openHandles(), 0u);
        if (c.logError != nullptr) {
            EXPECT_TRUE(matrix::logHasError(r.log, c.logError));
            EXPECT_EQ(run.sys().host().openCount(emu::InterfaceRole::chip), 1);
            EXPECT_EQ(run.chip().outputReports(), 0);
            EXPECT_EQ(r.out.find("successfully"), std::string::npos);
        } else if (c.args[0] == "--writecmd") {
            EXPECT_EQ(run.chip().restarts(), 1);  // the padded restart command arrived
        } else {
            EXPECT_NE(r.out.find("rawdata end\n"), std::string::npos);
        }
        EXPECT_TRUE(run.sys().protocolErrors().empty());
    }
}

// Addresses the framing carries are taken, leading zero digits or not.
TEST_F(BadInputTest, AddressesTheFramingCarriesAreTaken) {
    const std::pair<int32_t, const char*> cases[] = {
        {CHIP_5410, "0xFFFF"}, {CHIP_5415R, "0x00000FFFF"}, {CHIP_FJORDK, "0x0FFFFFFFF"}};
    for (const auto& [type, addr] : cases) {
        InProcessRun run(type);
        EXPECT_EQ(run.run({"-r", addr}).status, 0) << addr;
    }
}

// A sub-firmware that runs past the end of the flash address range is
// refused: nothing is flashed at a wrapped address. One that ends at the
// end of the range loads.
TEST_F(BadInputTest, SubFirmwaresPastTheAddressRangeNeverReachTheDevice) {
    struct Case {
        int32_t type;
        uint32_t addr;
        uint32_t length;
        bool loads;
    };
    const Case cases[] = {
        {CHIP_FJORDK, 0xFFFFF000, 8192, false},
        {CHIP_5410, 0xFFFF00, 512, false},
        {CHIP_FJORDK, 0xFFFFE000, 8192, true},
        {CHIP_5410, 0xFFFE00, 512, true},
    };
    const uint8_t vid[4] = {1, 2, 3, 4};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.addr));
        Bytes image;
        std::string error;
        ASSERT_TRUE(buildFwImage(*fwImageLayout(c.type), "P", vid,
                                 {FwSubFirmware{2, c.addr, Bytes(c.length, 0x5A)}}, image, error))
            << error;
        const std::string path = dir_.file("wrap.bin");
        writeBytes(path, image);
        EXPECT_EQ(createFwImage(c.type)->load(path.c_str()), c.loads ? 0 : -6);
        if (c.loads)
            continue;
        const RunResult r = runUntouched(c.type, {"-f", path});
        expectRefusedFirmware(r);
        EXPECT_TRUE(matrix::logHasError(r.log, "runs past the end of the flash address range"));
    }
}

// A configuration whose block the chip's own check would reject is refused
// before anything is sent, alone and with a firmware image: a README, a
// firmware image, another family's configuration, and on the 16-bit framing
// a block that would run past address 0xFFFF: the 5415R's area is 26,888
// bytes long, the 5410's 40,740, so 6 and 9 blocks of 4096 fit, and a file
// of one byte less passes (the block is padded to the next 4096 above).
TEST_F(BadInputTest, ConfigurationsTheChipWouldRejectNeverReachTheDevice) {
    struct Case {
        int32_t type;
        std::string file;
        const char* error;
    };
    const char* checkBytes = "Cfg data check bytes wrong";
    const char* tooLong = "bytes does not fit this chip: its register addresses end";
    auto blocks = [&](int32_t type, size_t length) {
        std::string text;
        for (const uint8_t b : emu::makeConfiguration(type, 5, length))
            text += formatText("0x%02X,", b);
        const std::string path = dir_.file(formatText("%s-%zu.cfg", emu::familyName(type), length));
        testsupport::writeFile(path, text);
        return path;
    };
    for (const auto& [type, fits] : {std::pair{CHIP_5415R, 6 * 4096}, {CHIP_5410, 9 * 4096}}) {
        auto image = createCfgImage(type);
        ASSERT_EQ(image->load(blocks(type, fits - 1).c_str()), 0);
        EXPECT_EQ(image->checkBlock(type), 0);
    }
    const Case cases[] = {
        // Neither is configuration text: refused before the check bytes are looked at.
        {CHIP_FJORDK, std::string(TOUCHFW_SOURCE_DIR) + "/README.md",
         "Cfg file is not configuration text"},
        {CHIP_FJORDK, matrix::sampleFirmware(CHIP_FJORDK), "Cfg file is not text"},
        {CHIP_FJORDH3, matrix::sampleConfig(CHIP_5410), checkBytes},
        {CHIP_5410, matrix::sampleConfig(CHIP_FJORDK), checkBytes},
        {CHIP_5415R, matrix::sampleConfig(CHIP_5410), checkBytes},
        {CHIP_5415R, blocks(CHIP_5415R, 6 * 4096), tooLong},
        {CHIP_5410, blocks(CHIP_5410, 9 * 4096), tooLong},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(emu::familyName(c.type)) + " " + c.file);
        RunResult r = runUntouched(c.type, {"-c", c.file});
        EXPECT_NE(r.out.find("\nErrors occurred when updating cfg. ret = -3.\n"), std::string::npos)
            << r.out;
        EXPECT_TRUE(matrix::logHasError(r.log, c.error));
        if (matrix::isLegacy(c.type))
            continue;
        r = runUntouched(c.type, {"-f", matrix::sampleFirmware(c.type), "-c", c.file});
        EXPECT_NE(r.out.find("\nErrors occurred when Flash firmware and cfg. ret = -4.\n"),
                  std::string::npos)
            << r.out;
        EXPECT_TRUE(matrix::logHasError(r.log, c.error));
    }
}

#if !defined(_WIN32)  // names with line ends and POSIX folder modes; FIFOs and a POSIX shell
// File and folder names with a line end cannot forge log lines.
TEST_F(BadInputTest, NamesWithLineEndsStayOnTheirLogLine) {
    const std::string forged = "name\n   [Error] <main:1> FORGED";
    const std::string folder = dir_.file(forged);
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string file = dir_.file(forged + ".in");
    testsupport::writeFile(file, "junk");
    for (const char* option : {"-f", "-c"}) {
        SCOPED_TRACE(option);
        InProcessRun run(CHIP_FJORDK);
        const std::string logFile = folder + "/FirmwareUpdate_App.log";
        std::remove(logFile.c_str());
        run.runRaw({option, file, "--loglevel", "0x1F", "--logfiledir", folder});
        const std::string log = testsupport::readFile(logFile);
        size_t lines = 0;
        for (size_t at = 0; (at = log.find("FORGED", at)) != std::string::npos; ++at, ++lines) {
            const size_t begin = log.rfind('\n', at) + 1;
            EXPECT_NE(log.substr(begin, at - begin).find("name\\x0A   [Error]"), std::string::npos);
        }
        EXPECT_GE(lines, 3u);  // the command line, the log path and the file name
    }
}

// Pids (from the chip or an image) and file names holding control
// characters are written escaped wherever they appear: on stdout, in the
// log and in touchfw-image's report, none of their bytes ends a line.
TEST_F(BadInputTest, PidsAndNamesCannotForgeLines) {
    const std::string pid = "A\nB\r";  // four bytes, as the chips' Pid
    const std::string pidShown = "A\\x0AB\\x0D";
    const std::string name = dir_.file("x\nFORGED");
    const std::string nameShown = dir_.path() + "/x\\x0AFORGED";
    testsupport::writeFile(name + ".bin",
                           testsupport::readFile(matrix::sampleFirmware(CHIP_FJORDK)));
    testsupport::writeFile(name + ".cfg", testsupport::readFile(matrix::sampleConfig(CHIP_FJORDK)));
    Bytes image;
    std::string error;
    const uint8_t vid[4] = {1, 2, 3, 4};
    ASSERT_TRUE(buildFwImage(*fwImageLayout(CHIP_FJORDK), pid, vid,
                             {FwSubFirmware{2, 0x10000, Bytes(64, 0x5A)}}, image, error))
        << error;
    writeBytes(name + "-pid.bin", image);

    auto run = [&](const std::vector<std::string>& args) {
        InProcessRun r(CHIP_FJORDK);
        r.chip().setProductId(pid);
        return r.run(args);
    };
    const RunResult pidQuery = run({"-p", "pid"});
    const RunResult update = run({"-f", name + ".bin"});
    const RunResult config = run({"-c", name + ".cfg"});
    const RunResult missing = run({"-f", name + "-missing"});
    // touchfw-image is built next to touchfw.
    const std::string tool = std::string(TOUCHFW_BINARY) + "-image";
    const testsupport::CommandResult info =
        testsupport::runCommand("'" + tool + "' info --chip fjordK '" + name + "-pid.bin'");
    struct Case {
        const char* place;
        const std::string& text;
        std::string shown;
    };
    const Case cases[] = {
        {"Pid on stdout", pidQuery.out, "PID = " + pidShown + ".\n"},
        {"chip Pid line of the connection", pidQuery.log, " Read Pid(" + pidShown + "), Vid("},
        {"Pid mismatch line", update.log,
         "Pid from connection(" + pidShown + ") is different from Pid from fwImage(0121)"},
        {"binfile line", update.out, "binfile = " + nameShown + ".bin.\n"},
        {"cfgfile line", config.out, "cfgfile = " + nameShown + ".cfg.\n"},
        {"missing file", missing.out, "File \"" + nameShown + "-missing\" does not exist.\n"},
        {"touchfw-image info, file", info.output, "File:          " + nameShown + "-pid.bin ("},
        {"touchfw-image info, Pid", info.output, "Pid:           \"" + pidShown + "\" (bytes "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.place);
        EXPECT_NE(c.text.find(c.shown), std::string::npos) << c.text;
        EXPECT_EQ(c.text.find("\nFORGED"), std::string::npos);
        EXPECT_EQ(c.text.find(pid), std::string::npos);
    }
    EXPECT_EQ(update.status, -1);
}

// A FIFO where a file is expected would have the tool wait for a writer
// forever. Run as a separate process under a time limit, so that a
// regression fails instead of hanging the suite.
TEST_F(BadInputTest, AFifoInsteadOfAFileEndsTheRunAtOnce) {
    const std::string fifo = dir_.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string logDir = dir_.file("logs");
    ASSERT_EQ(mkdir(logDir.c_str(), 0700), 0);
    const std::string fifoLog = logDir + "/FirmwareUpdate_App.log";
    ASSERT_EQ(mkfifo(fifoLog.c_str(), 0600), 0);
    const std::string prefix = "cd '" + dir_.path() + "' && TOUCHFW_EMU_STATE_DIR='" + dir_.path() +
                               "' timeout 20 " + TOUCHFW_EMU_BINARY + " ";
    struct Case {
        std::string args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"--chip fjordK -f pipe --logfiledir .", 255,
         "\nErrors occurred when updating firmware. ret = -3.\n"},
        {"--chip 5410 -c pipe --logfiledir .", 255,
         "\nErrors occurred when updating cfg. ret = -3.\n"},
        {"--chip fjordH3 -f " + matrix::sampleFirmware(CHIP_FJORDH3) + " -c pipe --logfiledir .",
         255, "\nErrors occurred when Flash firmware and cfg. ret = -4.\n"},
        // The log lines are dropped; the run itself goes on.
        {"--chip fjordK -p vid --logfiledir logs", 0,
         "\nGet VID successfully. VID = 01 00 00 00.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const testsupport::CommandResult r = testsupport::runCommand(prefix + c.args + " 2>&1");
        EXPECT_EQ(r.status, c.status) << "124 means the run was stopped after 20 s\n" << r.output;
        EXPECT_NE(r.output.find(c.message), std::string::npos) << r.output;
    }
}
#endif

}  // namespace
