// sys: an exclusive advisory lock on a file, taken without waiting.
//
// Offers FileLock: tryLock() creates the file when missing (never through a
// link at the path) and takes an exclusive lock on it at once or fails,
// telling whether another process holds it; the lock is released when the
// object is destroyed (and by the system when the process ends, however it
// ends). The lock is on the file at the path when tryLock returns: a file
// renamed over the path meanwhile is locked in its turn.
// Relies on: flock on POSIX; on Windows a named semaphore derived from the
// file's full path.
#pragma once

#include <cstdint>
#include <string>

class FileLock {
  public:
    enum class Result { locked, busy, failed };

    FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() { release(); }

    Result tryLock(const std::string& path);
    void release();
    bool held() const { return handle_ != kNone; }
    // The system's error code when tryLock failed (errno, or GetLastError on Windows).
    uint32_t error() const { return error_; }

  private:
    static constexpr intptr_t kNone = -1;
    intptr_t handle_ = kNone;
    uint32_t error_ = 0;
};
