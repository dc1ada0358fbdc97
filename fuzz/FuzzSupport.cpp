#include "fuzz/FuzzSupport.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <vector>

#include "app/App.h"
#include "log/Log.h"

namespace fuzz {

void checkFailed(const char* what, const char* file, int line) {
    std::fprintf(stderr, "FUZZ_CHECK failed: %s at %s:%d\n", what, file, line);
    std::abort();
}

bool ByteReader::next(uint8_t* out) {
    if (pos_ >= size_)
        return false;
    *out = data_[pos_++];
    return true;
}

uint8_t ByteReader::byte() {
    uint8_t b = 0;
    next(&b);
    return b;
}

uint16_t ByteReader::u16() {
    const uint16_t lo = byte();
    return static_cast<uint16_t>(lo | (byte() << 8));
}

uint32_t ByteReader::u32() {
    const uint32_t lo = u16();
    return lo | (static_cast<uint32_t>(u16()) << 16);
}

void ByteReader::take(uint8_t* out, size_t n) {
    const size_t count = n < remaining() ? n : remaining();
    if (count > 0)
        std::memcpy(out, data_ + pos_, count);
    if (n > count)
        std::memset(out + count, 0, n - count);
    pos_ += count;
}

void initProcess() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::fclose(stdout);
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
}

namespace {

void dropLine(const char* format, ...) TFW_PRINTF(1, 2);

void dropLine(const char* format, ...) {
    char line[kLogLineSize];
    va_list args;
    va_start(args, format);
    const bool produced = formatLogLine(line, format, args);
    va_end(args);
    // A line is always terminated inside its buffer, however long the message.
    FUZZ_CHECK(!produced || std::memchr(line, 0, sizeof line) != nullptr);
    // TOUCHFW_FUZZ_LOG=1 shows the lines (when reproducing one input).
    static const bool show = std::getenv("TOUCHFW_FUZZ_LOG") != nullptr;
    if (produced && show)
        std::fputs(line, stderr);
}

// Scratch folders live under $TOUCHFW_FUZZ_SCRATCH, else /dev/shm, else the
// temp folder, and are removed when the process ends normally.
std::filesystem::path scratchRoot() {
    static const std::filesystem::path root = [] {
        const char* chosen = std::getenv("TOUCHFW_FUZZ_SCRATCH");
        if (chosen != nullptr && *chosen != '\0')
            return std::filesystem::path(chosen);
        std::error_code ec;
        if (std::filesystem::is_directory("/dev/shm", ec))
            return std::filesystem::path("/dev/shm");
        return std::filesystem::temp_directory_path();
    }();
    return root;
}

std::vector<std::string>& scratchDirs() {
    static std::vector<std::string> dirs;
    return dirs;
}

void removeScratchDirs() {
    for (const std::string& dir : scratchDirs()) {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
}

}  // namespace

InputScope::InputScope(VirtualClock& clock) {
    resetProcessState();
    setClock(&clock);
    logLevel = 0x1F;
    logMessage = dropLine;
}

InputScope::~InputScope() {
    resetProcessState();
    setClock(nullptr);
}

std::string writeScratchFile(const char* tag, const uint8_t* data, size_t size) {
    // One anonymous in-memory file per tag, reached through its /proc path:
    // nothing is left behind on disk whatever way the process ends.
    static std::map<std::string, int> files;
    auto it = files.find(tag);
    if (it == files.end()) {
        const int fd = ::memfd_create(tag, MFD_CLOEXEC);
        if (fd < 0) {
            std::perror("memfd_create");
            std::abort();
        }
        it = files.emplace(tag, fd).first;
    }
    const int fd = it->second;
    if (::ftruncate(fd, 0) != 0 ||
        (size > 0 && ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))) {
        std::perror("scratch file");
        std::abort();
    }
    return "/proc/self/fd/" + std::to_string(fd);
}

std::string freshScratchDir(const char* tag) {
    const std::string path =
        (scratchRoot() / ("touchfw-fuzz-" + std::to_string(::getpid()) + "-" + tag)).string();
    if (std::find(scratchDirs().begin(), scratchDirs().end(), path) == scratchDirs().end()) {
        if (scratchDirs().empty())
            std::atexit(removeScratchDirs);
        scratchDirs().push_back(path);
    }
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    std::filesystem::create_directories(path, ec);
    if (ec) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), ec.message().c_str());
        std::abort();
    }
    return path;
}

}  // namespace fuzz
