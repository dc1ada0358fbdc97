#include "fuzz/DeviceSession.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "chip/CfgBlock.h"
#include "chip/ChipProfile.h"
#include "fw/FwImage.h"
#include "fw/FwImageBuilder.h"
#include "fw/FwUpdate.h"
#include "hid/HidInterface.h"
#include "ops/PropertyQuery.h"
#include "ops/RegisterAccess.h"
#include "ops/ReportControl.h"
#include "ops/TouchData.h"
#include "tlc/TlcConnection.h"

namespace fuzz {

namespace {

constexpr size_t kMaxReads = 4;
constexpr int32_t kReadLengthMask = 0x7FF;
// The framing a plan byte of 4 selects: one the connection does not know.
constexpr int32_t kUnknownFraming = 99;

int32_t framingFrom(uint8_t b) {
    switch (b % 8) {
        case 1:
            return kTlcFramingV1;
        case 2:
            return kTlcFramingV2;
        case 3:
            return kTlcFramingV3;
        case 4:
            return kUnknownFraming;
        default:
            return 0;
    }
}

// The sample image of the chip's family and a 64-byte configuration,
// flashed with version checks off.
void runFirmwareUpdate() {
    std::unique_ptr<FwImage> image = createFwImage(chipType);
    FUZZ_CHECK(image != nullptr);
    const std::vector<uint8_t> file = sampleImage(chipType);
    const std::string path = writeScratchFile("update", file.data(), file.size());
    FUZZ_CHECK(image->load(path.c_str()) == 0);
    std::vector<uint8_t> cfg(64, 0x11);
    fwUpdateHelper(*image, true, 0x0C, cfg.data(), static_cast<uint32_t>(cfg.size()));
}

uint32_t be(const std::vector<uint8_t>& bytes, size_t at, size_t width) {
    uint32_t value = 0;
    for (size_t i = 0; i < width; ++i)
        value = (value << 8) | bytes[at + i];
    return value;
}

// A successful register read of `len` bytes at `addr` in `framing` must have
// taken one answer per chunk, in order, each asked for at its own address,
// and copied each answer's data bytes to its place in `buffer`.
void checkRead(int32_t framing, uint32_t addr, const uint8_t* buffer, int32_t len) {
    const Framing& row = *framingRow(framing);
    const int32_t chunk = row.readChunk;
    const size_t headerSize = static_cast<size_t>(row.header);
    const size_t dataAt = static_cast<size_t>(row.answerDataAt);
    const std::vector<Delivery>& got = deliveries();
    FUZZ_CHECK(got.size() == static_cast<size_t>((len + chunk - 1) / chunk));
    for (int32_t done = 0, k = 0; done < len; done += chunk, ++k) {
        const int32_t n = len - done < chunk ? len - done : chunk;
        const Delivery& d = got[static_cast<size_t>(k)];
        FUZZ_CHECK(d.request.size() >= headerSize && d.request[5] == 0x01);
        const uint32_t at = addr + static_cast<uint32_t>(done);
        const size_t width = static_cast<size_t>(row.addressBytes);
        FUZZ_CHECK(be(d.request, 6, width) == row.wireAddress(at));
        FUZZ_CHECK(be(d.request, 6 + width, 2) == static_cast<uint32_t>(n));
        FUZZ_CHECK(d.report.size() >= dataAt + static_cast<size_t>(n));
        FUZZ_CHECK(std::memcmp(buffer + done, d.report.data() + dataAt, static_cast<size_t>(n)) ==
                   0);
    }
}

}  // namespace

const char* familyName(int32_t type) {
    const ChipFamily* family = chipFamily(type);
    return family ? family->name : "";
}

std::vector<uint8_t> sampleImage(int32_t type) {
    const FwImageLayout* layout = fwImageLayout(type);
    FUZZ_CHECK(layout != nullptr);
    const uint8_t vid[4] = {0x09, 0x08, 0x07, 0x06};
    std::vector<FwSubFirmware> subs(2);
    subs[0].type = 2;
    subs[0].data = fwIdentityBlock("FUZZ", vid);
    subs[0].data.resize(40, 0x5A);
    subs[1].type = 3;
    subs[1].addr = 0x10000;
    subs[1].data = fwGeneratedData(1, 3, subs[1].addr, 70);
    std::vector<uint8_t> file;
    std::string error;
    FUZZ_CHECK(buildFwImage(*layout, "FUZZ", vid, subs, file, error));
    return file;
}

namespace {

// 64 bytes as configuration text, 16 a line.
void writeCfgText(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "w");
    FUZZ_CHECK(file != nullptr);
    for (size_t i = 0; i < bytes.size(); ++i)
        std::fprintf(file, "0x%02X,%s", bytes[i], i % 16 == 15 ? "\n" : " ");
    std::fclose(file);
}

}  // namespace

void writeSampleFiles(const std::string& dir) {
    std::vector<uint8_t> cfg(64);
    for (size_t i = 0; i < cfg.size(); ++i)
        cfg[i] = static_cast<uint8_t>(i * 7 + 3);
    writeCfgText(dir + "/cfg.cfg", cfg);
    for (int32_t type = CHIP_5410; type <= CHIP_FJORDK4; ++type) {
        const std::vector<uint8_t> image = sampleImage(type);
        const std::string path = dir + "/fw-" + familyName(type) + ".bin";
        std::FILE* file = std::fopen(path.c_str(), "wb");
        FUZZ_CHECK(file != nullptr);
        FUZZ_CHECK(std::fwrite(image.data(), 1, image.size(), file) == image.size());
        std::fclose(file);
        std::vector<uint8_t> sealed = cfg;
        presetCfgBlock(type, sealed.data(), sealed.size());
        FUZZ_CHECK(sealCfgBlock(type, 0x20, sealed.data(), sealed.size()));
        writeCfgText(dir + "/cfg-" + familyName(type) + ".cfg", sealed);
    }
}

std::vector<Delivery>& deliveries() {
    static std::vector<Delivery> list;
    return list;
}

SessionPlan readPlan(ByteReader& in) {
    SessionPlan plan;
    const uint8_t type = in.byte();
    plan.chipType = 1 + type % 7;
    plan.framing = framingFrom(in.byte());
    plan.ops = in.byte();
    plan.writeFailEvery = in.byte();
    plan.rows = in.byte();
    plan.cols = in.byte();
    plan.touch = in.byte();
    const size_t count = in.byte() % kMaxReads;
    for (size_t i = 0; i < kMaxReads; ++i) {
        RegisterRead read;
        read.addr = in.u32();
        const uint16_t len = in.u16();
        read.len = (len & 0x8000) != 0 ? -static_cast<int32_t>(len & kReadLengthMask)
                                       : static_cast<int32_t>(len & kReadLengthMask);
        if (i < count)
            plan.reads.push_back(read);
    }
    return plan;
}

std::vector<uint8_t> encodePlan(const SessionPlan& plan) {
    std::vector<uint8_t> bytes;
    bytes.push_back(static_cast<uint8_t>(plan.chipType - 1));
    bytes.push_back(plan.framing == kUnknownFraming ? 4 : static_cast<uint8_t>(plan.framing));
    bytes.push_back(plan.ops);
    bytes.push_back(plan.writeFailEvery);
    bytes.push_back(static_cast<uint8_t>(plan.rows));
    bytes.push_back(static_cast<uint8_t>(plan.cols));
    bytes.push_back(plan.touch);
    bytes.push_back(static_cast<uint8_t>(plan.reads.size()));
    for (size_t i = 0; i < kMaxReads; ++i) {
        const RegisterRead read = i < plan.reads.size() ? plan.reads[i] : RegisterRead{};
        for (int k = 0; k < 4; ++k)
            bytes.push_back(static_cast<uint8_t>(read.addr >> (8 * k)));
        const uint16_t len = read.len < 0 ? static_cast<uint16_t>(0x8000 | (-read.len))
                                          : static_cast<uint16_t>(read.len);
        bytes.push_back(static_cast<uint8_t>(len));
        bytes.push_back(static_cast<uint8_t>(len >> 8));
    }
    return bytes;
}

void runSession(const SessionPlan& plan) {
    {
        TlcConnection connection;
        if (plan.framing != 0)
            connection.protoType = plan.framing;
        connection.openTLC();
        if ((plan.ops & 0x01) != 0) {
            for (const RegisterRead& read : plan.reads) {
                // Exactly as long as asked: a byte written past it is caught.
                std::vector<uint8_t> buffer(read.len > 0 ? static_cast<size_t>(read.len) : 0);
                deliveries().clear();
                if (connection.read(read.addr, buffer.data(), read.len, true) == 0 && read.len > 0)
                    checkRead(connection.protoType, read.addr, buffer.data(), read.len);
            }
        }
        if ((plan.ops & 0x02) != 0) {
            connection.getBasicProperties();
            FUZZ_CHECK(std::memchr(connection.pid, 0, sizeof connection.pid) != nullptr);
            FUZZ_CHECK(connection.vid[4] == 0);
        }
        if ((plan.ops & 0x04) != 0) {
            uint8_t version = 0;
            getCfgVerWithConnection(connection, &version);
        }
        if ((plan.ops & 0x08) != 0) {
            DisableReport(connection);
            EnableReport(connection);
        }
        connection.close();
    }
    if ((plan.ops & 0x10) != 0) {
        char pid[9];
        uint8_t vid[4];
        uint8_t sid = 0;
        uint8_t cfgVer = 0;
        if (getPid(pid) == 0)
            FUZZ_CHECK(std::memchr(pid, 0, sizeof pid) != nullptr);
        getVid(vid);
        getChipSensorID(&sid);
        getCfgVer(&cfgVer);
    }
    if ((plan.ops & 0x20) != 0) {
        GetSomeData((plan.touch & 0x01) != 0, (plan.touch & 0x02) != 0, (plan.touch & 0x04) != 0,
                    plan.rows, plan.cols, (plan.touch & 0x10) != 0 ? 2 : 1,
                    (plan.touch & 0x08) != 0 ? 1 : 0);
    }
    if ((plan.ops & 0x40) != 0 && !plan.reads.empty() && plan.reads[0].len > 0) {
        std::vector<uint8_t> buffer(static_cast<size_t>(plan.reads[0].len));
        readReg(plan.reads[0].addr, buffer.data(), plan.reads[0].len);
    }
    if ((plan.ops & 0x80) != 0) {
        runFirmwareUpdate();
    }
}

int requestedLength(const std::vector<uint8_t>& request) {
    if (request.size() < 6 || request[1] != 0x20 || request[5] != 0x01)
        return 0;
    for (const Framing& f : kFramings) {
        // A whole report carries no count; a short request counts its fields.
        const bool match = f.wholeReports ? request.size() >= static_cast<size_t>(f.reportSize)
                                          : request[4] == f.header - 5 &&
                                                request.size() >= static_cast<size_t>(f.header);
        if (match) {
            const size_t at = static_cast<size_t>(6 + f.addressBytes);
            return (request[at] << 8) | request[at + 1];
        }
    }
    return 0;
}

// The framing row whose answers have the report length `length`.
const Framing& answerRow(size_t length) {
    return *framingRow(length >= static_cast<size_t>(kLongReportSize) ? kTlcFramingV3
                                                                      : kTlcFramingV2);
}

int answerCapacity(size_t length) {
    const size_t dataAt = static_cast<size_t>(answerRow(length).answerDataAt);
    return length > dataAt ? static_cast<int>(length - dataAt) : 0;
}

void fillAnswer(uint8_t* report, size_t length, int lengthField, int dataLen, ByteReader& in) {
    std::memset(report, 0, length);
    if (length == 0)
        return;
    report[0] = kHidReportId;
    const size_t fieldAt = static_cast<size_t>(answerRow(length).answerLengthAt);
    const size_t dataAt = static_cast<size_t>(answerRow(length).answerDataAt);
    if (fieldAt + 1 < length) {
        report[fieldAt] = static_cast<uint8_t>(lengthField >> 8);
        report[fieldAt + 1] = static_cast<uint8_t>(lengthField);
    }
    int n = dataLen < answerCapacity(length) ? dataLen : answerCapacity(length);
    if (n > 0)
        in.take(report + dataAt, static_cast<size_t>(n));
}

}  // namespace fuzz
