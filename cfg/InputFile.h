// cfg: reading an input file (firmware image or configuration file) whole.
//
// Offers readInputFile(): the bounded, non-blocking whole-file read of
// sys/Files.h with the log lines and result codes that image and
// configuration loading share; each caller supplies the words of its own texts.
// Relies on: log (messages), sys (whole-file reads).
#pragma once

#include <cstdint>
#include <vector>

// The words that make one caller's log lines. With lead L, every line reads:
//   L<nameTitle> file name cannot be NULL.
//   LOpen <fileKind> file failed. filename = <name>.
//   LOpen <fileKind> file successfully. filename = <name>.
//   L<fileTitle> file size<sizeIs><size><sizeUnit>.
//   L<fileTitle> file of <size> bytes is larger than any <largestKind> (at most <max> bytes); not
//   read.
//   LAllocate memory for <bufferName> failed.
//   LRead <fileKind> file failed. Error code: 0x<code>.
//   LRead file failed, bin file length(<size>), read length(<count>).
struct InputFileTexts {
    const char* function;  // function name in the log prefix
    const char* lead;
    const char* nameTitle;
    const char* fileKind;
    const char* fileTitle;
    const char* sizeIs;
    const char* sizeUnit;
    const char* largestKind;
    const char* bufferName;
};

// Reads the whole regular file at `fileName` into *out (replaced): opened
// without blocking and checked on the open descriptor, so a FIFO or a device
// at the path (even one swapped in after any earlier check) is refused, never
// waited on; a file larger than `maxBytes` is refused unread. 0 read;
// -1 no file name; -2 the file cannot be opened or is not a regular file;
// -3 larger than maxBytes, or no memory; -4 the read fails; -5 fewer bytes
// read than the file size. Once the file is open, *size (when `size` is not
// null) gets its size; it is left alone before.
int32_t readInputFile(const char* fileName, uint64_t maxBytes, const InputFileTexts& texts,
                      std::vector<uint8_t>* out, uint64_t* size);
