// The end of a run through touchfw-emu: a failed run says why in one line on
// standard error while standard output stays as it was, and --json gives one
// result object of the documented schema (docs/RESULT-JSON.md).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace {

using nlohmann::json;
using testsupport::TempDir;

struct EmuRun {
    std::string out;
    std::string err;
    int status = -1;
};

EmuRun runEmu(const TempDir& dir, const std::string& args, const std::string& env = "") {
    EmuRun r;
    const testsupport::CommandResult c = testsupport::runCommand(
        "cd '" + dir.path() + "' && TOUCHFW_EMU_STATE_DIR='" + dir.path() + "' " + env + " " +
        TOUCHFW_EMU_BINARY + " " + args + " 2>'" + dir.file("stderr") + "'");
    r.out = c.output;
    r.status = c.status;
    r.err = testsupport::withoutTwinHint(testsupport::readFile(dir.file("stderr")));
    return r;
}

std::string example(const std::string& file) {
    return std::string(TOUCHFW_SOURCE_DIR) + "/examples/" + file;
}

// The update run mode's opening lines, as the console has always shown them.
std::string updateHead(const std::string& binfile, const std::string& cfgfile) {
    return "\nfwFlag = 0x0C; ignoreVer = false.\nbinfile = " + binfile +
           ".\n\n\nignoreVer = false.\ncfgfile = " + cfgfile + ".\n\n";
}

TEST(RunResultTest, AFailedRunSaysWhyInOneLine) {
    auto fw = [](int ret) {
        return "\nErrors occurred when updating firmware. ret = " + std::to_string(ret) + ".\n\n";
    };
    const std::string k4 = example("fw-fjordK4.bin");
    const std::string w5410 = example("fw-5410.bin");
    struct Case {
        std::string args;
        const char* env;
        int status;
        std::string out;     // standard output, byte for byte
        std::string reason;  // part of the one line on standard error
    };
    const Case cases[] = {
        {"--rawdata --row 100 --col 100", "", 255, "",
         "--row 100 x --col 100 needs 20000 bytes a block, more than the fjordK frame buffer"},
        {"--chip fjordK8 --rawdata --row 10 --col 10", "", 252, "",
         "fjordK8 chips have no touch-data mode"},
        {"--rawdata --row 2 --col 2", "TOUCHFW_EMU_FAULT=frame-never-ready:forever", 255, "No.1\n",
         "frame 1 was never ready"},
        {"-f bad.bin", "", 255, updateHead("bad.bin", "(null)") + fw(-3),
         "bad.bin is not a valid fjordK firmware image"},
        {"-f " + w5410, "", 255, updateHead(w5410, "(null)") + fw(-3),
         "fw-5410.bin is a 5410 or 5415R image but the chip is fjordK; nothing was written"},
        {"-f " + k4, "", 255, updateHead(k4, "(null)") + fw(-1),
         "fw-fjordK4.bin is for product id \"0132\" but the chip reports \"0121\""},
        {"-c bad.cfg", "", 255,
         updateHead("(null)", "bad.cfg") + "\nErrors occurred when updating cfg. ret = -3.\n",
         "bad.cfg is not a valid fjordK configuration file"},
        {"--chip Corvina -c bad.cfg", "", 255,
         updateHead("(null)", "bad.cfg") +
             "\n Corvina not support only update config, must include fw.\n",
         "Corvina takes its configuration only with a firmware update"},
        {"-w 0x10", "", 246, "\nYou must specify the data to be written.\n", "-w needs --data"},
        {"--chip xyz -p pid", "", 255, "unsupport this chip:XYZ.", "unknown chip family XYZ"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        testsupport::writeFile(dir.file("bad.bin"), "not an image");
        testsupport::writeFile(dir.file("bad.cfg"), "0x01\n");
        const bool chipGiven = c.args.find("--chip") != std::string::npos;
        const EmuRun r = runEmu(dir, (chipGiven ? "" : "--chip fjordK ") + c.args, c.env);
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_EQ(r.out, c.out) << c.args;
        EXPECT_EQ(r.err.rfind("touchfw: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // A device hint is the reason; it is not said twice.
    TempDir dir;
    const EmuRun r = runEmu(dir, "--vid 0x1234 -p pid");
    EXPECT_EQ(r.out, "use default chip type:fjordK\nErrors occurred when getting PID. ret = -2.\n");
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("no HID interface matches vid 0x1234"), std::string::npos) << r.err;
}

TEST(RunResultTest, NothingWrittenNamesIgnoreVersion) {
    TempDir dir;
    for (const char* file : {"fw-fjordH3.bin", "cfg-fjordH3.cfg"}) {
        const std::string args =
            std::string("--chip fjordH3 -") + (file[0] == 'f' ? "f " : "c ") + example(file);
        EXPECT_EQ(runEmu(dir, args).err, "") << file;  // written
        const EmuRun again = runEmu(dir, args);
        EXPECT_EQ(again.status, 0);
        EXPECT_NE(again.err.find("not written: the chip already has version"), std::string::npos)
            << again.err;
    }
}

// Problems of a result object against docs/RESULT-JSON.md; empty when none.
std::vector<std::string> schemaProblems(const json& j) {
    std::vector<std::string> problems;
    auto need = [&](const json& object, const char* key, bool (json::*is)() const, bool nullable) {
        if (!object.contains(key))
            problems.push_back(std::string("missing ") + key);
        else if (!(object[key].*is)() && !(nullable && object[key].is_null()))
            problems.push_back(std::string("wrong type: ") + key);
    };
    need(j, "schema", &json::is_string, false);
    need(j, "version", &json::is_string, false);
    need(j, "mode", &json::is_string, false);
    need(j, "chip", &json::is_string, true);
    need(j, "device", &json::is_object, true);
    need(j, "result", &json::is_number_integer, false);
    need(j, "ok", &json::is_boolean, false);
    need(j, "reason", &json::is_string, true);
    need(j, "notice", &json::is_string, true);
    need(j, "durationMs", &json::is_number_unsigned, false);
    need(j, "log", &json::is_string, true);
    if (!problems.empty())
        return problems;
    if (j["schema"] != "touchfw-result/1" || j["ok"] != (j["result"] == 0) ||
        j["reason"].is_null() != j["ok"].get<bool>())
        problems.push_back("schema, ok and reason disagree with the result");
    if (j["device"].is_object()) {
        need(j["device"], "path", &json::is_string, true);
        for (const char* key : {"vid", "pid", "usagePage", "usage"})
            need(j["device"], key, &json::is_number_unsigned, false);
    }
    const std::string mode = j["mode"];
    if (mode == "property") {
        need(j, "property", &json::is_object, false);
        if (j.contains("property"))
            need(j["property"], "name", &json::is_string, false);
    }
    if (mode == "read" || mode == "write" || mode == "writecmd") {
        need(j, "register", &json::is_object, false);
        if (j.contains("register"))
            need(j["register"], "bytes", &json::is_array, mode == "read");
    }
    if (mode == "update") {
        need(j, "update", &json::is_object, false);
        if (j.contains("update")) {
            need(j["update"], "written", &json::is_boolean, false);
            need(j["update"], "firmwareVersion", &json::is_object, false);
            need(j["update"], "configVersion", &json::is_object, false);
        }
    }
    if (mode == "touchdata")
        need(j, "touchData", &json::is_object, false);
    if (mode == "scan")
        need(j, "interfaces", &json::is_array, false);
    return problems;
}

// The scan listing's lines as the console prints them, made from the
// result object's interfaces.
std::string listingOf(const json& interfaces) {
    std::string text;
    for (const json& i : interfaces) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "Vid = 0x%04X, Pid = 0x%04X, UsagePage = 0x%04X, Usage = 0x%04X, "
                      "DevicePath = %s.\n",
                      i.value("vid", 0u), i.value("pid", 0u), i.value("usagePage", 0u),
                      i.value("usage", 0u), i.value("path", "").c_str());
        text += line;
    }
    return text;
}

TEST(RunResultTest, JsonResultOfEveryRunModeOfEveryFamily) {
    const char* families[] = {"5410",    "fjordK",  "fjordH3", "Corvina",
                              "fjordK8", "fjordK4", "5415R"};
    std::vector<std::string> runs;
    for (const std::string f : families) {
        const std::string chip = "--chip " + f + " ";
        const std::string scratch = f.rfind("54", 0) == 0 ? "0x2000" : "0x20000";
        for (const char* p : {"pid", "vid", "sensorid", "cfgver"})
            runs.push_back(chip + "-p " + p);
        runs.push_back(chip + "-r " + scratch + " -l 4");
        runs.push_back(chip + "-w " + scratch + " --data 0x01,0x02");
        runs.push_back(chip + "--writecmd --data 0x0E,0x13,0x00,0x00,0x01,0x01");
        runs.push_back(chip + "-f " + example("fw-" + f + ".bin"));
        runs.push_back(chip + "-c " + example("cfg-" + f + ".cfg"));
        runs.push_back(chip + "-f " + example("fw-" + f + ".bin") + " -c " +
                       example("cfg-" + f + ".cfg"));
        runs.push_back(chip + "--rawdata --diffdata --row 2 --col 2 -t 2");
        runs.push_back(chip + "-f " + example("fw-fjordK4.bin"));  // a failure of each family
    }
    runs.insert(runs.end(), {"--vid 0x1234 -p pid", "-w 0x10", "--chip xyz -p vid", "--bogus",
                             "--help", "--version", "--scan", "--verbose"});
    for (const std::string& args : runs) {
        TempDir plain;
        TempDir withJson;
        const EmuRun text = runEmu(plain, args);
        const EmuRun r = runEmu(withJson, args + " --json");
        EXPECT_EQ(r.status, text.status) << args;  // --json leaves the exit status alone
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << args << "\n" << r.out;
        const json j = json::parse(r.out, nullptr, false);
        ASSERT_TRUE(j.is_object()) << args << "\n" << r.out;
        EXPECT_EQ(schemaProblems(j), std::vector<std::string>{}) << args << "\n" << r.out;
        EXPECT_EQ(j.value("result", 0) & 0xFF, r.status) << args;
        if (j.value("mode", "") == "scan") {  // the same interfaces as the console lists
            EXPECT_EQ(listingOf(j["interfaces"]), text.out) << args;
        }
    }
}

}  // namespace
