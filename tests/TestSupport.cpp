#include "tests/TestSupport.h"

#if !defined(_WIN32)
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace testsupport {

std::vector<std::string>& capturedLog() {
    static std::vector<std::string> lines;
    return lines;
}

namespace {

void captureLine(const char* format, ...) TFW_PRINTF(1, 2);

void captureLine(const char* format, ...) {
    char line[kLogLineSize];
    va_list args;
    va_start(args, format);
    const bool produced = formatLogLine(line, format, args);
    va_end(args);
    if (produced) {
        capturedLog().emplace_back(line + kLogPrefixLength);
    }
}

}  // namespace

LogCapture::LogCapture(uint32_t level) {
    capturedLog().clear();
    logLevel = level;
    logMessage = captureLine;
}

LogCapture::~LogCapture() {
    resetLogConfig();
}

bool LogCapture::contains(const std::string& text) const {
    return count(text) > 0;
}

size_t LogCapture::count(const std::string& text) const {
    size_t n = 0;
    for (const std::string& line : capturedLog()) {
        if (line.find(text) != std::string::npos)
            ++n;
    }
    return n;
}

void ProcessFixture::SetUp() {
    resetProcessState();
    setClock(&clock_);
    log_ = new LogCapture();
}

void ProcessFixture::TearDown() {
    delete log_;
    log_ = nullptr;
    setClock(nullptr);
    resetProcessState();
}

#if defined(_WIN32)

// No POSIX shell for runCommand here: the tests that need one are not built.
TempDir::TempDir() {
    std::random_device random;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
        const std::filesystem::path candidate = base / ("touchfw-test-" + std::to_string(random()));
        std::error_code ec;
        if (std::filesystem::create_directory(candidate, ec))
            path_ = candidate.string();
    }
}

#else

CommandResult runCommand(const std::string& command) {
    CommandResult result;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        result.output.append(buffer, n);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

namespace {

// Where test folders go: $TMPDIR when it is set; else /dev/shm when it is a
// memory file system that is writable, lets programs run and has room; else
// the system's temp folder. On ext4 a file rewritten from its start, or
// renamed over another, is flushed to the disk when closed, and the suite
// does that thousands of times: on a busy disk it waited seconds for it.
std::filesystem::path testFolderBase() {
    const char* chosen = std::getenv("TMPDIR");
    if (chosen != nullptr && chosen[0] != '\0')
        return chosen;
    struct statvfs fs {};
    const uint64_t room = 1ULL << 30;
    if (statvfs("/dev/shm", &fs) == 0 && (fs.f_flag & (ST_RDONLY | ST_NOEXEC)) == 0 &&
        static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize >= room &&
        access("/dev/shm", W_OK | X_OK) == 0)
        return "/dev/shm";
    return std::filesystem::temp_directory_path();
}

}  // namespace

TempDir::TempDir() {
    static const std::filesystem::path base = testFolderBase();
    std::string templ = (base / "touchfw-test-XXXXXX").string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr)
        path_ = buf.data();
}

#endif

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ec);
}

std::string withoutTwinHint(std::string output) {
    const size_t at = output.find(kEmuTwinHint);
    if (at != std::string::npos)
        output.erase(at, std::string(kEmuTwinHint).size());
    return output;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

}  // namespace testsupport
