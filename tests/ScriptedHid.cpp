#include "tests/ScriptedHid.h"

#include <algorithm>
#include <cstring>

#include "hid/HidInterface.h"
#include "tests/TestSupport.h"

namespace testsupport {

namespace {
ScriptedHid* active = nullptr;

uint32_t be(const Bytes& b, size_t at, size_t n) {
    uint32_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v = (v << 8) | (at + i < b.size() ? b[at + i] : 0);
    return v;
}
}  // namespace

ScriptedHid::ScriptedHid(int32_t framing) : framing_(framing) {
    active = this;
    *getHidInterface() = HidInterface{onOpen, onClose, onWrite, onRead, nullptr};
}

ScriptedHid::~ScriptedHid() {
    *getHidInterface() = HidInterface{};
    active = nullptr;
}

void ScriptedHid::answerAt(uint32_t addr, const Bytes& data, int lengthField) {
    answers_[addr].push_back(
        {0, response(data, lengthField >= 0 ? lengthField : static_cast<int>(data.size()))});
}

void ScriptedHid::failReadAt(uint32_t addr, int result) {
    answers_[addr].push_back({result, {}});
}

void ScriptedHid::setRegs(uint32_t addr, const Bytes& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i)
        regs_[addr + static_cast<uint32_t>(i)] = bytes[i];
}

Bytes ScriptedHid::response(const Bytes& data, int lengthField) const {
    const Framing& row = *framingRow(framing_);
    const size_t size = static_cast<size_t>(row.reportSize);
    const size_t lengthAt = static_cast<size_t>(row.answerLengthAt);
    const size_t dataAt = static_cast<size_t>(row.answerDataAt);
    Bytes report(size, 0);
    report[0] = 0x0E;
    report[lengthAt] = static_cast<uint8_t>(lengthField >> 8);
    report[lengthAt + 1] = static_cast<uint8_t>(lengthField);
    std::copy_n(data.begin(), std::min(data.size(), size - dataAt), report.begin() + dataAt);
    return report;
}

WireFrame ScriptedHid::frame(size_t writeIndex) const {
    const Bytes& w = writes.at(writeIndex);
    WireFrame f;
    const Framing& row = *framingRow(framing_);
    const size_t header = static_cast<size_t>(row.header);
    const size_t width = static_cast<size_t>(row.addressBytes);
    if (w.size() < 6)
        return f;
    f.op = w[5];
    f.addr = be(w, 6, width);
    f.len = static_cast<int>(be(w, 6 + width, 2));
    if (f.op == 0x00 && w.size() >= header) {
        const size_t n = std::min(static_cast<size_t>(f.len), w.size() - header);
        f.payload.assign(w.begin() + header, w.begin() + header + n);
    }
    return f;
}

std::vector<WireFrame> ScriptedHid::frames() const {
    std::vector<WireFrame> out;
    for (size_t i = 0; i < writes.size(); ++i)
        out.push_back(frame(i));
    return out;
}

std::vector<Bytes> ScriptedHid::writesTo(uint32_t addr) const {
    std::vector<Bytes> out;
    for (const WireFrame& f : frames()) {
        if (f.op == 0x00 && f.addr == addr)
            out.push_back(f.payload);
    }
    return out;
}

size_t ScriptedHid::readRequestsAt(uint32_t addr) const {
    size_t n = 0;
    for (const WireFrame& f : frames())
        n += (f.op == 0x01 && f.addr == addr) ? 1 : 0;
    return n;
}

size_t ScriptedHid::count(const std::string& event) const {
    return static_cast<size_t>(std::count(events.begin(), events.end(), event));
}

int ScriptedHid::onOpen(void*) {
    active->events.push_back("open");
    if (active->openResults.empty())
        return 0;
    const int r = active->openResults.front();
    active->openResults.pop_front();
    return r;
}

int ScriptedHid::onClose(void*) {
    active->events.push_back("close");
    return active->closeResult;
}

int ScriptedHid::onWrite(uint8_t* buffer, int length, void*) {
    return active->write(buffer, length);
}

int ScriptedHid::onRead(uint8_t* buffer, int length, void*) {
    return active->read(buffer, length);
}

int ScriptedHid::write(const uint8_t* buffer, int length) {
    const size_t index = writes.size();
    events.push_back("write");
    writes.emplace_back(buffer, buffer + length);
    auto failure = writeFailures_.find(index);
    if (failure != writeFailures_.end())
        return failure->second;
    const WireFrame f = frame(index);
    auto byAddr = failingAddrs_.find(f.addr);
    if (byAddr != failingAddrs_.end() && (f.op == 0x00 || f.op == 0x01))
        return byAddr->second;
    if (f.op == 0x00 && onRegisterWrite)
        onRegisterWrite(f);
    return 0;
}

int ScriptedHid::read(uint8_t* buffer, int length) {
    events.push_back("read");
    readLengths.push_back(length);
    Reply reply;
    if (!raw_.empty()) {
        reply = raw_.front();
        raw_.pop_front();
    } else {
        const WireFrame request = writes.empty() ? WireFrame{} : frame(writes.size() - 1);
        auto queued = answers_.find(request.addr);
        if (queued != answers_.end() && !queued->second.empty()) {
            reply = queued->second.front();
            queued->second.pop_front();
        } else {
            Bytes data(static_cast<size_t>(request.len), 0);
            for (int i = 0; i < request.len; ++i) {
                auto reg = regs_.find(request.addr + static_cast<uint32_t>(i));
                if (reg != regs_.end())
                    data[static_cast<size_t>(i)] = reg->second;
            }
            reply.report = response(data, request.len);
        }
    }
    if (reply.result != 0)
        return reply.result;
    std::memset(buffer, 0, static_cast<size_t>(length));
    std::memcpy(buffer, reply.report.data(),
                std::min(static_cast<size_t>(length), reply.report.size()));
    return 0;
}

std::vector<std::string> logLines() {
    std::vector<std::string> out;
    for (const std::string& line : capturedLog()) {
        std::string copy = line;
        const size_t open = copy.find('<');
        const size_t close = copy.find("> ", open == std::string::npos ? 0 : open);
        if (open != std::string::npos && close != std::string::npos) {
            const size_t colon = copy.rfind(':', close);
            if (colon != std::string::npos && colon > open)
                copy.erase(colon, close - colon);
        }
        out.push_back(copy);
    }
    return out;
}

size_t countLine(const std::string& line) {
    const std::vector<std::string> lines = logLines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

}  // namespace testsupport
