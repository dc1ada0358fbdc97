#if defined(_WIN32)

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "sys/Files.h"
#include "tests/TestSupport.h"

namespace {

using testsupport::TempDir;

TEST(FilesWinTest, ReadsOnlyRegularFilesWithinTheBound) {
    TempDir dir;
    const std::string file = dir.file("image.bin");
    testsupport::writeFile(file, std::string("\x01\x02\x03\x00\x05", 5));
    const std::string pipeName =
        "\\\\.\\pipe\\touchfw-files-test-" + std::to_string(::GetCurrentProcessId());
    const HANDLE pipe = ::CreateNamedPipeA(pipeName.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1,
                                           512, 512, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);

    const struct {
        std::string path;
        uint64_t maxBytes;
        FileReadError result;
        uint64_t size;
    } cases[] = {
        {file, 5, FileReadError::none, 5},
        {file, 4, FileReadError::tooLarge, 5},
        {dir.file("missing.bin"), 100, FileReadError::openFailed, 0},
        {dir.path(), 100, FileReadError::notRegular, 0},
        {pipeName, 100, FileReadError::notRegular, 0},
        {"NUL", 100, FileReadError::notRegular, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::vector<uint8_t> out = {0xEE};
        uint64_t size = 99;
        uint32_t osError = 0;
        EXPECT_EQ(readRegularFile(c.path.c_str(), c.maxBytes, &out, &size, &osError), c.result);
        EXPECT_EQ(size, c.size);
        if (c.result == FileReadError::none) {
            EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 0, 5}));
            EXPECT_EQ(osError, 0u);
        } else {
            EXPECT_EQ(out, std::vector<uint8_t>{0xEE});
            EXPECT_NE(osError, 0u);
        }
    }
    ::CloseHandle(pipe);
}

TEST(FilesWinTest, AppendCreatesAppendsAndStartsAnewAboveTheLimit) {
    TempDir dir;
    const std::string log = dir.file("FirmwareUpdate_App.log");
    ASSERT_TRUE(appendRegularFile(log.c_str(), "one\n", 4, 10));
    ASSERT_TRUE(appendRegularFile(log.c_str(), "two\n", 4, 10));
    EXPECT_EQ(testsupport::readFile(log), "one\ntwo\n");
    ASSERT_TRUE(appendRegularFile(log.c_str(), "three\n", 6, 10));
    EXPECT_EQ(testsupport::readFile(log), "one\ntwo\nthree\n");  // 8 bytes were not above 10
    ASSERT_TRUE(appendRegularFile(log.c_str(), "four\n", 5, 10));
    EXPECT_EQ(testsupport::readFile(log), "four\n");
    // A folder, or a missing folder, takes no line.
    EXPECT_FALSE(appendRegularFile(dir.path().c_str(), "x\n", 2, 10));
    EXPECT_FALSE(appendRegularFile(dir.file("no/such.log").c_str(), "x\n", 2, 10));
}

}  // namespace

#endif  // _WIN32
