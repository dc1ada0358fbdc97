#include "sys/Clock.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <chrono>
#include <ctime>
#include <thread>

namespace {

SystemClock systemClock;
Clock* installedClock = nullptr;

// The time zone is read once per process, at the first timestamp; every
// later conversion uses what was read (localtime_r reads nothing itself).
void readTimeZoneOnce() {
#if defined(_WIN32)
    static const bool done = (_tzset(), true);
#else
    static const bool done = (tzset(), true);
#endif
    (void)done;
}

LocalTime fromTimePoint(std::chrono::system_clock::time_point tp) {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(tp.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tmv{};
    readTimeZoneOnce();
#if defined(_WIN32)
    localtime_s(&tmv, &secs);
#else
    localtime_r(&secs, &tmv);
#endif
    LocalTime t;
    t.year = tmv.tm_year + 1900;
    t.month = tmv.tm_mon + 1;
    t.day = tmv.tm_mday;
    t.hour = tmv.tm_hour;
    t.minute = tmv.tm_min;
    t.second = tmv.tm_sec;
    t.millisecond = static_cast<int>(ms % 1000);
    return t;
}

std::chrono::system_clock::time_point toTimePoint(const LocalTime& t) {
    std::tm tmv{};
    tmv.tm_year = t.year - 1900;
    tmv.tm_mon = t.month - 1;
    tmv.tm_mday = t.day;
    tmv.tm_hour = t.hour;
    tmv.tm_min = t.minute;
    tmv.tm_sec = t.second;
    tmv.tm_isdst = -1;
    const std::time_t secs = std::mktime(&tmv);
    return std::chrono::system_clock::from_time_t(secs) + std::chrono::milliseconds(t.millisecond);
}

}  // namespace

uint64_t Clock::monotonicMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

#if defined(_WIN32)

void SystemClock::sleepMs(uint32_t ms) {
    ::Sleep(ms);
}

LocalTime SystemClock::now() {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    LocalTime t;
    t.year = st.wYear;
    t.month = st.wMonth;
    t.day = st.wDay;
    t.hour = st.wHour;
    t.minute = st.wMinute;
    t.second = st.wSecond;
    t.millisecond = st.wMilliseconds;
    return t;
}

#else

void SystemClock::sleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

LocalTime SystemClock::now() {
    return fromTimePoint(std::chrono::system_clock::now());
}

#endif

VirtualClock::VirtualClock() : start_(std::chrono::system_clock::now()) {}

// mktime re-reads the time zone at every call: the start is converted once.
VirtualClock::VirtualClock(const LocalTime& start) : start_(toTimePoint(start)) {}

void VirtualClock::sleepMs(uint32_t ms) {
    waits_.push_back(ms);
    elapsedMs_ += ms;
}

LocalTime VirtualClock::now() {
    return fromTimePoint(start_ + std::chrono::milliseconds(elapsedMs_));
}

Clock& currentClock() {
    return installedClock ? *installedClock : systemClock;
}

void setClock(Clock* clock) {
    installedClock = clock;
}
