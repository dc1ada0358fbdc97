// touchfw-emu as a subprocess: what it does around runMain (state file,
// fault list from the environment).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "emu/Emulator.h"
#include "tests/TestSupport.h"

#ifdef TOUCHFW_EMU_BINARY

namespace {

using testsupport::runCommand;
using testsupport::TempDir;

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

std::string emu(const TempDir& dir, const std::string& env, const std::string& args) {
    return "cd '" + dir.path() + "' && " + env + " " + TOUCHFW_EMU_BINARY + " " + args + " 2>&1";
}

TEST(EmuMainTest, RunWithoutTheChipLeavesNoStateFile) {
    TempDir dir;
    const testsupport::CommandResult r = runCommand(emu(dir, "", "--chip fjordH3 --version"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.output.find("app version:"), std::string::npos) << r.output;
    EXPECT_FALSE(exists(dir.file("touchfw-emu-fjordH3.state")));
}

TEST(EmuMainTest, BadFaultListStopsBeforeTheRun) {
    TempDir dir;
    const testsupport::CommandResult r =
        runCommand(emu(dir, "TOUCHFW_EMU_FAULT='fail-open;explode'", "--version"));
    EXPECT_EQ(r.status, 125);
    EXPECT_NE(r.output.find("TOUCHFW_EMU_FAULT \"explode\": unknown fault"), std::string::npos)
        << r.output;
    EXPECT_EQ(r.output.find("app version"), std::string::npos);
}

TEST(EmuMainTest, DamagedStateFileInTheStateDirIsReportedAndKept) {
    TempDir dir;
    TempDir stateDir;
    const std::string statePath = stateDir.file("touchfw-emu-Corvina.state");
    testsupport::writeFile(statePath, "garbage\n");
    const testsupport::CommandResult r = runCommand(
        emu(dir, "TOUCHFW_EMU_STATE_DIR='" + stateDir.path() + "'", "--chip CORVINA --version"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(
        r.output.find(statePath + ": not a touchfw-emu state file; starting from a fresh chip"),
        std::string::npos)
        << r.output;
    EXPECT_EQ(testsupport::readFile(statePath), "garbage\n");
}

// Runs touchfw-emu in `dir` with its state kept there; standard error is
// appended to the output, so protocol errors show up in it.
testsupport::CommandResult emuRun(const TempDir& dir, const std::string& args,
                                  const std::string& env = "") {
    return runCommand(emu(dir, "TOUCHFW_EMU_STATE_DIR='" + dir.path() + "' " + env, args));
}

TEST(EmuMainTest, FirmwareUpdateIsSeenByTheNextRun) {
    struct Case {
        const char* family;
        bool withConfig;  // the fjord family flashes the configuration with the firmware
        const char* vid;
        const char* cfgVersion;
    };
    const Case cases[] = {
        {"5410", false, "54 10 01 00", "1"},
        {"fjordK", true, "03 00 01 00", "19"},
        {"fjordK8", true, "06 00 01 00", "22"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.family);
        TempDir dir;
        const std::string chip = std::string("--chip ") + c.family;
        const std::string examples = std::string(TOUCHFW_SOURCE_DIR) + "/examples/";
        std::string args = chip + " -f " + examples + "fw-" + c.family + ".bin";
        if (c.withConfig)
            args += " -c " + examples + "cfg-" + c.family + ".cfg";
        testsupport::CommandResult r = emuRun(dir, args, "TOUCHFW_EMU_TRANSCRIPT=wire.txt");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output.find("protocol error"), std::string::npos) << r.output;
        EXPECT_TRUE(exists(dir.file(std::string("touchfw-emu-") + c.family + ".state")));
        EXPECT_NE(testsupport::readFile(dir.file("wire.txt")).find(" note restarted"),
                  std::string::npos);

        r = emuRun(dir, chip + " -p vid");
        EXPECT_NE(r.output.find(std::string("VID = ") + c.vid + "."), std::string::npos)
            << r.output;
        r = emuRun(dir, chip + " -p cfgver");
        EXPECT_NE(r.output.find(std::string("Cfg version = ") + c.cfgVersion + "."),
                  std::string::npos)
            << r.output;
        // The same image again: nothing to do, the versions are equal.
        r = emuRun(dir, chip + " -f " + examples + "fw-" + c.family + ".bin");
        EXPECT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(r.output.find("protocol error"), std::string::npos) << r.output;
    }
}

TEST(EmuMainTest, FaultsFromTheEnvironmentReachTheChip) {
    TempDir dir;
    const std::string image = std::string(TOUCHFW_SOURCE_DIR) + "/examples/fw-fjordK.bin";
    testsupport::CommandResult r =
        emuRun(dir, "-f " + image, "TOUCHFW_EMU_FAULT=wrong-vid-after-restart");
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.output.find("ret = -7."), std::string::npos) << r.output;
    r = emuRun(dir, "-p vid");
    EXPECT_NE(r.output.find("VID = 03 00 01 01."), std::string::npos) << r.output;
}

// A state file the run cannot keep (its folder is missing or not writable):
// the run says so and fails rather than answering from the second device
// with the same keys.
TEST(EmuMainTest, AStateThatCannotBeKeptFailsTheRunAloud) {
    TempDir dir;
    const testsupport::CommandResult r =
        runCommand(emu(dir, "TOUCHFW_EMU_STATE_DIR='" + dir.file("missing") + "'", "-p pid"));
    EXPECT_NE(r.status, 0) << r.output;
    EXPECT_EQ(r.output.find("TWIN"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("touchfw-emu: cannot keep the chip's state (cannot lock " +
                            dir.file("missing/touchfw-emu-fjordK.state")),
              std::string::npos)
        << r.output;
}

// A link planted at the old temporary name (in a folder anyone may write)
// does not redirect the state: the state file is replaced, the link's
// target stays as it was.
TEST(EmuMainTest, APlantedTemporaryLinkIsNotWrittenThrough) {
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    testsupport::writeFile(dir.file("precious"), "precious\n");
    ASSERT_EQ(
        symlink(dir.file("precious").c_str(), dir.file("touchfw-emu-fjordK.state.tmp").c_str()), 0);
    ASSERT_EQ(emuRun(dir, "-w 0x30000 --data 0x5A").status, 0);
    EXPECT_EQ(testsupport::readFile(dir.file("precious")), "precious\n");
    const testsupport::CommandResult r = emuRun(dir, "-r 0x30000");
    EXPECT_NE(r.output.find("0x5A"), std::string::npos) << r.output;
    std::error_code ec;
    EXPECT_TRUE(std::filesystem::is_symlink(dir.file("touchfw-emu-fjordK.state.tmp"), ec));
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        files += entry.path().filename().string().rfind("touchfw-emu-", 0) == 0 ? 1 : 0;
    EXPECT_EQ(files, 2u) << "a temporary state file was left behind";
}

// Runs touchfw-emu with `args` in `dir` (its state and log there), standard
// output to /dev/null and standard error to `errPath`; the exit status.
int spawnEmu(const TempDir& dir, std::vector<std::string> args, const std::string& errPath) {
    args.insert(args.begin(), {TOUCHFW_EMU_BINARY, "--logfiledir", dir.path()});
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> env = {"TOUCHFW_EMU_STATE_DIR=" + dir.path()};
    std::vector<char*> envp = {&env[0][0], nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// Sixteen runs write at once, each to registers of its own, pinned to the
// chip and retrying while another run holds it: every write that ended with
// status 0 is in the chip's state afterwards.
TEST(EmuMainTest, ParallelWritersLoseNoWrite) {
    constexpr int kWriters = 16;
#if defined(__SANITIZE_ADDRESS__)
    constexpr int kWritesEach = 4;  // process starts are slow under the sanitizers
#else
    constexpr int kWritesEach = 64;
#endif
    constexpr uint32_t kBase = 0x30000;
    TempDir dir;
    std::atomic<int> failed{0};
    auto writer = [&](int w) {
        const std::string errPath = dir.file("err" + std::to_string(w));
        std::minstd_rand backoff(static_cast<unsigned>(w));
        for (int k = 0; k < kWritesEach; ++k) {
            char addr[16];
            std::snprintf(addr, sizeof addr, "0x%X", kBase + w * 256 + k);
            for (;;) {
                const int status = spawnEmu(dir,
                                            {"--loglevel", "0x10", "--path", "emu:/dev/hidraw1",
                                             "-w", addr, "--data", "0x5A"},
                                            errPath);
                if (status == 0)
                    break;
                if (testsupport::readFile(errPath).find("in use") == std::string::npos) {
                    ++failed;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200 + backoff() % 800));
            }
        }
    };
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w)
        threads.emplace_back(writer, w);
    for (std::thread& t : threads)
        t.join();
    ASSERT_EQ(failed.load(), 0);
    emu::EmulatedChip chip(CHIP_FJORDK);
    std::string error;
    ASSERT_TRUE(chip.loadStateFile(dir.file("touchfw-emu-fjordK.state"), &error)) << error;
    int lost = 0;
    for (int w = 0; w < kWriters; ++w) {
        for (int k = 0; k < kWritesEach; ++k)
            lost +=
                chip.registers().read(kBase + w * 256 + k, 1) == std::vector<uint8_t>{0x5A} ? 0 : 1;
    }
    EXPECT_EQ(lost, 0) << "of " << kWriters * kWritesEach;
}

}  // namespace

#endif
