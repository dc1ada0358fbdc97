#include "tests/FaultMatrixSupport.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>

#include "app/App.h"
#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "fw/FwImage.h"
#include "tlc/TlcConnection.h"

namespace matrix {

namespace {

// ---- time bound of each run mode (docs/RELIABILITY.md, "Bounded time") ----
//
// Every step is charged its full retry budget: each attempt fails, sleeps
// its full wait and, on the 268-byte report path of fjordK8, each failed
// read waits the whole bounded read of 2000 ms (a standard-path input
// report is answered or refused at once). Only the open is charged by the
// path it ends: a failed open ends the run, a late success lets it go on.

constexpr uint64_t kBoundedReadMs = 2000;
constexpr uint64_t kOpenFailedMs = 3 * 400;    // openTLC: three attempts, 400 ms after each failure
constexpr uint64_t kOpenLateMs = 2 * 400;      // two failures, then the connection opens
constexpr uint64_t kResetMs = 3 * 300 + 200;   // resetIC: three writes 300 ms apart, then 200 ms
constexpr uint64_t kSampleFirmwareBlocks = 3;  // 4216 + 600 bytes flashed by --fwflag 0x0C
constexpr uint64_t kSampleConfigBlocks = 1;    // a configuration block of 4096 bytes

// Wait of one failed read: the bounded read on the 268-byte path.
uint64_t failedRead(int32_t type) {
    return type == CHIP_FJORDK8 ? kBoundedReadMs : 0;
}

uint64_t openThen(uint64_t rest) {
    return std::max(kOpenFailedMs, kOpenLateMs + rest);
}

// Report disable / enable, every attempt failing.
uint64_t disableReport(int32_t type) {
    switch (type) {
        case CHIP_5410:
            return 3 * (3 * 10 + 10 + 50);  // 3 attempts: 3 writes 10 ms apart, 10, query, 50
        case CHIP_5415R:
            return 3 * 10;
        case CHIP_FJORDH3:
            return 3 * (50 + 50 + 10 * 10);  // command, query, 10 status polls 10 ms apart
        case CHIP_CORVINA:
            return 3 * (50 + 10 * 10 + 50 + 10 * 10);  // and 10 polls after the command
        default:
            return 0;
    }
}

uint64_t enableReport(int32_t type) {
    return (type == CHIP_5410 || type == CHIP_5415R) ? 3 * 10 : disableReport(type);
}

// getBasicProperties: Pid, Vid and sensor id, five attempts each, 20 ms after a failure.
uint64_t identity(int32_t type) {
    return 3 * 5 * (20 + failedRead(type));
}

// checkChipRegValueEx: five reads, 30 ms after a failed one.
uint64_t regCheck(int32_t type) {
    return 5 * (30 + failedRead(type));
}

// FjordKSendCfgCmd: three attempts of command, wait, check, 5 ms.
uint64_t ackedCommand(int32_t type, uint64_t waitMs) {
    return 3 * (waitMs + regCheck(type) + 5);
}

// getCfgVerWithConnection.
uint64_t cfgVersion(int32_t type) {
    if (isLegacy(type))
        return failedRead(type);  // one read, no retry
    // read start, two half-block reads, read end
    return 2 * ackedCommand(type, 10) + 2 * failedRead(type);
}

// cfgUpdateWithConnection: start, data, finish.
uint64_t cfgDownload(int32_t type) {
    switch (type) {
        case CHIP_5410:
            return 100 + regCheck(type) + 80 + regCheck(type);
        case CHIP_5415R:
            return 100 + regCheck(type) + 80 + failedRead(type);
        default:
            return ackedCommand(type, 10) + ackedCommand(type, 80) + ackedCommand(type, 10);
    }
}

// cfgUpdateHelper after the open: disable, version, five attempts (disable,
// download, 200 ms, version, 200 ms), reset, enable.
uint64_t configAfterOpen(int32_t type) {
    const uint64_t attempt = disableReport(type) + cfgDownload(type) + 200 + cfgVersion(type) + 200;
    return disableReport(type) + cfgVersion(type) + 5 * attempt + kResetMs + enableReport(type);
}

// fwUpdateWithConnection: switch to patch, 250, disable, patch check, enter
// update (fjord: three RAM checks 10 ms apart), 100, ten attempts per block
// (write, command, 80, check), restart.
uint64_t download(int32_t type, uint64_t blocks) {
    const uint64_t ramCheck = isLegacy(type) ? 0 : 3 * (10 + failedRead(type));
    const uint64_t block = 10 * (80 + regCheck(type));
    return 250 + disableReport(type) + regCheck(type) + ramCheck + 100 + blocks * block + kResetMs;
}

// fwUpdateHelper after the open: disable, identity, (configuration version
// when the Vid is equal and a configuration comes along), three downloads 50
// ms apart, 500, disable, identity, enable.
uint64_t firmwareAfterOpen(int32_t type, uint64_t blocks, bool withConfig) {
    return disableReport(type) + identity(type) + (withConfig ? cfgVersion(type) : 0) +
           3 * (download(type, blocks) + 50) + 500 + disableReport(type) + identity(type) +
           enableReport(type);
}

// GetSomeData after the open: switch to data mode, 300 polls 5 ms apart per
// frame, normal mode and 10 ms.
uint64_t rawDataAfterOpen(int32_t type, uint64_t frames) {
    uint64_t toDataMode;
    if (type == CHIP_FJORDK8) {
        return 10;  // no data mode: straight to the normal-mode command
    } else if (isLegacy(type)) {
        toDataMode = 3 * (5 + 5 * 2);  // command, 5, five polls 2 ms apart
    } else {
        toDataMode = 3 * (50 + 10 * 10);  // command, 50, ten status polls 10 ms apart
    }
    return toDataMode + frames * 300 * 5 + 10;
}

}  // namespace

const std::vector<Mode>& allModes() {
    static const std::vector<Mode> modes = {
        Mode::pid,     Mode::vid,      Mode::sensorId, Mode::cfgVer,   Mode::read,
        Mode::write,   Mode::writeCmd, Mode::config,   Mode::firmware, Mode::firmwareConfig,
        Mode::rawData,
    };
    return modes;
}

const std::vector<int32_t>& allFamilies() {
    static const std::vector<int32_t> families = [] {
        std::vector<int32_t> types;
        for (size_t row = 0; chipFamilyAt(row) != nullptr; ++row)
            types.push_back(chipFamilyAt(row)->type);
        return types;
    }();
    return families;
}

const char* modeName(Mode mode) {
    switch (mode) {
        case Mode::pid:
            return "-p pid";
        case Mode::vid:
            return "-p vid";
        case Mode::sensorId:
            return "-p sensorid";
        case Mode::cfgVer:
            return "-p cfgver";
        case Mode::read:
            return "-r";
        case Mode::write:
            return "-w";
        case Mode::writeCmd:
            return "--writecmd";
        case Mode::config:
            return "-c";
        case Mode::firmware:
            return "-f";
        case Mode::firmwareConfig:
            return "-f -c";
        case Mode::rawData:
            return "--rawdata";
        case Mode::allData:
            return "--rawdata --diffdata --basedata";
    }
    return "?";
}

bool modeApplies(Mode mode, int32_t type) {
    if (mode == Mode::config && type == CHIP_CORVINA)
        return false;
    if ((mode == Mode::rawData || mode == Mode::allData) && type == CHIP_FJORDK8)
        return false;
    return true;
}

bool isLegacy(int32_t type) {
    return type == CHIP_5410 || type == CHIP_5415R;
}

bool hasReportControl(int32_t type) {
    return isLegacy(type) || type == CHIP_FJORDH3 || type == CHIP_CORVINA;
}

uint32_t scratchAddr(int32_t type) {
    return isLegacy(type) ? 0x2000 : 0x20000;
}

std::string sampleFirmware(int32_t type) {
    return std::string(TOUCHFW_SOURCE_DIR) + "/examples/fw-" + emu::familyName(type) + ".bin";
}

std::string sampleConfig(int32_t type) {
    return std::string(TOUCHFW_SOURCE_DIR) + "/examples/cfg-" + emu::familyName(type) + ".cfg";
}

std::vector<uint8_t> sampleFirmwareVid(int32_t type) {
    // examples/README.md
    switch (type) {
        case CHIP_5410:
            return {0x54, 0x10, 0x01, 0x00};
        case CHIP_5415R:
            return {0x54, 0x15, 0x01, 0x00};
        case CHIP_FJORDK:
            return {0x03, 0x00, 0x01, 0x00};
        case CHIP_FJORDH3:
            return {0x04, 0x00, 0x01, 0x00};
        case CHIP_CORVINA:
            return {0x05, 0x00, 0x01, 0x00};
        case CHIP_FJORDK8:
            return {0x06, 0x00, 0x01, 0x00};
        default:
            return {0x07, 0x00, 0x01, 0x00};
    }
}

uint8_t sampleConfigVersion(int32_t type) {
    return static_cast<uint8_t>(0x10 + type);  // 0x11 (5410) to 0x17 (fjordK4)
}

std::vector<std::string> modeArgs(Mode mode, int32_t type) {
    char addr[16];
    std::snprintf(addr, sizeof addr, "0x%X", scratchAddr(type));
    const std::string length = std::to_string(kRegisterRunLength);
    switch (mode) {
        case Mode::pid:
            return {"-p", "pid"};
        case Mode::vid:
            return {"-p", "vid"};
        case Mode::sensorId:
            return {"-p", "sensorid"};
        case Mode::cfgVer:
            return {"-p", "cfgver"};
        case Mode::read:
            return {"-r", addr, "-l", length};
        case Mode::write:
            return {"-w", addr, "--data", "0x11,0x22,0x33", "-l", length};
        case Mode::writeCmd:
            // The restart command: harmless in every state, and the chip counts it.
            return {"--writecmd", "--data", "0x0E,0x13,0x00,0x00,0x01,0x01"};
        case Mode::config:
            return {"-c", sampleConfig(type)};
        case Mode::firmware:
            return {"-f", sampleFirmware(type)};
        case Mode::firmwareConfig:
            return {"-f", sampleFirmware(type), "-c", sampleConfig(type)};
        case Mode::rawData:
            return {"--rawdata", "--row", std::to_string(kFrameRows), "--col",
                    std::to_string(kFrameCols)};
        case Mode::allData:
            return {"--rawdata",
                    "--diffdata",
                    "--basedata",
                    "--row",
                    std::to_string(kFrameRows),
                    "--col",
                    std::to_string(kFrameCols),
                    "-t",
                    std::to_string(kAllDataFrames)};
    }
    return {};
}

uint64_t boundMs(Mode mode, int32_t type) {
    switch (mode) {
        case Mode::pid:
        case Mode::vid:
        case Mode::sensorId:
            return openThen(disableReport(type) + identity(type) + enableReport(type));
        case Mode::cfgVer:
            return openThen(disableReport(type) + cfgVersion(type) + enableReport(type));
        case Mode::read:
            return openThen(3 * (20 + failedRead(type)));  // three attempts 20 ms apart
        case Mode::write:
        case Mode::writeCmd:
            return openThen(3 * 20);
        case Mode::config:
            return type == CHIP_CORVINA ? 0 : openThen(configAfterOpen(type));
        case Mode::firmware:
            return openThen(firmwareAfterOpen(type, kSampleFirmwareBlocks, false));
        case Mode::firmwareConfig:
            if (isLegacy(type)) {
                return openThen(firmwareAfterOpen(type, kSampleFirmwareBlocks, false)) +
                       openThen(configAfterOpen(type));
            }
            return openThen(
                firmwareAfterOpen(type, kSampleFirmwareBlocks + kSampleConfigBlocks, true));
        case Mode::rawData:
            return openThen(rawDataAfterOpen(type, 1));
        case Mode::allData:
            return openThen(rawDataAfterOpen(type, kAllDataFrames));
    }
    return 0;
}

InProcessRun::InProcessRun(int32_t type, bool twin) : type_(type) {
    resetProcessState();
    setClock(&clock_);
    setLogSink(&logFile_);
    emu::SystemOptions options;
    options.configureProcess = false;  // runMain does the start-up
    options.twin = twin;
    sys_ = std::make_unique<emu::EmulatedSystem>(type, options);
}

InProcessRun::~InProcessRun() {
    sys_.reset();
    setClock(nullptr);
    setLogSink(nullptr);
    resetProcessState();
}

RunResult InProcessRun::run(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--chip", emu::familyName(type_)};
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.end(), {"--loglevel", logLevel_, "--logfiledir", dir_.path()});
    return runRaw(all);
}

RunResult InProcessRun::runRaw(const std::vector<std::string>& args) {
    std::vector<std::string> words = {"touchfw"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    RunResult result;
    const uint64_t start = clock_.elapsedMs();
    setLogSink(&logFile_);  // this run's, also while another run is alive
    testing::internal::CaptureStdout();
    result.status = runMain(static_cast<int>(words.size()), argv.data());
    std::fflush(stdout);
    result.out = testing::internal::GetCapturedStdout();
    result.elapsedMs = clock_.elapsedMs() - start;
    result.log = logFile_.text();
    return result;
}

std::vector<uint8_t> readPattern() {
    std::vector<uint8_t> bytes(kRegisterRunLength);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(0x31 + 7 * i);
    return bytes;
}

std::vector<uint8_t> writtenBytes() {
    std::vector<uint8_t> bytes(kRegisterRunLength, 0x00);
    bytes[0] = 0x11;
    bytes[1] = 0x22;
    bytes[2] = 0x33;
    return bytes;
}

void prepareChip(InProcessRun& run, Mode mode) {
    const uint32_t scratch = scratchAddr(run.type());
    if (mode == Mode::read)
        run.chip().writeRegisters(scratch, readPattern());
    if (mode == Mode::write)
        run.chip().writeRegisters(scratch, std::vector<uint8_t>(kRegisterRunLength, 0xAA));
    if (mode == Mode::allData) {
        // Every frame the same: a block read from any frame prints the same table.
        run.chip().setFramePattern([](emu::FrameKind kind, uint32_t, uint32_t index) {
            return static_cast<int16_t>(kind == emu::FrameKind::diff
                                            ? static_cast<int>(index % 21) - 10
                                        : kind == emu::FrameKind::raw ? 1000 + 3 * index
                                                                      : 2000 + index);
        });
    }
}

std::string successText(Mode mode, int32_t type) {
    switch (mode) {
        case Mode::pid:
            return "\nGet PID successfully. PID = ";
        case Mode::vid:
            return "\nGet VID successfully. VID = ";
        case Mode::sensorId:
            return "\nGet sensor ID successfully. Sensor ID = ";
        case Mode::cfgVer:
            return "\nGet cfg version successfully. Cfg version = ";
        case Mode::read:
            return "\nRead to reg successfully.\n";
        case Mode::write:
            return "\nWrite to reg successfully.\n";
        case Mode::writeCmd:
            return "\nWrite commands successfully.\n";
        case Mode::config:
            return "\nUpdate cfg successfully.\n";
        case Mode::firmware:
            return "\nUpdate firmware successfully.\n";
        case Mode::firmwareConfig:
            return isLegacy(type) ? "\nUpdate cfg successfully.\n"
                                  : "\nFlash firmware and cfg successfully.\n";
        case Mode::rawData:
        case Mode::allData:
            return "";  // the capture prints its tables, no result message
    }
    return "";
}

namespace {

// What the sample files put on a chip of one family.
struct SampleContents {
    struct Piece {
        uint32_t addr;
        std::vector<uint8_t> bytes;
    };
    std::vector<Piece> firmware;  // the sub-firmwares the default --fwflag selects
    std::vector<uint8_t> vid;
    std::vector<uint8_t> configuration;  // the whole block, zero fill included
};

const SampleContents& sampleContents(int32_t type) {
    static std::map<int32_t, SampleContents> cache;
    auto it = cache.find(type);
    if (it != cache.end())
        return it->second;
    SampleContents contents;
    std::unique_ptr<FwImage> image = createFwImage(type);
    if (image && image->load(sampleFirmware(type).c_str()) == 0) {
        for (int32_t i = 0; i < image->getFwSubFwNum(); ++i) {
            if ((kDefaultFwFlag >> (image->getFwSubFwType(i) % 32) & 1) == 0)
                continue;
            const uint8_t* data = image->getFwSubFwData(i);
            contents.firmware.push_back(
                {image->getFwSubFwAddr(i), {data, data + image->getFwSubFwLen(i)}});
        }
        contents.vid.assign(image->vid, image->vid + 4);
    }
    std::unique_ptr<CfgImage> cfg = createCfgImage(type);
    if (cfg && cfg->load(sampleConfig(type).c_str()) == 0) {
        const uint8_t* data = cfg->getCfgData();
        contents.configuration.assign(data, data + cfg->cfgSize);
    }
    return cache.emplace(type, std::move(contents)).first->second;
}

}  // namespace

std::vector<std::string> endStateDifferences(InProcessRun& run, Mode mode) {
    emu::EmulatedChip& chip = run.chip();
    std::vector<std::string> differences;
    if (!chip.reportingEnabled())
        differences.push_back("reporting off");
    if (chip.inDataMode())
        differences.push_back("data mode");
    if (chip.firmwareMode() != emu::FirmwareMode::normal)
        differences.push_back("update program running");
    if (chip.cfgSession() == emu::CfgSession::downloading ||
        chip.cfgSession() == emu::CfgSession::written)
        differences.push_back("configuration download open");
    if (chip.cfgSession() == emu::CfgSession::reading)
        differences.push_back("configuration read open");

    const SampleContents& sample = sampleContents(run.type());
    const bool firmware = mode == Mode::firmware || mode == Mode::firmwareConfig;
    if (firmware) {
        bool flashed = !sample.firmware.empty();
        for (const SampleContents::Piece& piece : sample.firmware)
            flashed = flashed && chip.readFlash(piece.addr, piece.bytes.size()) == piece.bytes;
        if (!flashed)
            differences.push_back("flash differs from the image");
        const auto vid = chip.versionId();
        if (std::vector<uint8_t>(vid.begin(), vid.end()) != sample.vid)
            differences.push_back("Vid differs from the image");
    }
    if ((mode == Mode::config || mode == Mode::firmwareConfig) &&
        (sample.configuration.empty() || chip.configuration() != sample.configuration))
        differences.push_back("configuration differs from the file");
    if (mode == Mode::write &&
        chip.peekRegisters(scratchAddr(run.type()), kRegisterRunLength) != writtenBytes())
        differences.push_back("registers differ from the data");
    if (mode == Mode::writeCmd && chip.restarts() == 0)
        differences.push_back("command never reached the chip");
    return differences;
}

void expectReportedFailure(Mode mode, int32_t type, const RunResult& r) {
    const std::string success = successText(mode, type);
    if (!success.empty()) {
        EXPECT_EQ(r.out.find(success), std::string::npos) << r.out;
    }
    // A failed block read is reported, and the block still printed; a ready
    // flag that cannot be read at all is logged, and so is a device that
    // vanished (the capture stops then, even after a good frame) and a chip
    // left in data mode, and a frame that never became ready.
    if ((mode == Mode::rawData || mode == Mode::allData) && r.status == -1) {
        EXPECT_TRUE(r.out.find("read rawdata failed.") != std::string::npos ||
                    r.out.find("read diffdata failed.") != std::string::npos ||
                    r.out.find("read basedata failed.") != std::string::npos ||
                    logHasError(r.log, "read data ready flag failed.") ||
                    logHasError(r.log, "was never ready.") ||
                    logHasError(r.log, "could not be returned to normal mode") ||
                    logHasError(r.log, "the device is gone, capture stopped."))
            << r.out;
    }
    std::string rest = r.out;
    if (r.status == -2 && mode == Mode::firmwareConfig) {
        const std::string done = "\nUpdate firmware successfully.\n";
        const size_t at = rest.find(done);
        EXPECT_NE(at, std::string::npos) << r.out;
        if (at != std::string::npos)
            rest.erase(at, done.size());
    }
    EXPECT_EQ(rest.find("successfully"), std::string::npos) << r.out;
    EXPECT_NE(r.log.find("[Error]"), std::string::npos);
}

bool logHasError(const std::string& log, const std::string& fragment) {
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("[Error]") != std::string::npos && line.find(fragment) != std::string::npos)
            return true;
    }
    return false;
}

std::string wireAddr(int32_t type, uint32_t addr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X",
                  chipProfileOf(type).protoType == kTlcFramingV1 ? addr & 0xFFFF : addr);
    return text;
}

}  // namespace matrix
