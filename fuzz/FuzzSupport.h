// Shared pieces of the fuzz targets: reading a fuzzer input as a stream of
// bytes, a clean process state per input (virtual clock, log at all levels
// formatted and dropped), scratch files for the parsers that take a file
// name, and a check that ends the run with a message when a property of the
// code under test does not hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sys/Clock.h"

// Aborts (a finding for the fuzzer) when `cond` is false.
#define FUZZ_CHECK(cond)                                    \
    do {                                                    \
        if (!(cond))                                        \
            ::fuzz::checkFailed(#cond, __FILE__, __LINE__); \
    } while (0)

namespace fuzz {

[[noreturn]] void checkFailed(const char* what, const char* file, int line);

// A fuzzer input read front to back. Past the end every read yields zeros.
class ByteReader {
  public:
    ByteReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool exhausted() const { return pos_ >= size_; }
    size_t remaining() const { return size_ - pos_; }
    // The next byte into *out; false (and *out untouched) at the end.
    bool next(uint8_t* out);
    uint8_t byte();
    uint16_t u16();  // little-endian
    uint32_t u32();  // little-endian
    // Copies the next n bytes to out, zero-filling what the input lacks.
    void take(uint8_t* out, size_t n);

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// Once per process: standard output to /dev/null (usage texts, listings and
// tables are printed at every input), and a fixed time zone, so that the
// timestamp of every log line needs no look at the system's zone file.
void initProcess();

// Clean process-wide state for one input: everything reset, `clock`
// installed, the log at level 0x1F into a sink that formats every line
// (so its arguments are read) and drops it, or shows it on standard error
// when TOUCHFW_FUZZ_LOG is set. The destructor resets again.
class InputScope {
  public:
    explicit InputScope(VirtualClock& clock);
    ~InputScope();
    InputScope(const InputScope&) = delete;
    InputScope& operator=(const InputScope&) = delete;
};

// Writes `size` bytes to a scratch file of this process named after `tag`
// (an in-memory file) and returns a path that opens it from the start.
std::string writeScratchFile(const char* tag, const uint8_t* data, size_t size);
// A scratch folder of this process named after `tag`, emptied (under
// $TOUCHFW_FUZZ_SCRATCH, else /dev/shm, else the temp folder; removed at a
// normal exit).
std::string freshScratchDir(const char* tag);

}  // namespace fuzz
