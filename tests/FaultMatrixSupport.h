// Support for the whole-run robustness tests (fault matrix, hang audit, bad
// input): the tool's command line run in-process through runMain() on an
// emulated chip and a virtual clock, with the console output, the log file,
// the exit status and the virtual time of the run collected; and the time
// bound of every run mode as docs/RELIABILITY.md ("Bounded time") derives it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "emu/Emulator.h"
#include "sys/Clock.h"
#include "tests/TestSupport.h"

namespace matrix {

// The run modes that talk to a device.
enum class Mode {
    pid,             // -p pid
    vid,             // -p vid
    sensorId,        // -p sensorid
    cfgVer,          // -p cfgver
    read,            // -r
    write,           // -w
    writeCmd,        // --writecmd
    config,          // -c
    firmware,        // -f
    firmwareConfig,  // -f with -c
    rawData,         // --rawdata
    // --rawdata --diffdata --basedata, two frames (the end-state matrix only;
    // not in allModes())
    allData,
};

const std::vector<Mode>& allModes();
const std::vector<int32_t>& allFamilies();
const char* modeName(Mode mode);
// False where a run mode never reaches the chip: a configuration-only update
// on Corvina, touch data on fjordK8.
bool modeApplies(Mode mode, int32_t type);
bool isLegacy(int32_t type);  // 5410, 5415R
// The families that pause touch reporting around their work.
bool hasReportControl(int32_t type);

// A register range no run mode uses, for the register run modes.
uint32_t scratchAddr(int32_t type);
constexpr int kRegisterRunLength = 150;  // spans three reports of the 65-byte framings
constexpr int kFrameRows = 10;           // 200-byte blocks: four reports of the 65-byte framings
constexpr int kFrameCols = 10;
constexpr int kAllDataFrames = 2;

// Sample files of examples/ for a family.
std::string sampleFirmware(int32_t type);
std::string sampleConfig(int32_t type);
// Version id of the sample image and version of the sample configuration.
std::vector<uint8_t> sampleFirmwareVid(int32_t type);
uint8_t sampleConfigVersion(int32_t type);

// The run mode's arguments (without --chip and the log options).
std::vector<std::string> modeArgs(Mode mode, int32_t type);

// Longest possible run of a run mode in virtual milliseconds against any
// device behaviour, for the sample files and the arguments of modeArgs.
uint64_t boundMs(Mode mode, int32_t type);

struct RunResult {
    int status = 0;
    std::string out;     // standard output
    std::string log;     // the log file (of logDir(), kept in memory) at level 0x1F
    uint64_t elapsedMs;  // virtual time of the run
};

// One emulated system of one family for one run: resets the process state,
// installs its own virtual clock and builds the chip (with the decoys, but
// without the second device of the same keys, so that a failed open stays
// failed, unless `twin` asks for it); undoes it all when destroyed.
class InProcessRun {
  public:
    explicit InProcessRun(int32_t type, bool twin = false);
    ~InProcessRun();
    InProcessRun(const InProcessRun&) = delete;
    InProcessRun& operator=(const InProcessRun&) = delete;

    emu::EmulatedSystem& sys() { return *sys_; }
    emu::EmulatedChip& chip() { return sys_->chip(); }
    VirtualClock& clock() { return clock_; }
    int32_t type() const { return type_; }

    // Runs "touchfw --chip FAMILY ARGS --loglevel LEVEL --logfiledir DIR"
    // (level 0x1F unless set).
    RunResult run(const std::vector<std::string>& args);
    void setLogLevel(const std::string& level) { logLevel_ = level; }
    // Runs the command line exactly as given (after the program name).
    RunResult runRaw(const std::vector<std::string>& args);
    // A folder for --logfiledir (run() passes it).
    const std::string& logDir() const { return dir_.path(); }

  private:
    int32_t type_;
    std::string logLevel_ = "0x1F";
    VirtualClock clock_;
    testsupport::TempDir dir_;
    // The log of --logfiledir logDir(), kept in memory.
    testsupport::LogFileInMemory logFile_{dir_.path()};
    std::unique_ptr<emu::EmulatedSystem> sys_;
};

// The registers the register run modes read, and the bytes -w writes there.
std::vector<uint8_t> readPattern();
std::vector<uint8_t> writtenBytes();
// Known contents before the run: the registers -r reads and -w overwrites;
// for allData frames whose samples do not change from frame to frame.
void prepareChip(InProcessRun& run, Mode mode);
// The result message of a successful run ("" for a capture).
std::string successText(Mode mode, int32_t type);

// After a run that exited 0: how the chip differs from what the run mode
// asked of it (flash and Vid as the sample image, configuration block as
// the sample file, registers as written) or from the state every run must
// leave it in (touch reporting on, normal mode, no download session or
// update program running). Empty when the chip is exactly as asked.
std::vector<std::string> endStateDifferences(InProcessRun& run, Mode mode);

// A run that did not exit 0 says so: no "successfully" on standard output
// (but the firmware half of a 5410/5415R update whose configuration step
// failed, -2), an Error line in the log; a failed capture names what failed.
void expectReportedFailure(Mode mode, int32_t type, const RunResult& r);

// True when a line of the log carries the Error tag and `fragment`.
bool logHasError(const std::string& log, const std::string& fragment);
// Register address as the chip's transcript shows it ("0x0000A008"; the
// 5410 and 5415R framing carries 16 bits).
std::string wireAddr(int32_t type, uint32_t addr);

}  // namespace matrix
