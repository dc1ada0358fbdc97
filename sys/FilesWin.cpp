// Whole-file reads and log appends on Windows. The file is opened once; the
// open handle (never the path again) is checked to be a regular disk file of
// bounded size, then read or appended through that handle. Named pipes and
// character devices ("\\.\pipe\x", "COM1", "CON") are refused by their file
// type, folders by their attributes; a symbolic link or junction at
// a log path is refused by opening the reparse point itself.
#if defined(_WIN32)

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <string>

#include "sys/Files.h"
#include "sys/FilesPlatform.h"

namespace {

// ReadFile and WriteFile move at most this much per call.
constexpr DWORD kMaxTransferChunk = 1u << 20;

struct FileHandle {
    HANDLE h = INVALID_HANDLE_VALUE;
    FileHandle() = default;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() {
        if (ok())
            ::CloseHandle(h);
    }
    bool ok() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
};

DWORD lastErrorOr(DWORD fallback) {
    const DWORD error = ::GetLastError();
    return error != 0 ? error : fallback;
}

// A regular disk file (no pipe, device, folder or reparse point), and its size.
bool isRegularFile(HANDLE h, uint64_t* size) {
    if (::GetFileType(h) != FILE_TYPE_DISK)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(h, &info))
        return false;
    const DWORD notRegular =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE | FILE_ATTRIBUTE_REPARSE_POINT;
    if ((info.dwFileAttributes & notRegular) != 0)
        return false;
    *size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

// Opens the log file with `access` (appending only, unless the caller cuts
// pieces off again), creating it if missing, without following a reparse
// point at the path. Others may read and write meanwhile.
bool openForAppend(const char* path, FileHandle* file, uint64_t* size,
                   DWORD access = FILE_APPEND_DATA | SYNCHRONIZE) {
    file->h =
        ::CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    return file->ok() && isRegularFile(file->h, size);
}

// Writes all `length` bytes; false (GetLastError says why) when a write fails
// or moves nothing.
bool writeAllTo(HANDLE h, const char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
        const DWORD want = static_cast<DWORD>(std::min<size_t>(length - done, kMaxTransferChunk));
        DWORD written = 0;
        if (!::WriteFile(h, data + done, want, &written, nullptr) || written == 0)
            return false;
        done += written;
    }
    return true;
}

}  // namespace

FileReadError readRegularFile(const char* path, uint64_t maxBytes, std::vector<uint8_t>* out,
                              uint64_t* size, uint32_t* osError) {
    if (size)
        *size = 0;
    if (osError)
        *osError = 0;
    auto failed = [osError](FileReadError result, DWORD error) {
        if (osError)
            *osError = error;
        return result;
    };
    if (path == nullptr || out == nullptr)
        return failed(FileReadError::openFailed, ERROR_INVALID_PARAMETER);
    FileHandle file;
    // Backup semantics let a folder open too, so it is refused as not regular.
    file.h = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (!file.ok())
        return failed(FileReadError::openFailed, lastErrorOr(ERROR_OPEN_FAILED));
    uint64_t fileSize = 0;
    if (!isRegularFile(file.h, &fileSize))
        return failed(FileReadError::notRegular, ERROR_BAD_FILE_TYPE);
    if (size)
        *size = fileSize;
    if (fileSize > maxBytes)
        return failed(FileReadError::tooLarge, ERROR_FILE_TOO_LARGE);
    std::vector<uint8_t> data;
    try {
        data.resize(static_cast<size_t>(fileSize));
    } catch (const std::bad_alloc&) {
        return failed(FileReadError::noMemory, ERROR_NOT_ENOUGH_MEMORY);
    }
    uint64_t done = 0;
    while (done < fileSize) {
        const DWORD want =
            static_cast<DWORD>(std::min<uint64_t>(fileSize - done, kMaxTransferChunk));
        DWORD got = 0;
        if (!::ReadFile(file.h, data.data() + done, want, &got, nullptr))
            return failed(FileReadError::readFailed, lastErrorOr(ERROR_READ_FAULT));
        if (got == 0)  // the file shrank after its size was taken
            return failed(FileReadError::readFailed, ERROR_HANDLE_EOF);
        done += got;
    }
    out->swap(data);
    return FileReadError::none;
}

FolderAccess folderAccessOf(const char* /*path*/) {
    return FolderAccess::shared;  // no link is followed here in any folder
}

bool appendRegularFile(const char* path, const char* text, size_t length, uint64_t restartAbove,
                       std::string* why) {
    return appendRegularFile(path, FolderAccess::shared, text, length, restartAbove, why);
}

bool appendRegularFile(const char* path, FolderAccess /*folder*/, const char* text, size_t length,
                       uint64_t restartAbove, std::string* why) {
    auto fail = [why](const char* reason) {
        if (why != nullptr) {
            char reasonText[96];
            std::snprintf(reasonText, sizeof reasonText, "%s (system error %lu)", reason,
                          static_cast<unsigned long>(::GetLastError()));
            *why = reasonText;
        }
        return false;
    };
    if (path == nullptr || path[0] == '\0' || (text == nullptr && length > 0))
        return fail("no file name");
    FileHandle file;
    uint64_t size = 0;
    const char* const notOpened = "it cannot be opened, or is a folder, a device or a link";
    if (!openForAppend(path, &file, &size))
        return fail(notOpened);
    if (size > restartAbove) {
        // Started anew: the old file goes (a link planted meanwhile is refused
        // by the second open, which again takes no reparse point).
        ::CloseHandle(file.h);
        file.h = INVALID_HANDLE_VALUE;
        if (!::DeleteFileA(path))
            return fail("the full file cannot be deleted");
        if (!openForAppend(path, &file, &size))
            return fail(notOpened);
    }
    if (!writeAllTo(file.h, text, length))
        return fail("it cannot be written");
    return true;
}

bool AppendFile::open(const char* path) {
    close();
    failed_ = false;
    error_ = 0;
    if (path == nullptr || path[0] == '\0')
        return false;
    // Write access (not append only) so that a torn piece can be cut off
    // again; every piece is written at the end.
    FileHandle file;
    uint64_t size = 0;
    if (!openForAppend(path, &file, &size, GENERIC_WRITE))
        return false;
    end_ = size;
    handle_ = reinterpret_cast<intptr_t>(file.h);
    file.h = INVALID_HANDLE_VALUE;
    return true;
}

bool AppendFile::append(const char* data, size_t length) {
    if (!isOpen())
        return false;
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(end_);
    if (::SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && writeAllTo(h, data, length)) {
        end_ += length;
        return true;
    }
    error_ = lastErrorOr(ERROR_WRITE_FAULT);
    failed_ = true;
    // Whatever part of this piece reached the file goes again.
    if (::SetFilePointerEx(h, at, nullptr, FILE_BEGIN))
        ::SetEndOfFile(h);
    close();
    return false;
}

void AppendFile::close() {
    if (isOpen())
        ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = kNone;
}

namespace fileplatform {

intptr_t createNew(const std::string& path, bool* nameTaken, uint32_t* osError) {
    // CREATE_NEW fails on any name that exists, a link included.
    const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *osError = lastErrorOr(ERROR_OPEN_FAILED);
        *nameTaken = *osError == ERROR_FILE_EXISTS || *osError == ERROR_ALREADY_EXISTS;
        return kNoHandle;
    }
    *nameTaken = false;
    return reinterpret_cast<intptr_t>(h);
}

bool writeWhole(intptr_t handle, const char* data, size_t length, uint32_t* osError) {
    if (writeAllTo(reinterpret_cast<HANDLE>(handle), data, length))
        return true;
    *osError = lastErrorOr(ERROR_WRITE_FAULT);
    return false;
}

bool closeHandle(intptr_t handle, uint32_t* osError) {
    if (::CloseHandle(reinterpret_cast<HANDLE>(handle)))
        return true;
    *osError = lastErrorOr(ERROR_WRITE_FAULT);
    return false;
}

bool syncHandle(intptr_t handle, uint32_t* osError) {
    if (::FlushFileBuffers(reinterpret_cast<HANDLE>(handle)))
        return true;
    *osError = lastErrorOr(ERROR_WRITE_FAULT);
    return false;
}

bool replacePath(const std::string& from, const std::string& to, uint32_t* osError) {
    if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *osError = lastErrorOr(ERROR_WRITE_FAULT);
    return false;
}

void removePath(const std::string& path) {
    ::DeleteFileA(path.c_str());
}

intptr_t openForReading(const std::string& path, std::string* why) {
    // The reparse point itself is opened, and refused as not regular.
    const HANDLE h = ::CreateFileA(
        path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        *why = fileErrorText(lastErrorOr(ERROR_OPEN_FAILED));
        return kNoHandle;
    }
    uint64_t size = 0;
    if (!isRegularFile(h, &size)) {
        ::CloseHandle(h);
        *why = "it is not a regular file";
        return kNoHandle;
    }
    return reinterpret_cast<intptr_t>(h);
}

long readSome(intptr_t handle, char* data, size_t length, uint32_t* osError) {
    const DWORD want = static_cast<DWORD>(std::min<size_t>(length, kMaxTransferChunk));
    DWORD got = 0;
    if (!::ReadFile(reinterpret_cast<HANDLE>(handle), data, want, &got, nullptr)) {
        *osError = lastErrorOr(ERROR_READ_FAULT);
        return -1;
    }
    return static_cast<long>(got);
}

unsigned long processId() {
    return ::GetCurrentProcessId();
}

}  // namespace fileplatform

std::string fileErrorText(uint32_t osError) {
    char text[256] = {0};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, osError, 0, text, sizeof text, nullptr);
    std::string message(text, n);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.'))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(osError) : message;
}

#endif  // _WIN32
