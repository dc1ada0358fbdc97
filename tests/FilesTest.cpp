// The whole-file reads of the image and configuration loaders and the log's
// appends, against a path swapped for a FIFO right before the open and
// against files far larger than any valid one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "fw/FwImage.h"
#include "sys/Files.h"
#include "tests/TestSupport.h"

namespace {

std::string swapPath;  // the path the open below finds replaced by a FIFO
int fifoReader = -1;   // a reader of that FIFO, so that opening it to write succeeds

// Does what a racing process could do between any check and the open.
int openAfterSwapToFifo(const char* path, int flags, unsigned mode) {
    if (path == swapPath) {
        unlink(path);
        mkfifo(path, 0600);
        fifoReader = ::open(path, O_RDONLY | O_NONBLOCK);
    }
    if ((flags & O_NONBLOCK) == 0) {
        ADD_FAILURE() << "a blocking open of a FIFO waits for its other end";
        errno = EAGAIN;
        return -1;
    }
    return ::open(path, flags, static_cast<mode_t>(mode));
}

struct Loader {
    const char* name;
    int32_t (*load)(const char*);
    uint64_t bound;
    const char* openFailed;
    const char* tooLarge;
};

const Loader kLoaders[] = {
    {"image", [](const char* p) { return createFwImage(CHIP_FJORDK)->load(p); }, kFwImageMaxBytes,
     "Open firmware file failed. filename = ", "larger than any firmware image"},
    {"configuration", [](const char* p) { return createCfgImage(CHIP_FJORDK)->load(p); },
     kCfgFileMaxBytes, "Open cfg file failed. filename = ", "larger than any configuration file"},
};

class FilesTest : public testsupport::ProcessFixture {
  protected:
    void TearDown() override {
        setFileOpenCall(nullptr);
        ProcessFixture::TearDown();
    }
    testsupport::TempDir dir_;
};

// Each loader: a path swapped for a FIFO is refused at once; a file above
// the bound is refused unread (at the bound it is read, then refused for the
// zero bytes it holds).
TEST_F(FilesTest, LoadersRefuseAFifoSwappedInAndFilesAboveTheBound) {
    swapPath = dir_.file("input");
    const std::string huge = dir_.file("huge");
    for (const Loader& l : kLoaders) {
        SCOPED_TRACE(l.name);
        unlink(swapPath.c_str());
        testsupport::writeFile(swapPath, "0x01, 0x02");  // a regular file until the open
        setFileOpenCall(openAfterSwapToFifo);
        log_->clear();
        EXPECT_EQ(l.load(swapPath.c_str()), -2);
        EXPECT_TRUE(log_->contains(l.openFailed));
        ::close(fifoReader);
        for (const uint64_t size : {uint64_t{1} << 30, l.bound + 1, l.bound}) {
            SCOPED_TRACE(std::to_string(size) + " bytes");
            testsupport::writeFile(huge, "");
            ASSERT_EQ(truncate(huge.c_str(), static_cast<off_t>(size)), 0);  // sparse
            log_->clear();
            EXPECT_EQ(l.load(huge.c_str()), size > l.bound ? -3 : -6);
            EXPECT_EQ(log_->contains(l.tooLarge), size > l.bound);
        }
    }
    // A log line is not written into the FIFO, though its reader is there.
    unlink(swapPath.c_str());
    testsupport::writeFile(swapPath, "");
    EXPECT_FALSE(appendRegularFile(swapPath.c_str(), "line\n", 5, 1000));
    char byte;
    EXPECT_LE(::read(fifoReader, &byte, 1), 0);
    ::close(fifoReader);
}

}  // namespace
