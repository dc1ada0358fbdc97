#include "emu/FrameDecoder.h"

#include <algorithm>

#include "emu/Transcript.h"
#include "sys/Bytes.h"

namespace emu {

namespace {

constexpr uint8_t kOpWrite = 0x00;
constexpr uint8_t kOpRead = 0x01;

}  // namespace

FrameDecoder::Header FrameDecoder::header(const uint8_t* r) const {
    Header h;
    h.size = static_cast<size_t>(row_->header);
    h.addr = row_->addressBytes == 2 ? readBe16(r + 6) : readBe32(r + 6);
    h.len = readBe16(r + 6 + row_->addressBytes);
    return h;
}

size_t FrameDecoder::maxWrite() const {
    return static_cast<size_t>(row_->writePayload);
}

std::string FrameDecoder::describe(const uint8_t* r, size_t length) const {
    const Header h = header(r);
    if (r[5] == kOpRead)
        return formatText("read 0x%08X len %u", h.addr, h.len);
    if (r[5] != kOpWrite)
        return formatText("register frame with operation 0x%02X", r[5]);
    const size_t shown = std::min<size_t>(h.len, length - h.size);
    std::string text =
        formatText("write 0x%08X +%u: ", h.addr, h.len) + hexBytes(r + h.size, shown);
    if (!row_->wholeReports && (r[2] != 0 || r[3] != 0))
        text += formatText(" [seq %u%s]", r[3], r[2] ? ", more" : "");
    return text;
}

bool FrameDecoder::checkCounts(const uint8_t* r, const RegisterFrame& f, std::string* error) const {
    const uint8_t count = r[4];
    if (row_->wholeReports) {
        if (f.more == 0 && f.seq == 0 && count == 0)
            return true;
        *error = formatText("bytes 2 to 4 of a 268-byte frame are %02X %02X %02X (expected 0)",
                            f.more, f.seq, count);
        return false;
    }
    const size_t fields = header(r).size - 5;
    const size_t expectedCount = f.isRead ? fields : f.len + fields;
    if (count != expectedCount) {
        *error = formatText("count byte 0x%02X does not match the %s (expected 0x%02zX)", count,
                            f.isRead ? "read request" : "payload", expectedCount);
    } else if (f.isRead && (f.more != 0 || f.seq != 0)) {
        *error = formatText("read request with more-follows %u and sequence %u", f.more, f.seq);
    } else if (!f.isRead && f.more > 1) {
        *error = formatText("more-follows flag 0x%02X", f.more);
    } else if (!f.isRead && f.more == 1 && f.len != maxWrite()) {
        *error = formatText("a report followed by more carries %u bytes (expected %zu)", f.len,
                            maxWrite());
    } else {
        return true;
    }
    return false;
}

bool FrameDecoder::parse(const uint8_t* r, size_t length, RegisterFrame* frame,
                         std::string* error) const {
    if (row_ == nullptr) {
        *error = "register frame for a chip without framing";
        return false;
    }
    const Header h = header(r);
    const uint8_t op = r[5];
    if (op != kOpWrite && op != kOpRead) {
        *error = formatText("unknown register operation 0x%02X", op);
        return false;
    }
    RegisterFrame f;
    f.isRead = op == kOpRead;
    f.addr = h.addr;
    f.len = h.len;
    f.more = r[2];
    f.seq = r[3];
    f.payload = r + h.size;
    const size_t maxLen = f.isRead ? static_cast<size_t>(row_->readChunk) : maxWrite();
    if (f.len == 0 || f.len > maxLen) {
        *error = formatText("%s of %u bytes at 0x%X (allowed 1 to %zu)",
                            f.isRead ? "read request" : "write", f.len, f.addr, maxLen);
        return false;
    }
    if (!checkCounts(r, f, error))
        return false;
    // Past the frame the standard path carries zeros; a 268-byte write may
    // carry leftovers of an earlier report, which the chip ignores.
    if (f.isRead || !row_->wholeReports) {
        for (size_t i = f.isRead ? h.size : h.size + f.len; i < length; ++i) {
            if (r[i] != 0) {
                *error =
                    formatText("byte 0x%02X at offset %zu after the end of the frame", r[i], i);
                return false;
            }
        }
    }
    *frame = f;
    return true;
}

std::string FrameDecoder::abandon() {
    std::string note;
    if (active_) {
        note = formatText("unfinished write from 0x%X abandoned after %zu bytes", start_,
                          data_.size());
    }
    *this = FrameDecoder(row_);
    return note;
}

WriteStep FrameDecoder::refuse(std::string text) {
    *this = FrameDecoder(row_);
    discarding_ = true;
    WriteStep step;
    step.kind = WriteStep::Kind::refused;
    step.text = std::move(text);
    return step;
}

WriteStep FrameDecoder::addWrite(const RegisterFrame& f) {
    WriteStep step;
    const uint8_t* end = f.payload + f.len;
    if (row_->wholeReports) {
        step.abandoned = abandon();
        step.kind = WriteStep::Kind::complete;
        step.start = f.addr;
        step.data.assign(f.payload, end);
        return step;
    }
    const bool continuesWrap = f.seq == 0 && active_ && nextSeq_ == 0 && f.addr == next_;
    if (f.seq == 0 && !continuesWrap) {
        step.abandoned = abandon();
        active_ = true;
        start_ = f.addr;
        next_ = f.addr;
    } else if (!active_) {
        if (discarding_) {
            step.kind = WriteStep::Kind::discarded;
            step.text = "continuation of a refused write discarded";
            return step;
        }
        return refuse(formatText("continuation report (sequence %u) at 0x%X without a first report",
                                 f.seq, f.addr));
    } else if (f.seq != nextSeq_) {
        return refuse(formatText("sequence gap in the write from 0x%X: expected %u, got %u", start_,
                                 nextSeq_, f.seq));
    } else if (f.addr != next_) {
        return refuse(formatText("continuation report at 0x%X, expected 0x%X", f.addr, next_));
    }
    data_.insert(data_.end(), f.payload, end);
    next_ = row_->wireAddress(f.addr + f.len);
    nextSeq_ = static_cast<uint8_t>(nextSeq_ + 1);
    if (f.more == 0) {
        step.kind = WriteStep::Kind::complete;
        step.start = start_;
        step.data = std::move(data_);
        *this = FrameDecoder(row_);
    }
    return step;
}

}  // namespace emu
