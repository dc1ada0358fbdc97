#include "app/App.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/Console.h"
#include "app/Options.h"
#include "app/RunReport.h"
#include "cfg/CfgUpdate.h"
#include "cfg/CfgVerify.h"
#include "chip/ChipProfile.h"
#include "fw/FwImage.h"
#include "fw/FwUpdate.h"
#include "hid/DeviceMatch.h"
#include "hid/HidInterface.h"
#include "hid/OpenHints.h"
#include "hid/RecordingHost.h"
#include "log/Log.h"
#include "log/Progress.h"
#include "log/RunReason.h"
#include "ops/PropertyQuery.h"
#include "ops/RegisterAccess.h"
#include "ops/TouchData.h"
#include "sys/Clock.h"
#include "sys/Interrupt.h"
#include "tlc/TlcConnection.h"

int32_t defaultPid = 0x01E0;
int32_t defaultUsagePage = 0xFF00;

namespace {

bool stdoutIsTerminal() {
#if defined(_WIN32)
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}

const char* boolText(bool value) {
    return value ? "true" : "false";
}

// Prints bytes as "0x01, 0x02, 0x03.\n".
void showBytes(const std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        showMessage("0x%02X%s", bytes[i], i + 1 < bytes.size() ? ", " : ".\n");
    }
}

// Selects the chip family from --chip (or the default); -1 when unsupported.
int selectChip() {
    if (!hasOption("chip")) {
        chipType = kDefaultChipType;
        optionTable["chip"].text = chipFamily(kDefaultChipType)->name;
        std::printf("use default chip type:%s", chipFamily(kDefaultChipType)->name);
        std::fflush(stdout);
        return 0;
    }
    OptionValue& chip = optionTable["chip"];
    if (const ChipFamily* family = chipFamilyNamed(chip.text)) {
        chipType = family->type;
        chip.text = family->name;
        return 0;
    }
    std::printf("unsupport this chip:%s.", chip.text.c_str());
    std::fflush(stdout);
    std::string names;
    for (int32_t type = 1; const ChipFamily* family = chipFamily(type); ++type)
        names += (names.empty() ? "" : ", ") + std::string(family->name);
    noteRunReason(kReasonSpecific, "unknown chip family %s; --chip takes one of %s",
                  logSafeText(chip.text).c_str(), names.c_str());
    return -1;
}

// Bytes a -w writes: the --length number, else the number of --data items.
size_t writeLength() {
    if (hasOption("length"))
        return static_cast<size_t>(optionValue("length").number);
    size_t items = 1;
    for (char c : optionValue("data").text)
        items += (c == ',') ? 1 : 0;
    return items;
}

// A -r or -w address above what the chip's register framing carries would
// be cut on the wire and reach another register: refused like a malformed
// value. So is a range of registers from it that runs past the framing's
// last address (on the 16-bit framing the address would wrap to 0x0000
// mid-transfer); the value named is the one that sets the range's length.
// 0 or -20 (message and usage text printed).
int checkRegisterAddresses(const char* programPath) {
    const uint64_t maxAddress = tlcMaxAddress(chipProfile.protoType);
    for (const char* key : {"write", "read"}) {
        if (!hasOption(key))
            continue;
        const uint64_t addr = static_cast<uint32_t>(optionValue(key).number);
        if (addr > maxAddress) {
            noteRunReason(kReasonSpecific,
                          "register 0x%llX is past 0x%llX, the last register "
                          "address of %s",
                          static_cast<unsigned long long>(addr),
                          static_cast<unsigned long long>(maxAddress),
                          optionValue("chip").text.c_str());
            return rejectValue(optionValue(key), programPath);
        }
        const bool write = std::string(key) == "write";
        const uint64_t count =
            write ? writeLength()
                  : (hasOption("length") ? static_cast<uint64_t>(optionValue("length").number) : 1);
        if (count > 0 && addr + count - 1 > maxAddress) {
            char text[256];
            std::snprintf(text, sizeof text,
                          "registers 0x%04llX to 0x%llX run past 0x%llX, the last register "
                          "address of %s",
                          static_cast<unsigned long long>(addr),
                          static_cast<unsigned long long>(addr + count - 1),
                          static_cast<unsigned long long>(maxAddress),
                          optionValue("chip").text.c_str());
            std::fprintf(stderr, "touchfw: %s.\n", text);
            std::fflush(stderr);
            noteRunReason(kReasonSpecific, "%s", text);
            noteRunReasonTold();
            return rejectValue(optionValue(hasOption("length") ? "length" : "data"), programPath);
        }
    }
    return 0;
}

void configureLog() {
    logMessage = (hasOption("verbose") && !hasOption("nooutput")) ? logToFileAndConsole : logToFile;
    logLevel = hasOption("loglevel")
                   ? (static_cast<uint32_t>(optionValue("loglevel").number) & 0x1F)
                   : 0x18;
    LOG_INFO("main", "\nlogLevel = 0x%02X\n\n", logLevel);
    setLogFolder(hasOption("logfiledir") ? optionValue("logfiledir").text.c_str() : ".");
    LOG_INFO("main", "logPath = %s\n\n", logSafeText(logPath).c_str());
    const bool delPrevLog = hasOption("delprevlog");
    if (delPrevLog && getLogFileSize() > 0) {
        std::remove(logPath);
    }
    if (logEnabled(LOG_LEVEL_INFO)) {
        LOG_INFO("main", "delPrevLog = %s\n\n", boolText(delPrevLog));
        LOG_INFO("main", "CHIP_Pid = %s\n\n\n", optionValue("chip").text.c_str());
    }
}

uint16_t matchKey(const char* key, int32_t fallback) {
    return static_cast<uint16_t>(hasOption(key) ? optionValue(key).number : fallback);
}

void logStartOfRun(int argc, char** argv) {
    LOG_RAW("\n");
    LOG_RAW("\n");
    LOG_DEBUG("main", "Log configured.\n");
    if (logEnabled(LOG_LEVEL_DEBUG)) {
        std::string cmdline;
        for (int i = 0; i < argc; ++i) {
            cmdline += argv[i];
            cmdline += ' ';
        }
        LOG_DEBUG("main", "Cmdline: %s\n", logSafeText(cmdline).c_str());
    }
    LOG_INFO("main", "Current Version: %s\n", kAppVersion);
    LOG_CRITICAL("main", "chip = %s\n", optionValue("chip").text.c_str());
    LOG_INFO("main", "argument,vid:0x%04x,pid:0x%04x,usage:0x%04x,usagepage:0x%04x,\n",
             deviceMatch.vid, deviceMatch.pid, deviceMatch.usage, deviceMatch.usagePage);
    LOG_RAW("\n");
}

// The message of a property read that failed; -1.
int propertyFailed(const char* what, int32_t ret) {
    showMessage("\nErrors occurred when getting %s. ret = %d.\n", what, ret);
    return -1;
}

int runPropertyMode() {
    const std::string& property = optionValue("property").text;
    RunRecord& record = runRecord();
    record.mode = "property";
    record.propertyName = property;
    record.job = "reading the chip's " + property;
    if (property == "pid") {
        char pid[16] = {0};
        const int32_t ret = getPid(pid);
        if (ret != 0)
            return propertyFailed("PID", ret);
        showMessage("\nGet PID successfully. PID = %s.\n", logSafeText(pid).c_str());
        record.propertyText = logSafeText(pid);
        return 0;
    }
    if (property == "vid") {
        uint8_t vid[4] = {0};
        const int32_t ret = getVid(vid);
        if (ret != 0)
            return propertyFailed("VID", ret);
        showMessage("\nGet VID successfully. VID = %02X %02X %02X %02X.\n", vid[0], vid[1], vid[2],
                    vid[3]);
        record.propertyText = vidText(vid);
        return 0;
    }
    // "sensorid" or "cfgver" (the parser admits nothing else): a byte shown as a number.
    const bool sensor = property == "sensorid";
    const char* what = sensor ? "sensor ID" : "cfg version";
    uint8_t value = 0;
    const int32_t ret = sensor ? getChipSensorID(&value) : getCfgVer(&value);
    if (ret != 0)
        return propertyFailed(what, ret);
    showMessage("\nGet %s successfully. %s = %d.\n", what, sensor ? "Sensor ID" : "Cfg version",
                value);
    record.propertyNumber = value;
    return 0;
}

// The result message of a configuration step that failed: its own for a
// --verify read-back that failed, else the update's.
void showCfgFailure(int32_t ret) {
    if (isCfgVerifyFailure(ret)) {
        showMessage("\nErrors occurred when verifying cfg. ret = %d.\n", ret);
    } else {
        showMessage("\nErrors occurred when updating cfg. ret = %d.\n", ret);
    }
}

// Sends the configuration file and shows the result; 0, else `failed`.
int updateConfig(const char* cfgfile, bool ignoreVer, bool verify, int failed) {
    LOG_INFO("main", "start send cfg to ic.\n");
    const int32_t ret = cfgUpdateWithFile(cfgfile, ignoreVer, verify);
    if (ret != 0) {
        showCfgFailure(ret);
        return failed;
    }
    showMessage("\nUpdate cfg successfully.\n");
    return 0;
}

int runUpdateMode() {
    const uint32_t fwFlag =
        hasOption("fwflag") ? static_cast<uint32_t>(optionValue("fwflag").number) : kDefaultFwFlag;
    LOG_CRITICAL("main", "update flag = 0x%x\n", fwFlag);
    const bool ignoreVer = hasOption("ignorever");
    const bool verify = hasOption("verify");
    runRecord().mode = "update";
    const char* binfile = hasOption("firmware") ? optionValue("firmware").text.c_str() : nullptr;
    const char* cfgfile = hasOption("config") ? optionValue("config").text.c_str() : nullptr;
    showMessage("\nfwFlag = 0x%02X; ignoreVer = %s.\n", fwFlag, boolText(ignoreVer));
    // File names are shown as the log shows them: a control character cannot start a line.
    showMessage("binfile = %s.\n\n", logSafeText(binfile).c_str());
    showMessage("\nignoreVer = %s.\n", boolText(ignoreVer));
    showMessage("cfgfile = %s.\n\n", logSafeText(cfgfile).c_str());

    const bool both = binfile != nullptr && cfgfile != nullptr;
    if (both && familyOf(chipType).has(TRAIT_CFG_WITH_FIRMWARE)) {
        runRecord().job = "the firmware and configuration update";
        LOG_INFO("main", "start flash fw and cfg.\n");
        const int32_t ret = fwUpdateWithFile(binfile, ignoreVer, fwFlag, cfgfile, verify);
        if (isCfgVerifyFailure(ret)) {
            showCfgFailure(ret);
            return -1;
        }
        if (ret != 0) {
            showMessage("\nErrors occurred when Flash firmware and cfg. ret = %d.\n\n", ret);
            return -1;
        }
        showMessage("\nFlash firmware and cfg successfully.\n\n");
        return 0;
    }
    if (binfile != nullptr) {
        // The firmware first; with -c the configuration follows as a step of its own.
        runRecord().job = both ? "the firmware and configuration update" : "the firmware update";
        LOG_INFO("main", "start flash fw.\n");
        const int32_t ret = fwUpdateWithFile(binfile, ignoreVer, fwFlag, nullptr);
        if (ret != 0) {
            showMessage("\nErrors occurred when updating firmware. ret = %d%s\n\n", ret,
                        both ? ", skip update cfg" : ".");
            return -1;
        }
        showMessage("\nUpdate firmware successfully.\n\n");
        return both ? updateConfig(cfgfile, ignoreVer, verify, -2) : 0;
    }
    if (!familyOf(chipType).has(TRAIT_CFG_ONLY_UPDATE)) {
        showMessage("\n Corvina not support only update config, must include fw.\n");
        noteRunReason(kReasonSpecific,
                      "%s takes its configuration only with a firmware update: give -f with -c",
                      familyOf(chipType).name);
        return -1;
    }
    runRecord().job = "the configuration update";
    return updateConfig(cfgfile, ignoreVer, verify, -1);
}

// The --data list as bytes: item k is the hex value at offset 5k; items
// beyond writeLen are dropped, missing ones stay 0x00.
std::vector<uint8_t> dataListBytes(const std::string& data, size_t writeLen) {
    std::vector<uint8_t> bytes(writeLen, 0);
    for (size_t k = 0; k < writeLen && 5 * k + 4 <= data.size(); ++k) {
        bytes[k] = static_cast<uint8_t>(hexValue(data.substr(5 * k, 4)));
    }
    return bytes;
}

int runWriteMode() {
    const std::string& data = optionValue("data").text;
    const size_t writeLen = writeLength();
    const std::vector<uint8_t> bytes = dataListBytes(data, writeLen);
    const int32_t len = static_cast<int32_t>(writeLen);
    RunRecord& record = runRecord();
    record.hasRegister = true;
    record.bytes = bytes;
    record.bytesValid = true;
    if (hasOption("write")) {
        const uint32_t addr = static_cast<uint32_t>(optionValue("write").number);
        record.mode = "write";
        record.address = addr;
        record.job = formatText("writing to register 0x%04X", addr);
        showMessage("\nWrite to reg 0x%04X: ", addr);
        showBytes(bytes);
        showMessage("writeLen = %d.\n\n", len);
        const int32_t ret = writeReg(addr, bytes.data(), len, hasOption("verify"));
        if (ret == kWriteRegDiffers || ret == kWriteRegUnread) {
            showMessage("\nErrors occurred when verifying reg. ret = %d.\n", ret);
            return -1;
        }
        if (ret != 0) {
            showMessage("\nErrors occurred when writting to reg. ret = %d.\n", ret);
            return -1;
        }
        showMessage("\nWrite to reg successfully.\n");
        return 0;
    }
    record.mode = "writecmd";
    record.job = "sending the command";
    showMessage("\nWrite commands: ");
    showBytes(bytes);
    showMessage("writeLen = %d.\n\n", len);
    const int32_t ret = writeCmd(bytes.data(), len);
    if (ret != 0) {
        showMessage("\nErrors occurred when writting commands. ret = %d.\n", ret);
        return -1;
    }
    showMessage("\nWrite commands successfully.\n");
    return 0;
}

int runReadMode() {
    const int32_t readLen = hasOption("length") ? optionValue("length").number : 1;
    std::vector<uint8_t> bytes(static_cast<size_t>(readLen), 0);
    const uint32_t addr = static_cast<uint32_t>(optionValue("read").number);
    RunRecord& record = runRecord();
    record.mode = "read";
    record.job = formatText("reading register 0x%04X", addr);
    record.hasRegister = true;
    record.address = addr;
    const int32_t ret = readReg(addr, bytes.data(), readLen);
    record.bytes = bytes;
    record.bytesValid = ret == 0;
    if (ret != 0) {
        showMessage("\nErrors occurred when reading to reg. ret = %d.\n", ret);
        return -1;
    }
    showMessage("\nRead to reg successfully.\n");
    showMessage("Read from reg 0x%04X: ", addr);
    showBytes(bytes);
    showMessage("readLen = %d.\n", readLen);
    return 0;
}

int runTouchDataMode() {
    runRecord().mode = "touchdata";
    runRecord().job = "the touch-data capture";
    int32_t showType = 0;
    if (hasOption("showtype")) {
        const std::string& type = optionValue("showtype").text;
        if (type == "dec") {
            showType = 1;
        } else if (type != "hex") {
            std::printf("set show type to default:hex");
            std::fflush(stdout);
        }
    }
    return GetSomeData(hasOption("rawdata"), hasOption("basedata"), hasOption("diffdata"),
                       optionValue("row").number, optionValue("col").number,
                       hasOption("readtimes") ? optionValue("readtimes").number : 1, showType);
}

// --record: every listing, open, close, report and wait of the run goes to
// the file; false (after the message) when it cannot be written.
bool startRecording(WireRecording& recording, int argc, char** argv) {
    if (!hasOption("record"))
        return true;
    std::string header = "touchfw " + std::string(kAppVersion) + ":";
    for (int i = 1; i < argc; ++i)
        header += std::string(" ") + argv[i];
    if (recording.start(optionValue("record").text, header))
        return true;
    std::printf("Cannot write the recording file \"%s\".\n",
                logSafeText(optionValue("record").text).c_str());
    std::fflush(stdout);
    noteRunReason(kReasonSpecific, "cannot write the recording file %s",
                  logSafeText(optionValue("record").text).c_str());
    return false;
}

int runMode() {
    runRecord().deviceUsed = true;
    if (hasOption("property"))
        return runPropertyMode();
    if (hasOption("firmware") || hasOption("config"))
        return runUpdateMode();
    if (hasOption("write") || hasOption("writecmd"))
        return runWriteMode();
    if (hasOption("read"))
        return runReadMode();
    if (hasOption("rawdata") || hasOption("diffdata") || hasOption("basedata")) {
        return runTouchDataMode();
    }
    runRecord().deviceUsed = false;
    showMessage("\nPlease check the correctness of the input arguments.\n");
    showMessage("Is there any order needed to be processed?\n");
    return 0;
}

}  // namespace

int setDeviceDefaults(int32_t type) {
    const ChipFamily* family = chipFamily(type);
    if (family == nullptr)
        return -1;
    defaultPid = family->defaultPid;
    defaultUsagePage = family->usagePage;
    return 0;
}

namespace {

// --help, -? or no argument at all: the usage text is the answer, not a failure.
bool asksForHelp(int argc, char** argv) {
    if (argc <= 1)
        return true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-?") == 0)
            return true;
    }
    return false;
}

int runJob(int argc, char** argv) {
    if (parseArgs(argc, argv) != 0) {
        RunRecord& record = runRecord();
        record.mode = "usage";
        if (asksForHelp(argc, argv)) {
            noteRunReason(kReasonSpecific, "the usage text was asked for");
            noteRunReasonTold();  // nothing went wrong
        } else {
            noteRunReason(kReasonGeneral, "the command line was not accepted (see --help)");
        }
        return -20;
    }
    if ((hasOption("write") || hasOption("writecmd")) && !hasOption("data")) {
        std::printf("\nYou must specify the data to be written.\n");
        std::fflush(stdout);
        noteRunReason(kReasonSpecific, "%s needs --data with the bytes to write",
                      hasOption("write") ? "-w" : "--writecmd");
        return -10;
    }
    if ((hasOption("rawdata") || hasOption("diffdata") || hasOption("basedata")) &&
        (!hasOption("row") || !hasOption("col"))) {
        std::printf("invalid parameters,for help --help or -?\n");
        std::fflush(stdout);
        noteRunReason(kReasonSpecific,
                      "--rawdata, --diffdata and --basedata need both --row and --col");
        return -10;
    }
    if (hasOption("scan")) {
        runRecord().mode = "scan";
        WireRecording recording;
        if (!startRecording(recording, argc, argv))
            return -20;
        listHidDevices(&runRecord().interfaces);
        std::fflush(stdout);
        return 0;
    }
    if (hasOption("version")) {
        runRecord().mode = "version";
        std::printf("\nlib version: %s,app version:%s\n", kAppVersion, kAppVersion);
        std::fflush(stdout);
        return 0;
    }
    if (selectChip() != 0) {
        return -1;
    }
    setDeviceDefaults(chipType);
    initChipProfile();
    if (checkRegisterAddresses(argc > 0 ? argv[0] : "") != 0) {
        runRecord().mode = "usage";  // refused like a malformed value
        return -20;
    }
    configureLog();

    deviceMatch.vid = matchKey("vid", kChipVendorId);
    deviceMatch.pid = matchKey("pid", defaultPid);
    deviceMatch.usage = matchKey("usage", kChipUsage);
    deviceMatch.usagePage = matchKey("usagepage", defaultUsagePage);
    deviceMatch.path = optionValue("path").text;
    bindHidInterface();

    logStartOfRun(argc, argv);
    WireRecording recording;
    if (!startRecording(recording, argc, argv))
        return -20;
    int result = runMode();
    std::fflush(stdout);
    if (takeStandardOutputLost()) {
        // The run goes on without its console: its status still tells.
        LOG_ERROR("main", "Standard output cannot be written (closed); its messages were lost.\n");
    }
    if (result == 0 && interruptCount() > 0) {
        LOG_ERROR("main", "An interrupt came during the run: it does not end with success.\n");
        result = -1;
    }
    LOG_INFO("main", "Program exit with ret = %d.\n\n", result);
    std::fflush(stdout);
    return result;
}

}  // namespace

int runMain(int argc, char** argv) {
    // Before anything is printed: a closed standard output must not end the
    // run, and an interrupt must not cut a download short.
    installInterruptHandlers();
    runRecord().startMs = currentClock().monotonicMs();
    if (jsonRequested(argc, argv))
        divertStandardOutput();
    // Backspaces redraw the bar on a terminal; files and pipes get one line per step.
    setProgressPlainLines(!stdoutIsTerminal());
    const int result = runJob(argc, argv);
    finishRun(result);
    return result;
}

void resetProcessState() {
    resetOptionTable();
    resetChipProfile();
    defaultPid = 0x01E0;
    defaultUsagePage = 0xFF00;
    resetDeviceMatch();
    resetLogConfig();
    resetHidInterface();
    resetOpenHints();
    setProgressPlainLines(false);
    resetInterruptState();
    resetRunRecord();
}
