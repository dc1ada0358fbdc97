#include "sys/FileLock.h"

#if defined(_WIN32)
#include <windows.h>

#include <cctype>
#include <functional>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

#if defined(_WIN32)

// Windows byte-range locks are mandatory: they would keep this very process
// from reading the file through another handle. The lock is therefore a
// named semaphore of one count derived from the file's full path (a mutex
// would let the thread that holds it take it again). The system closes the
// holder's handle when the process ends, and the semaphore with it.
FileLock::Result FileLock::tryLock(const std::string& path) {
    if (held())
        return Result::locked;
    const HANDLE file = ::CreateFileA(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        error_ = ::GetLastError();
        return Result::failed;
    }
    char full[MAX_PATH];
    const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    ::CloseHandle(file);
    if (n == 0 || n >= sizeof full) {
        error_ = ERROR_FILENAME_EXCED_RANGE;
        return Result::failed;
    }
    std::string key(full, n);
    for (char& c : key)
        c = (c == '\\') ? '/' : static_cast<char>(::tolower(static_cast<unsigned char>(c)));
    const std::string name = "Local\\touchfw-file-" + std::to_string(std::hash<std::string>{}(key));
    const HANDLE semaphore = ::CreateSemaphoreA(nullptr, 1, 1, name.c_str());
    if (semaphore == nullptr) {
        error_ = ::GetLastError();
        return Result::failed;
    }
    const DWORD wait = ::WaitForSingleObject(semaphore, 0);
    if (wait != WAIT_OBJECT_0) {
        ::CloseHandle(semaphore);
        return wait == WAIT_TIMEOUT ? Result::busy : Result::failed;
    }
    handle_ = reinterpret_cast<intptr_t>(semaphore);
    return Result::locked;
}

void FileLock::release() {
    if (held()) {
        const HANDLE semaphore = reinterpret_cast<HANDLE>(handle_);
        ::ReleaseSemaphore(semaphore, 1, nullptr);
        ::CloseHandle(semaphore);
    }
    handle_ = kNone;
}

#else

namespace {

// Times the lock is taken again because the file at the path was replaced
// between the open and the lock; after that the path counts as busy.
constexpr int kReplacedAttempts = 8;

// The descriptor still refers to the file at the path.
bool stillAtPath(int fd, const std::string& path) {
    struct stat held {};
    struct stat now {};
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &now) == 0 &&
           held.st_dev == now.st_dev && held.st_ino == now.st_ino;
}

}  // namespace

FileLock::Result FileLock::tryLock(const std::string& path) {
    if (held())
        return Result::locked;
    error_ = 0;
    for (int attempt = 0; attempt < kReplacedAttempts; ++attempt) {
        const int fd =
            ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
        if (fd < 0) {
            error_ = static_cast<uint32_t>(errno);
            return Result::failed;
        }
        int r;
        do {
            r = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (r != 0 && errno == EINTR);
        if (r != 0) {
            error_ = static_cast<uint32_t>(errno);
            ::close(fd);
            return error_ == EWOULDBLOCK ? Result::busy : Result::failed;
        }
        // A writer that replaces the file by a rename keeps its lock on the
        // old file: a lock on a file no longer at the path excludes nobody.
        if (stillAtPath(fd, path)) {
            handle_ = fd;
            return Result::locked;
        }
        ::close(fd);
    }
    return Result::busy;
}

void FileLock::release() {
    if (held())
        ::close(static_cast<int>(handle_));
    handle_ = kNone;
}

#endif
