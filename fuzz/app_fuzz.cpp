// The whole program from its command line: runMain with arguments from the
// fuzzer, the device behind a fake hidraw node fed by the rest of the input
// (FakeHidraw.h). Each input runs in a scratch folder that holds a small
// firmware image per family (fw-<family>.bin) and configurations (cfg.cfg,
// cfg-<family>.cfg), where the log file goes too; the working folder is
// restored after it (give libFuzzer an absolute -artifact_prefix: a crash is
// saved from inside).
//
// Input: arguments separated by NUL bytes; two NUL bytes end the command line
// (at most 32 arguments); the rest drives the device. Inputs that name
// --record (whose file would grow with every input; the recording has its
// own tests) or --logfiledir, or a firmware or configuration path outside the scratch
// folder (containing '/'), are skipped: the log file and its deletion (-d)
// must stay in the scratch folder, and the machine's other files are not the
// tool's input.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/App.h"
#include "app/Options.h"
#include "fuzz/DeviceSession.h"
#include "fuzz/FakeHidraw.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr size_t kMaxArguments = 32;

std::string scratchDir;
int homeDir = -1;  // the working folder libFuzzer was started in

// Runs the input's job inside the scratch folder.
class InScratchDir {
  public:
    InScratchDir() {
        if (::chdir(scratchDir.c_str()) != 0)
            fuzz::checkFailed("chdir to the scratch folder", __FILE__, __LINE__);
    }
    ~InScratchDir() {
        if (::fchdir(homeDir) != 0)
            fuzz::checkFailed("chdir back", __FILE__, __LINE__);
    }
};

bool takesPath(const std::string& arg) {
    return arg == "-f" || arg == "--firmware" || arg == "-c" || arg == "--config";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::initProcess();
    scratchDir = fuzz::freshScratchDir("app");
    fuzz::writeSampleFiles(scratchDir);
    homeDir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (homeDir < 0)
        fuzz::checkFailed("open the working folder", __FILE__, __LINE__);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args{"touchfw"};
    size_t pos = 0;
    std::string current;
    while (pos < size && args.size() < kMaxArguments) {
        if (data[pos] != 0) {
            current.push_back(static_cast<char>(data[pos++]));
            continue;
        }
        args.push_back(current);
        current.clear();
        ++pos;
        if (pos < size && data[pos] == 0) {
            ++pos;
            break;
        }
    }
    if (!current.empty())
        args.push_back(current);
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--logfiledir" || args[i] == "--record")
            return 0;
        if (takesPath(args[i - 1]) && args[i].find('/') != std::string::npos)
            return 0;
    }
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    InScratchDir inScratch;
    VirtualClock clock;
    fuzz::InputScope scope(clock);
    fuzz::ByteReader in(data + pos, size - pos);
    fuzz::deliveries().clear();
    fuzz::FakeHidraw node(in, 0);
    const int status = runMain(static_cast<int>(args.size()), argv.data());
    static const bool show = std::getenv("TOUCHFW_FUZZ_LOG") != nullptr;
    if (show)
        std::fprintf(stderr, "exit status %d\n", status);
    // The exit statuses of the tool (the touch-data capture passes its own on).
    FUZZ_CHECK(status == 0 || status == -1 || status == -2 || status == -3 || status == -4 ||
               status == -10 || status == -20);
    // A job that needs the chip's answers (a property, an update, a register
    // read) never reports success when the device delivered no report at all.
    if (status == 0 && fuzz::deliveries().empty() && !hasOption("scan") && !hasOption("version")) {
        FUZZ_CHECK(!hasOption("property"));
        FUZZ_CHECK(!hasOption("firmware") && !hasOption("config"));
        FUZZ_CHECK(!hasOption("read") || hasOption("write") || hasOption("writecmd"));
    }
    return 0;
}
