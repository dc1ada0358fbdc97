// sys: whole-file reads and log appends that can neither block nor be
// redirected.
//
// Offers readRegularFile(): the file is opened without blocking, the open
// descriptor (not the path) is checked to be a regular file no larger than
// the caller's bound, and only then read whole through that descriptor. A
// path that is a FIFO, a device or a directory, or that is swapped for one
// between any two steps, is refused instead of waited on. appendRegularFile()
// appends to a log file on the same terms and never follows a symbolic link.
// Relies on: the operating system (POSIX open/fstat/read, or the Windows file
// calls) and the C++ standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum class FileReadError {
    none = 0,
    openFailed,  // the path could not be opened (missing, no permission, a link where none is
                 // followed)
    notRegular,  // what is open is not a regular file (FIFO, device, directory, ...)
    tooLarge,    // larger than the caller's bound; nothing was read
    noMemory,    // the buffer for the contents could not be allocated
    readFailed,  // an error while reading, or fewer bytes than the size said
};

// Reads the whole regular file at `path` into *out (replaced). `size` (if not
// null) gets the file's size as the open descriptor reports it, also when the
// read is refused for being too large. `osError` (if not null) gets the
// system error code of the failed step (0 when there is none). After
// readFailed, *out holds the bytes that were read; osError 0 then means the
// file ended before the size the descriptor reported.
FileReadError readRegularFile(const char* path, uint64_t maxBytes, std::vector<uint8_t>* out,
                              uint64_t* size = nullptr, uint32_t* osError = nullptr);

// Appends `length` bytes of `text` to the regular file at `path`, creating it
// if missing. When it already holds more than `restartAbove` bytes it is
// started anew first. Never blocks on a FIFO or device at the path, and does
// not follow a symbolic link at the path when the folder holding it may be
// written by other users (the classic planted-link attack on a tool run as
// root in /tmp). false when nothing was written; `why` (if not null) then
// gets the reason in a few words ("Permission denied", "it is a symbolic
// link in a folder other users may write", ...).
bool appendRegularFile(const char* path, const char* text, size_t length, uint64_t restartAbove,
                       std::string* why = nullptr);

#ifndef _WIN32
// The open(2) call both functions make, replaceable so that a test can change
// what sits at the path between any earlier check and the open itself.
// Receives the path, the flags and the creation mode; returns a descriptor
// or -1 with errno set. nullptr restores the system's open.
using FileOpenCall = int (*)(const char* path, int flags, unsigned mode);
void setFileOpenCall(FileOpenCall call);
#endif

// Opens the regular file at `path` (created if missing) as a stream that
// appends, for a file written line by line through a whole run. Checked as
// appendRegularFile checks, and a symbolic link (or reparse point) at the
// path is never followed. nullptr when it cannot be opened or is not a
// regular file.
std::FILE* openAppendStream(const char* path);
