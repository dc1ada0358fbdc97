#ifndef _WIN32

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "sys/Files.h"
#include "sys/FilesPlatform.h"

namespace {

int systemOpen(const char* path, int flags, unsigned mode) {
    return ::open(path, flags, static_cast<mode_t>(mode));
}

FileOpenCall openCall = systemOpen;

// Closes the descriptor on every path out of a function.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    // Hands the descriptor over to the caller.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

// The folder part of `path` ("." when it has none).
std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// True when only this user (or root) can add or replace entries in the folder
// holding `path`. Anywhere else a link at the path may have been planted by
// someone else, so it is not followed. A folder that cannot be examined is
// taken as shared.
bool folderIsPrivate(const char* path) {
    struct stat st {};
    if (::stat(folderOf(path).c_str(), &st) != 0)
        return false;
    const bool ownerTrusted = st.st_uid == ::geteuid() || st.st_uid == 0;
    return ownerTrusted && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

long systemWrite(int fd, const void* data, size_t length) {
    return static_cast<long>(::write(fd, data, length));
}

FileWriteCall writeCall = systemWrite;

// Writes all `length` bytes; false with errno set when a write fails (a full
// disk ends a short write with a failing one).
bool writeAll(int fd, const char* text, size_t length) {
    while (length > 0) {
        const long n = writeCall(fd, text, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            errno = ENOSPC;
        if (n <= 0)
            return false;
        text += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

void setFileOpenCall(FileOpenCall call) {
    openCall = call != nullptr ? call : systemOpen;
}

void setFileWriteCall(FileWriteCall call) {
    writeCall = call != nullptr ? call : systemWrite;
}

FileReadError readRegularFile(const char* path, uint64_t maxBytes, std::vector<uint8_t>* out,
                              uint64_t* size, uint32_t* osError) {
    if (size != nullptr)
        *size = 0;
    uint32_t unusedError = 0;
    uint32_t& error = osError != nullptr ? *osError : unusedError;
    error = 0;
    if (path == nullptr || out == nullptr) {
        error = EINVAL;
        return FileReadError::openFailed;
    }
    // O_NONBLOCK: opening a FIFO without a writer (or a device) returns at once
    // instead of waiting; the descriptor is then refused for not being regular.
    const Descriptor fd(openCall(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0));
    if (fd.get() < 0) {
        error = static_cast<uint32_t>(errno);
        return FileReadError::openFailed;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        error = static_cast<uint32_t>(errno);
        return FileReadError::openFailed;
    }
    if (!S_ISREG(st.st_mode))
        return FileReadError::notRegular;
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    if (size != nullptr)
        *size = fileSize;
    if (fileSize > maxBytes)
        return FileReadError::tooLarge;
    std::vector<uint8_t> data;
    try {
        data.resize(static_cast<size_t>(fileSize));
    } catch (const std::bad_alloc&) {
        return FileReadError::noMemory;
    }
    size_t got = 0;
    while (got < data.size()) {
        char* const at = reinterpret_cast<char*>(data.data()) + got;
        const long n = fileplatform::readSome(fd.get(), at, data.size() - got, &error);
        if (n < 0) {
            data.resize(got);
            out->swap(data);
            return FileReadError::readFailed;
        }
        if (n == 0)
            break;  // the file shrank since fstat
        got += static_cast<size_t>(n);
    }
    data.resize(got);
    out->swap(data);
    return got == fileSize ? FileReadError::none : FileReadError::readFailed;
}

namespace {

// Sets *why (if there is one) and gives false.
bool failBecause(std::string* why, const std::string& reason) {
    if (why != nullptr)
        *why = reason;
    return false;
}

// Opens `path` with `flags` (O_CREAT makes it with `mode`) without blocking;
// the open descriptor must be a regular file, whose status goes to *st, and
// with `oneName` a file of one name only. -1, with the reason in *why, when
// it cannot be opened or is refused.
int openRegular(const char* path, int flags, unsigned mode, bool oneName, struct stat* st,
                std::string* why = nullptr) {
    Descriptor fd(openCall(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, mode));
    if (fd.get() < 0) {
        // O_NOFOLLOW refuses a symbolic link with ELOOP.
        failBecause(why, errno == ELOOP && (flags & O_NOFOLLOW) != 0
                             ? "it is a symbolic link in a folder other users may write"
                             : std::strerror(errno));
        return -1;
    }
    if (::fstat(fd.get(), st) != 0) {
        failBecause(why, std::strerror(errno));
        return -1;
    }
    if (!S_ISREG(st->st_mode)) {
        failBecause(why, "it is not a regular file");
        return -1;
    }
    // In a shared folder a second name for the file may have been made by
    // someone else to have this process write into a file it should not.
    if (oneName && st->st_nlink > 1) {
        failBecause(why, "it has a second name (a hard link) in a folder other users may write");
        return -1;
    }
    return fd.release();
}

// A log file or recording: appended to, created when missing.
constexpr int kAppendFlags = O_WRONLY | O_APPEND | O_CREAT;

}  // namespace

FolderAccess folderAccessOf(const char* path) {
    return path != nullptr && folderIsPrivate(path) ? FolderAccess::ownerOnly
                                                    : FolderAccess::shared;
}

bool appendRegularFile(const char* path, const char* text, size_t length, uint64_t restartAbove,
                       std::string* why) {
    return appendRegularFile(path, folderAccessOf(path), text, length, restartAbove, why);
}

bool appendRegularFile(const char* path, FolderAccess folder, const char* text, size_t length,
                       uint64_t restartAbove, std::string* why) {
    if (path == nullptr || path[0] == '\0' || text == nullptr)
        return failBecause(why, "no file name");
    const bool shared = folder == FolderAccess::shared;
    struct stat st {};
    const Descriptor fd(
        openRegular(path, kAppendFlags | (shared ? O_NOFOLLOW : 0), 0666, shared, &st, why));
    if (fd.get() < 0)
        return false;
    if (static_cast<uint64_t>(st.st_size) > restartAbove && ::ftruncate(fd.get(), 0) != 0)
        return failBecause(why, std::strerror(errno));
    if (!writeAll(fd.get(), text, length))
        return failBecause(why, errno != 0 ? std::strerror(errno) : "nothing could be written");
    return true;
}

bool AppendFile::open(const char* path) {
    close();
    failed_ = false;
    error_ = 0;
    if (path == nullptr || path[0] == '\0')
        return false;
    const bool shared = !folderIsPrivate(path);
    struct stat st {};
    // The log's rule for a second name, with a link never followed.
    Descriptor fd(openRegular(path, kAppendFlags | O_NOFOLLOW, 0644, shared, &st));
    if (fd.get() < 0)
        return false;
    end_ = static_cast<uint64_t>(st.st_size);
    handle_ = fd.release();
    return true;
}

bool AppendFile::append(const char* data, size_t length) {
    if (!isOpen())
        return false;
    const int fd = static_cast<int>(handle_);
    if (writeAll(fd, data, length)) {
        const off_t at = ::lseek(fd, 0, SEEK_CUR);
        end_ = at >= 0 ? static_cast<uint64_t>(at) : end_ + length;
        return true;
    }
    error_ = static_cast<uint32_t>(errno);
    failed_ = true;
    // Whatever part of this piece reached the file goes again: the file ends
    // with the last whole piece.
    while (::ftruncate(fd, static_cast<off_t>(end_)) != 0 && errno == EINTR) {
    }
    close();
    return false;
}

void AppendFile::close() {
    if (isOpen())
        ::close(static_cast<int>(handle_));
    handle_ = kNone;
}

namespace fileplatform {

intptr_t createNew(const std::string& path, bool* nameTaken, uint32_t* osError) {
    // O_EXCL: a link planted at the name fails the open like a file there.
    const int fd = openCall(path.c_str(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0666);
    *nameTaken = fd < 0 && errno == EEXIST;
    if (fd < 0)
        *osError = static_cast<uint32_t>(errno);
    return fd < 0 ? kNoHandle : fd;
}

bool writeWhole(intptr_t handle, const char* data, size_t length, uint32_t* osError) {
    if (writeAll(static_cast<int>(handle), data, length))
        return true;
    *osError = static_cast<uint32_t>(errno);
    return false;
}

bool closeHandle(intptr_t handle, uint32_t* osError) {
    if (::close(static_cast<int>(handle)) == 0 || errno == EINTR)
        return true;
    *osError = static_cast<uint32_t>(errno);
    return false;
}

bool syncHandle(intptr_t handle, uint32_t* osError) {
    int result;
    while ((result = ::fsync(static_cast<int>(handle))) != 0 && errno == EINTR) {
    }
    // A file system that keeps nothing to sync says EINVAL.
    if (result == 0 || errno == EINVAL)
        return true;
    *osError = static_cast<uint32_t>(errno);
    return false;
}

bool replacePath(const std::string& from, const std::string& to, uint32_t* osError) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        *osError = static_cast<uint32_t>(errno);
        return false;
    }
    // The folder's entry: without it the old file may come back after a
    // power cut, which is still whole. So a failure here is not an error.
    const int fd = ::open(folderOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    return true;
}

void removePath(const std::string& path) {
    ::unlink(path.c_str());
}

intptr_t openForReading(const std::string& path, std::string* why) {
    const int noFollow = folderIsPrivate(path.c_str()) ? 0 : O_NOFOLLOW;
    struct stat st {};
    const int fd = openRegular(path.c_str(), O_RDONLY | noFollow, 0, false, &st, why);
    return fd < 0 ? kNoHandle : fd;
}

long readSome(intptr_t handle, char* data, size_t length, uint32_t* osError) {
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(handle), data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            *osError = static_cast<uint32_t>(errno);
        return static_cast<long>(n);
    }
}

unsigned long processId() {
    return static_cast<unsigned long>(::getpid());
}

}  // namespace fileplatform

std::string fileErrorText(uint32_t osError) {
    return std::strerror(static_cast<int>(osError));
}

#endif  // _WIN32
