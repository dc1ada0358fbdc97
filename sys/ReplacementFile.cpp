// ReplacementFile: the buffering and the temporary file's name and lifetime;
// the system calls are the platform's (sys/FilesPlatform.h).
#include "sys/Files.h"
#include "sys/FilesPlatform.h"

namespace {

// Bytes gathered before one write reaches the system.
constexpr size_t kWriteBuffer = 64 * 1024;
// Names tried for the temporary file while the names are taken by others.
constexpr int kTempNameAttempts = 100;

unsigned long tempCounter = 0;

}  // namespace

ReplacementFile::ReplacementFile(std::string path) : path_(std::move(path)) {}

ReplacementFile::~ReplacementFile() {
    discard();
}

bool ReplacementFile::open() {
    discard();
    failed_ = false;
    error_.clear();
    stream_.clear();
    uint32_t osError = 0;
    bool nameTaken = true;
    for (int attempt = 0; attempt < kTempNameAttempts && nameTaken; ++attempt) {
        // Beside the target, so that the rename stays within one file system.
        const std::string temp = path_ + ".tmp-" + std::to_string(fileplatform::processId()) + "-" +
                                 std::to_string(++tempCounter);
        handle_ = fileplatform::createNew(temp, &nameTaken, &osError);
        if (handle_ != fileplatform::kNoHandle) {
            temp_ = temp;
            streamBuffer_.start();
            return true;
        }
    }
    return fail("cannot create a file beside", osError);
}

bool ReplacementFile::write(const void* data, size_t length) {
    if (failed_ || handle_ == fileplatform::kNoHandle)
        return false;
    stream_.write(static_cast<const char*>(data), static_cast<std::streamsize>(length));
    return !failed_;
}

bool ReplacementFile::writeOut(const char* data, size_t length) {
    uint32_t osError = 0;
    if (failed_ || handle_ == fileplatform::kNoHandle)
        return false;
    return fileplatform::writeWhole(handle_, data, length, &osError) ||
           fail("cannot write", osError);
}

bool ReplacementFile::commit() {
    if (failed_ || handle_ == fileplatform::kNoHandle)
        return false;
    stream_.flush();
    if (failed_)
        return false;
    uint32_t osError = 0;
    const intptr_t handle = handle_;
    handle_ = fileplatform::kNoHandle;
    const bool synced = fileplatform::syncHandle(handle, &osError);
    uint32_t closeError = 0;
    const bool closed = fileplatform::closeHandle(handle, &closeError);
    if (!synced || !closed)
        return fail("cannot write", synced ? closeError : osError);
    if (!fileplatform::replacePath(temp_, path_, &osError))
        return fail("cannot replace", osError);
    temp_.clear();
    return true;
}

bool ReplacementFile::fail(const char* what, uint32_t osError) {
    if (!failed_)
        error_ = std::string(what) + " " + path_ + ": " + fileErrorText(osError);
    failed_ = true;
    stream_.setstate(std::ios::badbit);
    discard();
    return false;
}

void ReplacementFile::discard() {
    fileplatform::closeQuietly(handle_);
    if (!temp_.empty())
        fileplatform::removePath(temp_);
    temp_.clear();
    streamBuffer_.stop();
}

void ReplacementFile::Buffer::start() {
    area_.resize(kWriteBuffer);
    setp(area_.data(), area_.data() + area_.size());
}

void ReplacementFile::Buffer::stop() {
    setp(nullptr, nullptr);
    std::vector<char>().swap(area_);
}

bool ReplacementFile::Buffer::drain() {
    const size_t n = static_cast<size_t>(pptr() - pbase());
    if (n > 0 && !file_.writeOut(pbase(), n))
        return false;
    setp(area_.data(), area_.data() + area_.size());
    return !area_.empty();
}

ReplacementFile::Buffer::int_type ReplacementFile::Buffer::overflow(int_type c) {
    if (!drain())
        return traits_type::eof();
    if (traits_type::eq_int_type(c, traits_type::eof()))
        return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

int ReplacementFile::Buffer::sync() {
    return drain() ? 0 : -1;
}
