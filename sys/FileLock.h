// sys: an exclusive advisory lock on a file, taken without waiting.
//
// Offers FileLock: tryLock() creates the file when missing and takes an
// exclusive lock on it at once or fails, telling whether another process
// holds it; the lock is released when the object is destroyed (and by the
// system when the process ends, however it ends).
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

  private:
    static constexpr intptr_t kNone = -1;
    intptr_t handle_ = kNone;
};
