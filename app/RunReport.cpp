#include "app/RunReport.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "app/App.h"
#include "app/Options.h"
#include "cfg/CfgUpdate.h"
#include "chip/ChipProfile.h"
#include "fw/FwImage.h"
#include "fw/FwUpdate.h"
#include "hid/DeviceMatch.h"
#include "log/Log.h"
#include "log/RunReason.h"
#include "sys/Clock.h"
#include "sys/Interrupt.h"

namespace {

RunRecord record;
// The real standard output while --json sets it aside; -1 otherwise.
int savedStdout = -1;

// The reason of a failed run in a person's words: the most specific one a
// layer noted, else the job and the first Error the log wrote, else the job
// and its status.
std::string failureReason(int result) {
    if (interruptCount() > 0)
        return "stopped by an interrupt (Ctrl-C or a termination signal); the chip was left as "
               "the log says";
    if (!runReason().empty())
        return runReason();
    const std::string job = record.job.empty() ? "the run" : record.job;
    if (!firstLoggedError().empty())
        return job + " failed: " + firstLoggedError();
    return formatText("%s failed (status %d)", job.c_str(), result);
}

nlohmann::json nullable(const std::string& text) {
    return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

nlohmann::json deviceObject() {
    nlohmann::json device;
    device["path"] = nullable(deviceMatch.path);
    device["vid"] = deviceMatch.vid;
    device["pid"] = deviceMatch.pid;
    device["usagePage"] = deviceMatch.usagePage;
    device["usage"] = deviceMatch.usage;
    return device;
}

nlohmann::json updateObject() {
    nlohmann::json update;
    update["firmwareFile"] =
        hasOption("firmware") ? nlohmann::json(optionValue("firmware").text) : nullptr;
    update["configFile"] =
        hasOption("config") ? nlohmann::json(optionValue("config").text) : nullptr;
    update["ignoreVersion"] = hasOption("ignorever");
    const FwUpdateFacts& fw = lastFwUpdateFacts();
    const CfgUpdateFacts& cfg = lastCfgUpdateFacts();
    update["written"] = fw.written || cfg.written;
    nlohmann::json firmware;
    firmware["imagePid"] = fw.imageLoaded ? nlohmann::json(logSafeText(fw.imagePid)) : nullptr;
    firmware["image"] = fw.imageLoaded ? nlohmann::json(vidText(fw.imageVid)) : nullptr;
    firmware["chipPid"] = fw.chipReadBefore ? nlohmann::json(logSafeText(fw.chipPid)) : nullptr;
    firmware["before"] = fw.chipReadBefore ? nlohmann::json(vidText(fw.chipVidBefore)) : nullptr;
    firmware["after"] = fw.chipReadAfter ? nlohmann::json(vidText(fw.chipVidAfter)) : nullptr;
    update["firmwareVersion"] = firmware;
    nlohmann::json config;
    config["file"] = cfg.fileLoaded ? nlohmann::json(cfg.fileVersion) : nullptr;
    config["before"] = cfg.chipReadBefore ? nlohmann::json(cfg.chipVersionBefore) : nullptr;
    config["after"] = cfg.chipReadAfter ? nlohmann::json(cfg.chipVersionAfter) : nullptr;
    update["configVersion"] = config;
    return update;
}

std::string resultObject(int result, const std::string& reason) {
    nlohmann::json out;
    out["schema"] = "touchfw-result/1";
    out["version"] = kAppVersion;
    out["mode"] = record.mode;
    out["chip"] = hasOption("chip") ? nlohmann::json(optionValue("chip").text) : nullptr;
    out["device"] = record.deviceUsed ? deviceObject() : nlohmann::json(nullptr);
    if (record.mode == "property") {
        nlohmann::json property;
        property["name"] = record.propertyName;
        if (record.propertyNumber >= 0)
            property["value"] = record.propertyNumber;
        else
            property["value"] = nullable(record.propertyText);
        out["property"] = property;
    }
    if (record.hasRegister) {
        nlohmann::json reg;
        if (record.mode != "writecmd")
            reg["address"] = record.address;
        reg["length"] = record.bytes.size();
        reg["bytes"] = record.bytesValid ? nlohmann::json(record.bytes) : nlohmann::json(nullptr);
        out["register"] = reg;
    }
    if (record.mode == "scan") {
        nlohmann::json interfaces = nlohmann::json::array();
        for (const HidInterfaceInfo& iface : record.interfaces) {
            interfaces.push_back({{"path", iface.path},
                                  {"vid", iface.vendorId},
                                  {"pid", iface.productId},
                                  {"usagePage", iface.usagePage},
                                  {"usage", iface.usage}});
        }
        out["interfaces"] = interfaces;
    }
    if (record.mode == "update")
        out["update"] = updateObject();
    if (record.mode == "touchdata") {
        nlohmann::json capture;
        nlohmann::json blocks = nlohmann::json::array();
        for (const char* block : {"rawdata", "diffdata", "basedata"}) {
            if (hasOption(block))
                blocks.push_back(block);
        }
        capture["blocks"] = blocks;
        capture["row"] = optionValue("row").number;
        capture["col"] = optionValue("col").number;
        capture["frames"] = hasOption("readtimes") ? optionValue("readtimes").number : 1;
        out["touchData"] = capture;
    }
    out["result"] = result;
    out["ok"] = result == 0;
    out["reason"] = nullable(reason);
    out["notice"] = result == 0 ? nullable(runNotice()) : nlohmann::json(nullptr);
    out["durationMs"] = currentClock().monotonicMs() - record.startMs;
    out["log"] = logFileWritten() ? nlohmann::json(logSafeText(logPath)) : nullptr;
    // Text from files and chips may hold any byte: invalid UTF-8 is replaced.
    return out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Puts the real standard output back.
void restoreStandardOutput() {
    std::fflush(stdout);
#if defined(_WIN32)
    _dup2(savedStdout, _fileno(stdout));
    _close(savedStdout);
#else
    dup2(savedStdout, fileno(stdout));
    close(savedStdout);
#endif
    savedStdout = -1;
}

void printJson(const std::string& text) {
    restoreStandardOutput();
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

}  // namespace

RunRecord& runRecord() {
    return record;
}

bool jsonRequested(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] != nullptr && std::strcmp(argv[i], "--json") == 0)
            return true;
    }
    return false;
}

void divertStandardOutput() {
    std::fflush(stdout);
#if defined(_WIN32)
    const int nowhere = _open("NUL", _O_WRONLY);
    if (nowhere < 0)
        return;
    savedStdout = _dup(_fileno(stdout));
    _dup2(nowhere, _fileno(stdout));
    _close(nowhere);
#else
    const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere < 0)
        return;
    savedStdout = fcntl(fileno(stdout), F_DUPFD_CLOEXEC, 0);
    dup2(nowhere, fileno(stdout));
    close(nowhere);
#endif
}

void finishRun(int result) {
    std::string reason;
    if (result != 0 && !runReasonTold())
        reason = failureReason(result);
    if (hasOption("nooutput")) {
        // Nothing on the console was asked for; the status and the log tell.
    } else if (!reason.empty()) {
        if (logFileWritten())
            std::fprintf(stderr, "touchfw: %s (log: %s)\n", reason.c_str(),
                         logSafeText(logPath).c_str());
        else
            std::fprintf(stderr, "touchfw: %s\n", reason.c_str());
    } else if (result == 0 && !runNotice().empty()) {
        std::fprintf(stderr, "touchfw: %s\n", runNotice().c_str());
    }
    std::fflush(stderr);
    if (savedStdout >= 0) {
        if (result != 0 && reason.empty())
            reason = failureReason(result);  // told on stderr already, still part of the result
        printJson(resultObject(result, reason));
    }
}

void resetRunRecord() {
    record = RunRecord{};
    if (savedStdout >= 0)
        restoreStandardOutput();
    resetRunReason();
    resetFwUpdateFacts();
    resetCfgUpdateFacts();
}
