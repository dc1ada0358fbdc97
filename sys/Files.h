// sys: whole-file reads and log appends that can neither block nor be
// redirected.
//
// Offers readRegularFile(): the file is opened without blocking, the open
// descriptor (not the path) is checked to be a regular file no larger than
// the caller's bound, and only then read whole through that descriptor. A
// path that is a FIFO, a device or a directory, or that is swapped for one
// between any two steps, is refused instead of waited on. appendRegularFile()
// appends to a log file on the same terms and never follows a symbolic link.
// AppendFile appends to a file piece by piece on the log's terms and cuts a
// torn piece off again; ReplacementFile writes an output whole or not at all
// (temporary file, then rename); RegularFileReader streams a large input
// opened on the log's terms.
// Relies on: the operating system (POSIX open/fstat/read, or the Windows file
// calls) and the C++ standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <istream>
#include <ostream>
#include <streambuf>
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

// Who may add or replace entries in the folder holding a path: only this
// user (or root), or others too. In a shared folder a link at the path is
// not followed and a file with a second name is not written. (On Windows a
// link is never followed, whatever the folder.)
enum class FolderAccess { ownerOnly, shared };
// The folder of `path` examined now; one that cannot be examined counts as shared.
FolderAccess folderAccessOf(const char* path);
// appendRegularFile() for a caller that appends to the same path many times
// (the log): it examines the folder once and passes the answer each time,
// so that an append costs only the open, the checks of the open file, the
// write and the close.
bool appendRegularFile(const char* path, FolderAccess folder, const char* text, size_t length,
                       uint64_t restartAbove, std::string* why = nullptr);

#ifndef _WIN32
// The open(2) call both functions make, replaceable so that a test can change
// what sits at the path between any earlier check and the open itself.
// Receives the path, the flags and the creation mode; returns a descriptor
// or -1 with errno set. nullptr restores the system's open.
using FileOpenCall = int (*)(const char* path, int flags, unsigned mode);
void setFileOpenCall(FileOpenCall call);
#endif

// The system's text for an error code of the calls here (errno, or
// GetLastError on Windows).
std::string fileErrorText(uint32_t osError);

#ifndef _WIN32
// The write(2) call of every write made here, replaceable so that a test can
// have the disk fill up (or a quota run out) at any byte. Receives the
// descriptor, the bytes and their count; returns the count written or -1
// with errno set. nullptr restores the system's write.
using FileWriteCall = long (*)(int fd, const void* data, size_t length);
void setFileWriteCall(FileWriteCall call);
#endif

// A file that a run appends to piece by piece (the wire recording), opened
// on the log's terms: a regular file, created when missing, no link
// followed, and in a folder others may write no file that has a second name.
// Each append lands whole or not at all: when a write fails (a full disk, a
// quota), the file is cut back to where the last whole append ended and
// closed for good, so a later append that would fit cannot fuse onto a torn
// piece. The system closes nothing behind its back: close() or the
// destructor do.
class AppendFile {
  public:
    AppendFile() = default;
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    ~AppendFile() { close(); }

    bool open(const char* path);
    // false when nothing was appended: the file is closed or this write failed.
    bool append(const char* data, size_t length);
    void close();
    bool isOpen() const { return handle_ != kNone; }
    // An append failed; the file ends at end().
    bool failed() const { return failed_; }
    // The file's size after the last whole append (its size at open before any).
    uint64_t end() const { return end_; }
    // The system's error code of the failed write (errno, or GetLastError on Windows).
    uint32_t error() const { return error_; }

  private:
    static constexpr intptr_t kNone = -1;
    intptr_t handle_ = kNone;
    uint64_t end_ = 0;
    bool failed_ = false;
    uint32_t error_ = 0;
};

// A file written whole or not at all (touchfw-frames' heatmaps and CSV, the
// emulator's chip state): the bytes go to a temporary file created
// exclusively beside the target (a name nobody else holds, never opened
// through a link), and commit() renames it over the target. A reader sees
// the old file or the new one, never a torn or empty one; a link at the
// target's path is replaced, never written through. Destroyed without a
// successful commit(), it removes the temporary file and the target stays
// as it was.
class ReplacementFile {
  public:
    explicit ReplacementFile(std::string path);
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;
    ~ReplacementFile();

    bool open();
    // Buffered; false once any write has failed (later writes are dropped).
    bool write(const void* data, size_t length);
    // The same file as a stream for formatted output.
    std::ostream& stream() { return stream_; }
    // Writes what is buffered, closes and renames over the target.
    bool commit();
    // Why open(), a write or commit() failed ("cannot write cap.csv: No space left on device").
    const std::string& error() const { return error_; }

  private:
    // The stream's buffer: bytes gather here and go to the file in large writes.
    class Buffer : public std::streambuf {
      public:
        explicit Buffer(ReplacementFile& file) : file_(file) {}
        void start();
        void stop();

      protected:
        int_type overflow(int_type c) override;
        int sync() override;

      private:
        bool drain();
        ReplacementFile& file_;
        std::vector<char> area_;
    };

    bool writeOut(const char* data, size_t length);
    bool fail(const char* what, uint32_t osError);  // false, after the error is kept
    void discard();

    std::string path_;
    std::string temp_;
    intptr_t handle_ = -1;
    bool failed_ = false;
    std::string error_;
    Buffer streamBuffer_{*this};
    std::ostream stream_{&streamBuffer_};
};

// A regular file read as a stream a buffer at a time (the emulator's chip
// state, larger than what is worth holding whole), opened on the log's
// terms: a FIFO or device at the path is refused instead of waited on, and a
// symbolic link at the path is not followed when the folder holding it may
// be written by other users (on Windows a link there is never followed).
class RegularFileReader {
  public:
    RegularFileReader() = default;
    RegularFileReader(const RegularFileReader&) = delete;
    RegularFileReader& operator=(const RegularFileReader&) = delete;
    ~RegularFileReader();

    // false when the path cannot be opened or is not a regular file.
    bool open(const std::string& path);
    std::istream& stream() { return stream_; }
    // Why open() or a read failed ("cannot open x.state: it is a symbolic
    // link in a folder other users may write"); empty while all went well.
    const std::string& error() const { return error_; }

  private:
    class Buffer : public std::streambuf {
      public:
        explicit Buffer(RegularFileReader& file) : file_(file) {}

      protected:
        int_type underflow() override;

      private:
        RegularFileReader& file_;
        std::vector<char> area_;
    };

    void close();

    std::string path_;
    intptr_t handle_ = -1;
    std::string error_;
    Buffer streamBuffer_{*this};
    std::istream stream_{&streamBuffer_};
};
