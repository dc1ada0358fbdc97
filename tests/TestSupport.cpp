#include "tests/TestSupport.h"

#if !defined(_WIN32)
#include <sys/wait.h>
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

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "touchfw-test-XXXXXX").string();
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
