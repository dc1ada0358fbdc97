#if defined(_WIN32)

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "sys/Files.h"
#include "tests/TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(FilesWinTest, ReadsOnlyRegularFilesWithinTheBound) {
    testsupport::TempDir dir;
    const std::string file = dir.file("image.bin");
    testsupport::writeFile(file, std::string("\x01\x02\x03\x00\x05", 5));
    const std::string pipe = "\\\\.\\pipe\\touchfw-test-" + std::to_string(::GetCurrentProcessId());
    const HANDLE server = ::CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, 0, 1, 64, 64, 0, 0);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    const struct {
        std::string path;
        uint64_t maxBytes;
        FileReadError result;
        uint64_t size;
    } cases[] = {{file, 5, FileReadError::none, 5},
                 {file, 4, FileReadError::tooLarge, 5},
                 {dir.file("missing.bin"), 9, FileReadError::openFailed, 0},
                 {dir.path(), 9, FileReadError::notRegular, 0},
                 {pipe, 9, FileReadError::notRegular, 0},
                 {"NUL", 9, FileReadError::notRegular, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Bytes out = {0xEE};
        uint64_t size = 99;
        uint32_t osError = 0;
        EXPECT_EQ(readRegularFile(c.path.c_str(), c.maxBytes, &out, &size, &osError), c.result);
        EXPECT_EQ(size, c.size);
        const bool ok = c.result == FileReadError::none;
        EXPECT_EQ(out, (ok ? Bytes{1, 2, 3, 0, 5} : Bytes{0xEE}));
        EXPECT_EQ(osError != 0, !ok);
    }
    ::CloseHandle(server);
}

TEST(FilesWinTest, AppendCreatesAppendsAndStartsAnewAboveTheLimit) {
    testsupport::TempDir dir;
    const std::string log = dir.file("FirmwareUpdate_App.log");
    const char* lines[] = {"one\n", "two\n", "three\n", "four\n"};
    const char* after[] = {"one\n", "one\ntwo\n", "one\ntwo\nthree\n", "four\n"};
    for (int i = 0; i < 4; ++i) {  // the file restarts once it holds more than 10 bytes
        ASSERT_TRUE(appendRegularFile(log.c_str(), lines[i], std::strlen(lines[i]), 10));
        EXPECT_EQ(testsupport::readFile(log), after[i]);
    }
    EXPECT_FALSE(appendRegularFile(dir.path().c_str(), "x\n", 2, 10));  // a folder
    EXPECT_FALSE(appendRegularFile(dir.file("no/such.log").c_str(), "x\n", 2, 10));
}

}  // namespace

#endif  // _WIN32
