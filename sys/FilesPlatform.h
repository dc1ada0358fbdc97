// sys: the platform's file calls under ReplacementFile and RegularFileReader, one implementation
// in FilesPosix.cpp and one in FilesWin.cpp. Only sys/ includes this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fileplatform {

constexpr intptr_t kNoHandle = -1;

// Creates `path` for writing; fails when anything (a file, a link) is there,
// and then says so in *nameTaken.
intptr_t createNew(const std::string& path, bool* nameTaken, uint32_t* osError);
// Writes all `length` bytes; false with the system's error code.
bool writeWhole(intptr_t handle, const char* data, size_t length, uint32_t* osError);
// Puts the file's bytes on the disk, so that a power cut after the rename
// that follows cannot leave an empty or torn file under the target's name.
bool syncHandle(intptr_t handle, uint32_t* osError);
// Closes the handle; false when the system reports a late write error.
bool closeHandle(intptr_t handle, uint32_t* osError);
// Closes `handle` when it is open, whatever the system says, and marks it closed.
inline void closeQuietly(intptr_t& handle) {
    uint32_t ignored = 0;
    if (handle != kNoHandle)
        closeHandle(handle, &ignored);
    handle = kNoHandle;
}
// Moves `from` over `to` in one step (a link at `to` is replaced, not
// followed), and puts the new name on the disk as far as the system lets it.
bool replacePath(const std::string& from, const std::string& to, uint32_t* osError);
void removePath(const std::string& path);
// Opens the regular file at `path` for reading on the log's terms (see
// RegularFileReader); kNoHandle with the reason in *why.
intptr_t openForReading(const std::string& path, std::string* why);
// Reads up to `length` bytes: the count, 0 at the end, -1 with the system's
// error code.
long readSome(intptr_t handle, char* data, size_t length, uint32_t* osError);
unsigned long processId();

}  // namespace fileplatform
