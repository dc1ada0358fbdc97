// sys: the operating-system seams every layer may use.
//
// Offers the clock seam: every wait of the tool goes through sleepMs() and
// every log timestamp through localNow(). Production uses the system clock;
// tests and the emulator install a VirtualClock that returns at once,
// advances virtual time and records each wait.
// Relies on: the C++ standard library (and on Windows Sleep and GetLocalTime).
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

struct LocalTime {
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

class Clock {
  public:
    virtual ~Clock() = default;
    virtual void sleepMs(uint32_t ms) = 0;
    virtual LocalTime now() = 0;
    // Milliseconds on a clock that never goes back, for "time since the
    // start"; the steady clock unless the clock keeps its own time.
    virtual uint64_t monotonicMs();
};

// Real time: sleeps the calling thread, reads the local wall clock.
class SystemClock : public Clock {
  public:
    void sleepMs(uint32_t ms) override;
    LocalTime now() override;
};

// Virtual time: a wait returns at once and only advances the virtual time.
// The timestamps start at the real local time of construction (so log files
// of emulated runs still read sensibly) unless a fixed start is given.
class VirtualClock : public Clock {
  public:
    VirtualClock();
    explicit VirtualClock(const LocalTime& start);
    void sleepMs(uint32_t ms) override;
    LocalTime now() override;
    uint64_t monotonicMs() override { return elapsedMs_; }

    uint64_t elapsedMs() const { return elapsedMs_; }
    const std::vector<uint32_t>& waits() const { return waits_; }
    void clearWaits() { waits_.clear(); }
    // Advances time without recording a wait (time spent "in the device").
    void advance(uint64_t ms) { elapsedMs_ += ms; }

  private:
    std::chrono::system_clock::time_point start_;
    uint64_t elapsedMs_ = 0;
    std::vector<uint32_t> waits_;
};

// The clock in force; the system clock unless another one is installed.
Clock& currentClock();
// Installs a clock (nullptr restores the system clock). Not owned.
void setClock(Clock* clock);

inline void sleepMs(uint32_t ms) {
    currentClock().sleepMs(ms);
}
inline LocalTime localNow() {
    return currentClock().now();
}
