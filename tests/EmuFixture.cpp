#include "tests/EmuFixture.h"

#include "tlc/TlcConnection.h"

namespace emutest {

namespace {

void putBe32(Bytes& r, size_t at, uint32_t v) {
    r[at] = static_cast<uint8_t>(v >> 24);
    r[at + 1] = static_cast<uint8_t>(v >> 16);
    r[at + 2] = static_cast<uint8_t>(v >> 8);
    r[at + 3] = static_cast<uint8_t>(v);
}

void putBe16(Bytes& r, size_t at, uint32_t v) {
    r[at] = static_cast<uint8_t>(v >> 8);
    r[at + 1] = static_cast<uint8_t>(v);
}

}  // namespace

Bytes v1Write(uint32_t addr, const Bytes& payload, uint8_t more, uint8_t seq) {
    Bytes r(65, 0);
    r[0] = 0x0E;
    r[1] = 0x20;
    r[2] = more;
    r[3] = seq;
    r[4] = static_cast<uint8_t>(5 + payload.size());
    r[5] = 0x00;
    putBe16(r, 6, addr & 0xFFFF);
    putBe16(r, 8, static_cast<uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), r.begin() + 10);
    return r;
}

Bytes v1Read(uint32_t addr, uint32_t len) {
    Bytes r(65, 0);
    r[0] = 0x0E;
    r[1] = 0x20;
    r[4] = 0x05;
    r[5] = 0x01;
    putBe16(r, 6, addr & 0xFFFF);
    putBe16(r, 8, len);
    return r;
}

Bytes v2Write(uint32_t addr, const Bytes& payload, uint8_t more, uint8_t seq) {
    Bytes r(65, 0);
    r[0] = 0x0E;
    r[1] = 0x20;
    r[2] = more;
    r[3] = seq;
    r[4] = static_cast<uint8_t>(7 + payload.size());
    r[5] = 0x00;
    putBe32(r, 6, addr);
    putBe16(r, 10, static_cast<uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), r.begin() + 12);
    return r;
}

Bytes v2Read(uint32_t addr, uint32_t len) {
    Bytes r(65, 0);
    r[0] = 0x0E;
    r[1] = 0x20;
    r[4] = 0x07;
    r[5] = 0x01;
    putBe32(r, 6, addr);
    putBe16(r, 10, len);
    return r;
}

Bytes v3Write(uint32_t addr, const Bytes& payload) {
    Bytes r(268, 0);
    r[0] = 0x0E;
    r[1] = 0x20;
    putBe32(r, 6, addr);
    putBe16(r, 10, static_cast<uint32_t>(payload.size()));
    std::copy(payload.begin(), payload.end(), r.begin() + 12);
    return r;
}

Bytes v3Read(uint32_t addr, uint32_t len) {
    Bytes r(268, 0);
    r[0] = 0x0E;
    r[1] = 0x20;
    r[5] = 0x01;
    putBe32(r, 6, addr);
    putBe16(r, 10, len);
    return r;
}

Bytes rawReport(const Bytes& bytes, size_t size) {
    Bytes r(size, 0);
    std::copy(bytes.begin(), bytes.end(), r.begin());
    return r;
}

Bytes rawCommand(uint8_t sub, size_t size) {
    return rawReport({0x0E, sub, 0x00, 0x00, 0x01, 0x01}, size);
}

Bytes flashCommand(int32_t type, uint32_t len, uint32_t addr, uint32_t checksum, size_t size) {
    Bytes r;
    if (isFjordFamily(type)) {
        r = {0x0E, 0x12, 0x00, 0x00, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        putBe16(r, 5, len);
        putBe32(r, 7, addr);
        putBe32(r, 11, checksum);
    } else {
        r = {0x0E, 0x12, 0x00, 0x00, 0x06, 0, 0, 0, 0, 0, 0};
        putBe16(r, 5, len);
        r[7] = static_cast<uint8_t>(addr >> 16);
        r[8] = static_cast<uint8_t>(addr >> 8);
        putBe16(r, 9, checksum);
    }
    return rawReport(r, size);
}

uint32_t blockChecksum(int32_t type, const Bytes& data) {
    uint32_t sum = 0;
    for (size_t i = 0; i < data.size(); i += 2) {
        const uint32_t first = data[i];
        const uint32_t second = i + 1 < data.size() ? data[i + 1] : 0;
        sum += isFjordFamily(type) ? (first | (second << 8)) : ((first << 8) | second);
    }
    return isFjordFamily(type) ? sum : (sum & 0xFFFF);
}

Bytes fjordCmd(uint8_t code) {
    return {0x00, 0x00, 0x04, code, static_cast<uint8_t>(0x04 + code), 0x00};
}

Bytes cmd5410(uint8_t code) {
    return {code, 0x00, static_cast<uint8_t>(0x100 - code)};
}

Bytes cmd5415R(uint8_t code) {
    return {code, 0x00, 0x00, 0x00, code};
}

Wire::Wire(emu::EmulatedSystem& sys) : sys_(sys) {
    const auto& ifaces = sys.host().interfaces();
    uint32_t err = 0;
    handle_ = sys.host().open(ifaces[sys.host().chipIndex()].info, &err);
    EXPECT_NE(handle_, kInvalidHidHandle) << "open failed with " << err;
}

Wire::~Wire() {
    if (handle_ != kInvalidHidHandle)
        sys_.host().close(handle_);
}

bool Wire::send(const Bytes& report, uint32_t* osError) {
    uint32_t err = 0;
    const bool ok = sys_.chip().path() == emu::ReportPath::standard
                        ? sys_.host().setOutputReport(handle_, report.data(), report.size(), &err)
                        : sys_.host().writeReport(handle_, report.data(), report.size(), &err);
    if (osError)
        *osError = err;
    return ok;
}

HidReadResult Wire::receive(Bytes* report, uint32_t* osError) {
    uint32_t err = 0;
    HidReadResult result;
    if (sys_.chip().path() == emu::ReportPath::standard) {
        report->assign(65, 0);
        (*report)[0] = 0x0E;
        result = sys_.host().getInputReport(handle_, report->data(), report->size(), &err)
                     ? HidReadResult::ok
                     : HidReadResult::failed;
    } else {
        report->assign(268, 0);
        size_t received = 0;
        result = sys_.host().readReport(handle_, 0x0E, report->data(), report->size(), 100,
                                        &received, &err);
    }
    if (osError)
        *osError = err;
    return result;
}

bool Wire::rawRead(uint32_t addr, uint32_t len, uint32_t* lengthField, Bytes* data) {
    const int32_t framing = sys_.chip().profile().protoType;
    const Bytes request = framing == kTlcFramingV1   ? v1Read(addr, len)
                          : framing == kTlcFramingV2 ? v2Read(addr, len)
                                                     : v3Read(addr, len);
    if (!send(request))
        return false;
    Bytes answer;
    if (receive(&answer) != HidReadResult::ok)
        return false;
    const size_t lenAt = static_cast<size_t>(framingRow(framing)->answerLengthAt);
    const size_t dataAt = static_cast<size_t>(framingRow(framing)->answerDataAt);
    *lengthField = (static_cast<uint32_t>(answer[lenAt]) << 8) | answer[lenAt + 1];
    data->assign(answer.begin() + static_cast<std::ptrdiff_t>(dataAt),
                 answer.begin() + static_cast<std::ptrdiff_t>(dataAt + len));
    return true;
}

Bytes Wire::read(uint32_t addr, size_t len) {
    const size_t chunk =
        static_cast<size_t>(framingRow(sys_.chip().profile().protoType)->readChunk);
    Bytes out;
    for (size_t done = 0; done < len; done += chunk) {
        const uint32_t n = static_cast<uint32_t>(std::min(chunk, len - done));
        uint32_t lengthField = 0;
        Bytes data;
        const bool ok = rawRead(addr + static_cast<uint32_t>(done), n, &lengthField, &data);
        EXPECT_TRUE(ok) << "read at 0x" << std::hex << addr + done;
        EXPECT_EQ(lengthField, n);
        if (!ok)
            return out;
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

bool Wire::write(uint32_t addr, const Bytes& data) {
    const int32_t framing = sys_.chip().profile().protoType;
    const size_t payload = static_cast<size_t>(framingRow(framing)->writePayload);
    uint8_t seq = 0;
    for (size_t sent = 0; sent < data.size(); sent += payload) {
        const size_t n = std::min(payload, data.size() - sent);
        const Bytes part(data.begin() + static_cast<std::ptrdiff_t>(sent),
                         data.begin() + static_cast<std::ptrdiff_t>(sent + n));
        const uint8_t more = sent + n < data.size() ? 1 : 0;
        const uint32_t at = addr + static_cast<uint32_t>(sent);
        const Bytes frame = framing == kTlcFramingV1   ? v1Write(at, part, more, seq)
                            : framing == kTlcFramingV2 ? v2Write(at, part, more, seq)
                                                       : v3Write(at, part);
        if (!send(frame))
            return false;
        ++seq;
    }
    return true;
}

}  // namespace emutest

emu::EmulatedSystem& EmuFixture::startEmu(int32_t type, emu::SystemOptions options) {
    sys_.reset();
    sys_ = std::make_unique<emu::EmulatedSystem>(type, options);
    return *sys_;
}

void EmuFixture::TearDown() {
    if (sys_) {
        const std::vector<std::string> errors = sys_->protocolErrors();
        if (!errors.empty()) {
            std::string text;
            for (const std::string& e : errors)
                text += "  " + e + "\n";
            const std::vector<std::string> lines = sys_->chip().transcript().lines();
            const size_t from = lines.size() > 40 ? lines.size() - 40 : 0;
            std::string tail;
            for (size_t i = from; i < lines.size(); ++i)
                tail += "  " + lines[i] + "\n";
            ADD_FAILURE() << "the emulated chip noticed protocol errors:\n"
                          << text << "transcript (end):\n"
                          << tail;
        }
        sys_.reset();
    }
    ProcessFixture::TearDown();
}

void EmuFixture::expectProtocolErrors(const std::vector<std::string>& texts) {
    const std::vector<std::string> errors = sys_->protocolErrors();
    EXPECT_EQ(errors.size(), texts.size());
    for (size_t i = 0; i < texts.size() && i < errors.size(); ++i) {
        EXPECT_NE(errors[i].find(texts[i]), std::string::npos)
            << "error " << i << " is \"" << errors[i] << "\", expected it to contain \"" << texts[i]
            << "\"";
    }
    sys_->chip().clearProtocolErrors();
    if (sys_->twin())
        sys_->twin()->clearProtocolErrors();
}
