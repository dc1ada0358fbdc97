// RegularFileReader: the stream and its buffer; opening and reading are the
// platform's (sys/FilesPlatform.h).
#include "sys/Files.h"
#include "sys/FilesPlatform.h"

namespace {

// Bytes read from the file at a time.
constexpr size_t kReadBuffer = 64 * 1024;

}  // namespace

RegularFileReader::~RegularFileReader() {
    close();
}

bool RegularFileReader::open(const std::string& path) {
    close();
    path_ = path;
    error_.clear();
    stream_.clear();
    std::string why;
    handle_ = fileplatform::openForReading(path, &why);
    if (handle_ == fileplatform::kNoHandle) {
        error_ = "cannot open " + path + ": " + why;
        stream_.setstate(std::ios::badbit);
        return false;
    }
    return true;
}

void RegularFileReader::close() {
    fileplatform::closeQuietly(handle_);
}

RegularFileReader::Buffer::int_type RegularFileReader::Buffer::underflow() {
    if (gptr() < egptr())
        return traits_type::to_int_type(*gptr());
    if (file_.handle_ == fileplatform::kNoHandle)
        return traits_type::eof();
    area_.resize(kReadBuffer);
    uint32_t osError = 0;
    const long n = fileplatform::readSome(file_.handle_, area_.data(), area_.size(), &osError);
    if (n <= 0) {
        if (n < 0)
            file_.error_ = "cannot read " + file_.path_ + ": " + fileErrorText(osError);
        file_.close();
        return traits_type::eof();
    }
    setg(area_.data(), area_.data(), area_.data() + n);
    return traits_type::to_int_type(*gptr());
}
