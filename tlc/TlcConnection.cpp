#include "tlc/TlcConnection.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "chip/ChipProfile.h"
#include "hid/HidInterface.h"
#include "log/Log.h"
#include "sys/Bytes.h"
#include "sys/Clock.h"

namespace {

constexpr int kOpenAttempts = 3;
constexpr uint32_t kOpenRetryWaitMs = 400;
constexpr int kPropertyAttempts = 5;
constexpr uint32_t kPropertyRetryWaitMs = 20;
constexpr uint8_t kFrameMarker = 0x20;
constexpr uint8_t kOpWrite = 0x00;
constexpr uint8_t kOpRead = 0x01;
constexpr int kDumpItemsPerLine = 10;
// The longest report a HID target sends.
constexpr size_t kLargestReport =
    static_cast<size_t>(std::max(kStandardReportSize, kFjordK8ReportSize));

const char* plural(int32_t n) {
    return n >= 2 ? "s" : "";
}

// Writes a whole report to the log without tag and level test: its length,
// then ten "0x%02x," items a line.
void dumpReport(const uint8_t* report, int length) {
    LOG_RAW("array len:%d\n", length);
    for (int start = 0; start < length; start += kDumpItemsPerLine) {
        char line[kDumpItemsPerLine * 5 + 1];
        size_t used = 0;
        for (int i = start; i < length && i < start + kDumpItemsPerLine; ++i) {
            std::snprintf(line + used, sizeof line - used, "0x%02x,", report[i]);
            used += 5;
        }
        line[used] = '\0';
        LOG_RAW("%s\n", line);
    }
}

}  // namespace

TlcConnection::TlcConnection() : protoType(chipProfile.protoType) {}

TlcConnection::~TlcConnection() = default;

int TlcConnection::open() {
    if (!hidInterfaceConfigured()) {
        LOG_ERROR("TlcConnection::open", "Failed, because HID interface is not configured yet.\n");
        return -1;
    }
    HidInterface* hid = getHidInterface();
    const int r = hid->open(hid->context);
    if (r != 0) {
        LOG_ERROR("TlcConnection::open", "TLC connection open failed. ret = %d.\n", r);
        return -2;
    }
    return 0;
}

int TlcConnection::openTLC() {
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        const int r = open();
        if (r == 0) {
            LOG_INFO("openTLC", "Open TLC successfully.\n");
            return 0;
        }
        LOG_ERROR("openTLC", "Open TLC failed. ret = %d. Retry remaining: %d.\n", r,
                  kOpenAttempts - attempt);
        // Another run holds the device for its whole run: waiting is no use.
        if (hidOpenRefusedInUse())
            break;
        sleepMs(kOpenRetryWaitMs);
    }
    LOG_ERROR("openTLC", "Open TLC failed.\n");
    return -1;
}

void TlcConnection::close() {
    if (!hidInterfaceConfigured()) {
        LOG_ERROR("TlcConnection::close", "Failed, because HID interface is not configured yet.\n");
        return;
    }
    HidInterface* hid = getHidInterface();
    const int r = hid->close(hid->context);
    if (r != 0) {
        LOG_ERROR("TlcConnection::close", "TLC connection close failed. ret = %d.\n", r);
    }
}

bool TlcConnection::deviceGone() const {
    return hidDeviceGone();
}

int TlcConnection::write0(const uint8_t* buffer, int32_t length, bool logTransfer) {
    if (!hidInterfaceConfigured()) {
        LOG_ERROR("TlcConnection::write0",
                  "Failed, because HID interface is not configured yet.\n");
        return -1;
    }
    if (length < 0) {
        LOG_ERROR("TlcConnection::write0", "Invalid report length %d.\n", length);
        return -2;
    }
    // The HID layer takes a mutable buffer; hand it a copy so the caller's
    // bytes stay untouched whatever the target does with them. Every report
    // the targets take fits the buffer on the stack; only a longer one (which
    // the target refuses) is copied to the heap. A null buffer goes through
    // as such: the HID layer refuses it.
    uint8_t local[kLargestReport + 1];
    std::vector<uint8_t> large;
    uint8_t* report = nullptr;
    if (buffer != nullptr) {
        const size_t n = static_cast<size_t>(length);
        if (n < sizeof local) {
            report = local;
        } else {
            large.resize(n + 1);
            report = large.data();
        }
        std::memcpy(report, buffer, n);
        report[n] = 0;
    }
    HidInterface* hid = getHidInterface();
    const int r = hid->write(report, length, hid->context);
    if (r != 0) {
        LOG_ERROR("TlcConnection::write0", "getHidInterface()->write failed. ret = %d.\n", r);
        return -2;
    }
    if (logTransfer) {
        LOG_INFO("TlcConnection::write0", "Write %d byte%s successfully.\n", length,
                 plural(length));
    }
    return 0;
}

int TlcConnection::read0(uint8_t* buffer, int32_t length) {
    if (!hidInterfaceConfigured()) {
        LOG_ERROR("TlcConnection::read0", "Failed, because HID interface is not configured yet.\n");
        return -1;
    }
    if (length < 0) {
        LOG_ERROR("TlcConnection::read0", "Invalid report length %d.\n", length);
        return -2;
    }
    HidInterface* hid = getHidInterface();
    const int r = hid->read(buffer, length, hid->context);
    if (r != 0) {
        LOG_ERROR("TlcConnection::read0", "getHidInterface()->read failed. ret = %d.\n", r);
        return -2;
    }
    return 0;
}

int TlcConnection::write(uint32_t addr, const uint8_t* data, int32_t len, bool logTransfer) {
    switch (protoType) {
        case kTlcFramingV1:
            LOG_DEBUG("TlcConnection::write", "use hid proto v1 for write.addr:0x%x,len:%d.\n",
                      addr, len);
            return writeV1(addr, data, len, logTransfer);
        case kTlcFramingV2:
            LOG_DEBUG("TlcConnection::write", "use hid proto v2 for write.addr:0x%x,len:%d.\n",
                      addr, len);
            return writeV2(addr, data, len, logTransfer);
        case kTlcFramingV3:
            LOG_DEBUG("TlcConnection::write", "use hid proto v3 for write.addr:0x%x,len:%d.\n",
                      addr, len);
            return writeV3(addr, data, len, logTransfer);
        default:
            LOG_ERROR("TlcConnection::write", "unsupport this proto type:%d to write.\n",
                      protoType);
            return -1;
    }
}

int TlcConnection::writeV1(uint32_t addr, const uint8_t* data, int32_t len, bool logTransfer) {
    return writeV12(kTlcFramingV1, addr, data, len, logTransfer);
}

int TlcConnection::writeV2(uint32_t addr, const uint8_t* data, int32_t len, bool logTransfer) {
    const int ret = writeV12(kTlcFramingV2, addr, data, len, logTransfer);
    LOG_DEBUG("TlcConnection::writeV2", "TlcConnection::writeV2 exit:%d.\n", ret);
    return ret;
}

int TlcConnection::writeV12(int version, uint32_t addr, const uint8_t* data, int32_t len,
                            bool logTransfer) {
    const char* fn = version == kTlcFramingV1 ? "TlcConnection::writeV1" : "TlcConnection::writeV2";
    const int maxPayload = version == kTlcFramingV1 ? kTlcWritePayloadV1 : kTlcWritePayloadV2;
    const int header = version == kTlcFramingV1 ? kTlcHeaderV1 : kTlcHeaderV2;
    uint8_t frame[kTlcReportSize] = {0};
    int32_t sent = 0;
    uint8_t sequence = 0;
    uint32_t current = version == kTlcFramingV1 ? (addr & 0xFFFF) : addr;
    while (sent < len) {
        const int32_t remaining = len - sent;
        const int payload = std::min<int32_t>(remaining, maxPayload);
        frame[0] = kHidReportId;
        frame[1] = kFrameMarker;
        frame[2] = remaining > maxPayload ? 1 : 0;
        frame[3] = sequence;
        frame[4] = static_cast<uint8_t>(payload + header - 5);
        frame[5] = kOpWrite;
        if (version == kTlcFramingV1) {
            writeBe16(frame + 6, current);
            writeBe16(frame + 8, static_cast<uint32_t>(payload));
        } else {
            writeBe32(frame + 6, current);
            writeBe16(frame + 10, static_cast<uint32_t>(payload));
        }
        std::memcpy(frame + header, data + sent, static_cast<size_t>(payload));
        const int r = write0(frame, header + payload, false);
        if (r != 0) {
            LOG_ERROR(fn,
                      "Failed when writing data to reg 0x%02X. transferLength = %d, ret = %d.\n",
                      current, payload, r);
            return -1;
        }
        sent += payload;
        current += static_cast<uint32_t>(payload);
        if (version == kTlcFramingV1)
            current &= 0xFFFF;
        ++sequence;
    }
    if (logTransfer) {
        LOG_INFO(fn, "Write %d byte%s to reg from 0x%04X.\n", len, plural(len),
                 version == kTlcFramingV1 ? (addr & 0xFFFF) : addr);
    }
    return 0;
}

int TlcConnection::writeV3(uint32_t addr, const uint8_t* data, int32_t len, bool logTransfer) {
    // One buffer for all reports of this write: bytes past a short last
    // payload keep what the previous report carried; the chip reads only
    // `length` bytes.
    uint8_t frame[kTlcReportSizeV3] = {0};
    int32_t sent = 0;
    uint32_t current = addr;
    int ret = 0;
    while (sent < len) {
        const int payload = std::min<int32_t>(len - sent, kTlcWritePayloadV3);
        frame[0] = kHidReportId;
        frame[1] = kFrameMarker;
        frame[2] = 0x00;
        frame[3] = 0x00;
        frame[4] = 0x00;
        frame[5] = kOpWrite;
        writeBe32(frame + 6, current);
        writeBe16(frame + 10, static_cast<uint32_t>(payload));
        std::memcpy(frame + kTlcHeaderV3, data + sent, static_cast<size_t>(payload));
        const int r = write0(frame, kTlcReportSizeV3, false);
        if (r != 0) {
            LOG_ERROR("TlcConnection::writeV3",
                      "Failed when writing data to reg 0x%02X. transferLength = %d, ret = %d.\n",
                      current, payload, r);
            ret = -1;
            break;
        }
        sent += payload;
        current += static_cast<uint32_t>(payload);
    }
    if (ret == 0 && logTransfer) {
        LOG_INFO("TlcConnection::writeV3", "Write %d byte%s to reg from 0x%04X.\n", len,
                 plural(len), addr);
    }
    LOG_DEBUG("TlcConnection::writeV3", "TlcConnection::writeV3 exit:%d.\n", ret);
    return ret;
}

int TlcConnection::read(uint32_t addr, uint8_t* buffer, int32_t len, bool logTransfer) {
    int chunk;
    switch (protoType) {
        case kTlcFramingV1:
            LOG_DEBUG("TlcConnection::read", "use hid proto v1 for read\n");
            chunk = kTlcReadChunkV12;
            break;
        case kTlcFramingV2:
            LOG_DEBUG("TlcConnection::read", "use hid proto v2 for read\n");
            chunk = kTlcReadChunkV12;
            break;
        case kTlcFramingV3:
            LOG_DEBUG("TlcConnection::read", "use hid proto v3 for read\n");
            chunk = kTlcReadChunkV3;
            break;
        default:
            LOG_ERROR("TlcConnection::read", "unsupport this proto type:%d for read\n", protoType);
            return -1;
    }
    for (int32_t done = 0; done < len;) {
        const int32_t n = std::min<int32_t>(chunk, len - done);
        const uint32_t at = addr + static_cast<uint32_t>(done);
        int r;
        if (protoType == kTlcFramingV1) {
            r = readV1(at, buffer + done, n, logTransfer);
        } else if (protoType == kTlcFramingV2) {
            r = readV2(at, buffer + done, n, logTransfer);
        } else {
            r = readV3(at, buffer + done, n, logTransfer);
        }
        if (r < 0) {
            LOG_ERROR("TlcConnection::read",
                      "read failed at addr:0x%04x,len:%d,already read len:%d.\n", addr, len, done);
            return -1;
        }
        done += n;
    }
    return 0;
}

int TlcConnection::readV1(uint32_t addr, uint8_t* buffer, int32_t len, bool logTransfer) {
    return readV12(kTlcFramingV1, addr, buffer, len, logTransfer);
}

int TlcConnection::readV2(uint32_t addr, uint8_t* buffer, int32_t len, bool logTransfer) {
    return readV12(kTlcFramingV2, addr, buffer, len, logTransfer);
}

int TlcConnection::readV12(int version, uint32_t addr, uint8_t* buffer, int32_t len,
                           bool logTransfer) {
    const char* fn = version == kTlcFramingV1 ? "TlcConnection::readV1" : "TlcConnection::readV2";
    if (len > kTlcReadChunkV12) {
        LOG_ERROR(fn, "Read failed, readLen(%d) is bigger than max(%d).\n", len, kTlcReadChunkV12);
        return -1;
    }
    uint8_t report[kTlcReportSize] = {0};
    report[0] = kHidReportId;
    report[1] = kFrameMarker;
    report[5] = kOpRead;
    int requestLength;
    if (version == kTlcFramingV1) {
        report[4] = 0x05;
        writeBe16(report + 6, addr & 0xFFFF);
        writeBe16(report + 8, static_cast<uint32_t>(len));
        requestLength = kTlcHeaderV1;
    } else {
        report[4] = 0x07;
        writeBe32(report + 6, addr);
        writeBe16(report + 10, static_cast<uint32_t>(len));
        requestLength = kTlcHeaderV2;
    }
    const int r = write0(report, requestLength, false);
    if (r != 0) {
        LOG_ERROR(fn,
                  "Read failed, because write operation failed (Address and length cannot be "
                  "sent). ret = %d.\n",
                  r);
        return -2;
    }
    report[0] = kHidReportId;
    if (read0(report, kTlcReportSize) != 0) {
        LOG_ERROR(fn, "Read failed, because native read method failed.\n");
        return -3;
    }
    const int answered = static_cast<int>(readBe16(report + 3));
    if (answered != len) {
        LOG_ERROR(
            fn, "Valid data length from firmware verify failed. readLen = %d, fw_data_len = %d.\n",
            len, answered);
        return -4;
    }
    if (len > 0)
        std::memcpy(buffer, report + 5, static_cast<size_t>(len));
    if (logTransfer) {
        LOG_INFO(fn, "Read %d byte%s from reg 0x%04X.\n", len, plural(len),
                 version == kTlcFramingV1 ? (addr & 0xFFFF) : addr);
    }
    return 0;
}

int TlcConnection::readV3(uint32_t addr, uint8_t* buffer, int32_t len, bool logTransfer) {
    if (len > kTlcReadChunkV3) {
        LOG_ERROR("TlcConnection::readV3", "Read failed, readLen(%d) is bigger than max(%d).\n",
                  len, kTlcReadChunkV3);
        return -1;
    }
    uint8_t report[kTlcReportSizeV3] = {0};
    report[0] = kHidReportId;
    report[1] = kFrameMarker;
    report[5] = kOpRead;
    writeBe32(report + 6, addr);
    writeBe16(report + 10, static_cast<uint32_t>(len));
    const int r = write0(report, kTlcReportSizeV3, false);
    if (r != 0) {
        LOG_ERROR("TlcConnection::readV3",
                  "Read failed, because write operation failed (Address and length cannot be "
                  "sent). ret = %d.\n",
                  r);
        return -2;
    }
    report[0] = kHidReportId;
    if (read0(report, kTlcReportSizeV3) != 0) {
        LOG_ERROR("TlcConnection::readV3", "Read failed, because native read method failed.\n");
        return -3;
    }
    const int answered = static_cast<int>(readBe16(report + 10));
    if (answered != len) {
        LOG_ERROR(
            "TlcConnection::readV3",
            "Valid data length from firmware verify failed. readLen = %d, fw_data_len = %d.\n", len,
            answered);
        dumpReport(report, kTlcReportSizeV3);
        return -4;
    }
    if (len > 0)
        std::memcpy(buffer, report + kTlcHeaderV3, static_cast<size_t>(len));
    if (logTransfer) {
        LOG_DEBUG("TlcConnection::readV3", "Read %d byte%s from reg 0x%04X.\n", len, plural(len),
                  addr);
    }
    return 0;
}

namespace {

// Reads one identity field, up to kPropertyAttempts times; true once a read
// succeeded. `what` names the field in the log.
bool readProperty(TlcConnection& connection, const char* what, uint32_t addr, uint8_t* buffer,
                  int32_t len) {
    for (int attempt = 0; attempt < kPropertyAttempts; ++attempt) {
        if (connection.read(addr, buffer, len, true) == 0)
            return true;
        LOG_ERROR("TlcConnection::getBasicProperties", "Read %s failed. Retry remaining: %d.\n",
                  what, kPropertyAttempts - 1 - attempt);
        sleepMs(kPropertyRetryWaitMs);
    }
    return false;
}

// Results of getBasicProperties: which identity field could not be read.
constexpr int kPidUnread = -1;
constexpr int kVidUnread = -2;
constexpr int kSidUnread = -3;

}  // namespace

int TlcConnection::getBasicProperties() {
    LOG_DEBUG("TlcConnection::getBasicProperties", "Function begins.\n");
    // The identity fields hold at most 8 product id and 4 version id bytes.
    const int32_t pidLen = std::clamp<int32_t>(chipProfile.pidLen, 0, sizeof pid - 1);
    const int32_t vidLen = std::clamp<int32_t>(chipProfile.vidLen, 0, sizeof vid - 1);

    int ret = 0;
    if (!readProperty(*this, "Pid", chipProfile.pidAddr, reinterpret_cast<uint8_t*>(pid), pidLen)) {
        LOG_ERROR("TlcConnection::getBasicProperties", "Read Pid failed.\n");
        ret = kPidUnread;
    } else {
        pid[pidLen] = '\0';
        if (!readProperty(*this, "Vid", chipProfile.vidAddr, vid, vidLen)) {
            LOG_ERROR("TlcConnection::getBasicProperties", "Read Vid failed.\n");
            ret = kVidUnread;
        } else {
            vid[vidLen] = 0;
            if (!readProperty(*this, "Sid", chipProfile.sidAddr, &sensorId, 1))
                ret = kSidUnread;
        }
    }

    if (ret == 0) {
        LOG_INFO("TlcConnection::getBasicProperties",
                 " Read Pid(%s), Vid(%02X %02X %02X %02X) and Sid(%d) successfully.\n",
                 logSafeText(pid).c_str(), vid[0], vid[1], vid[2], vid[3], sensorId);
    }
    LOG_DEBUG("TlcConnection::getBasicProperties", "Function ends.\n");
    return ret;
}
