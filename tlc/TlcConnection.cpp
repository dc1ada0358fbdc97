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

// The HID interface; nullptr, after an Error line under `fn`, while it is
// not configured.
HidInterface* configuredHid(const char* fn) {
    if (hidInterfaceConfigured())
        return getHidInterface();
    LOG_ERROR(fn, "Failed, because HID interface is not configured yet.\n");
    return nullptr;
}

}  // namespace

TlcConnection::TlcConnection() : protoType(chipProfile.protoType) {}

int TlcConnection::open() {
    HidInterface* hid = configuredHid("TlcConnection::open");
    if (hid == nullptr)
        return -1;
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
    HidInterface* hid = configuredHid("TlcConnection::close");
    if (hid == nullptr)
        return;
    const int r = hid->close(hid->context);
    if (r != 0) {
        LOG_ERROR("TlcConnection::close", "TLC connection close failed. ret = %d.\n", r);
    }
}

bool TlcConnection::deviceGone() const {
    return hidDeviceGone();
}

int TlcConnection::write0(const uint8_t* buffer, int32_t length, bool logTransfer) {
    HidInterface* hid = configuredHid("TlcConnection::write0");
    if (hid == nullptr)
        return -1;
    if (length < 0) {
        LOG_ERROR("TlcConnection::write0", "Invalid report length %d.\n", length);
        return -2;
    }
    // The HID layer takes a mutable buffer; hand it a copy so the caller's
    // bytes stay untouched whatever the target does with them. Every report
    // the targets take fits the buffer on the stack; only a longer one (which
    // the target refuses) is copied to the heap. A null buffer goes through
    // as such: the HID layer refuses it.
    uint8_t local[kLargestReportSize + 1];
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
    HidInterface* hid = configuredHid("TlcConnection::read0");
    if (hid == nullptr)
        return -1;
    if (length < 0) {
        LOG_ERROR("TlcConnection::read0", "Invalid report length %d.\n", length);
        return -2;
    }
    const int r = hid->read(buffer, length, hid->context);
    if (r != 0) {
        LOG_ERROR("TlcConnection::read0", "getHidInterface()->read failed. ret = %d.\n", r);
        return -2;
    }
    return 0;
}

int TlcConnection::write(uint32_t addr, const uint8_t* data, int32_t len, bool logTransfer) {
    const Framing* f = framingRow(protoType);
    if (f == nullptr) {
        LOG_ERROR("TlcConnection::write", "unsupport this proto type:%d to write.\n", protoType);
        return -1;
    }
    LOG_DEBUG("TlcConnection::write", "use hid proto v%d for write.addr:0x%x,len:%d.\n", f->version,
              addr, len);
    // One buffer for all reports of this write. On the standard path only
    // header and payload are sent; whole reports carry past a short last
    // payload what the previous report held, and the chip reads only
    // `length` bytes.
    uint8_t frame[kLargestReportSize] = {0};
    const int lengthAt = 6 + f->addressBytes;
    int32_t sent = 0;
    uint8_t sequence = 0;
    uint32_t current = f->wireAddress(addr);
    int ret = 0;
    while (sent < len) {
        const int32_t remaining = len - sent;
        const int payload = std::min<int32_t>(remaining, f->writePayload);
        frame[0] = kHidReportId;
        frame[1] = kFrameMarker;
        if (!f->wholeReports) {
            frame[2] = remaining > f->writePayload ? 1 : 0;
            frame[3] = sequence;
            frame[4] = static_cast<uint8_t>(payload + f->header - 5);
        }
        frame[5] = kOpWrite;
        if (f->addressBytes == 2)
            writeBe16(frame + 6, current);
        else
            writeBe32(frame + 6, current);
        writeBe16(frame + lengthAt, static_cast<uint32_t>(payload));
        std::memcpy(frame + f->header, data + sent, static_cast<size_t>(payload));
        const int r = write0(frame, f->wholeReports ? f->reportSize : f->header + payload, false);
        if (r != 0) {
            LOG_ERROR(f->writeName,
                      "Failed when writing data to reg 0x%02X. transferLength = %d, ret = %d.\n",
                      current, payload, r);
            ret = -1;
            break;
        }
        sent += payload;
        current = f->wireAddress(current + static_cast<uint32_t>(payload));
        ++sequence;
    }
    if (ret == 0 && logTransfer) {
        LOG_INFO(f->writeName, "Write %d byte%s to reg from 0x%04X.\n", len, plural(len),
                 f->wireAddress(addr));
    }
    LOG_DEBUG(f->writeName, "%s exit:%d.\n", f->writeName, ret);
    return ret;
}

int TlcConnection::read(uint32_t addr, uint8_t* buffer, int32_t len, bool logTransfer) {
    const Framing* f = framingRow(protoType);
    if (f == nullptr) {
        LOG_ERROR("TlcConnection::read", "unsupport this proto type:%d for read\n", protoType);
        return -1;
    }
    LOG_DEBUG("TlcConnection::read", "use hid proto v%d for read\n", f->version);
    for (int32_t done = 0; done < len;) {
        const int32_t n = std::min<int32_t>(f->readChunk, len - done);
        if (readFramed(addr + static_cast<uint32_t>(done), buffer + done, n, logTransfer) < 0) {
            LOG_ERROR("TlcConnection::read",
                      "read failed at addr:0x%04x,len:%d,already read len:%d.\n", addr, len, done);
            return -1;
        }
        done += n;
    }
    return 0;
}

int TlcConnection::readFramed(uint32_t addr, uint8_t* buffer, int32_t len, bool logTransfer) {
    const Framing* f = framingRow(protoType);
    if (f == nullptr) {
        LOG_ERROR("TlcConnection::read", "unsupport this proto type:%d for read\n", protoType);
        return -1;
    }
    const char* fn = f->readName;
    if (len > f->readChunk) {
        LOG_ERROR(fn, "Read failed, readLen(%d) is bigger than max(%d).\n", len, f->readChunk);
        return -1;
    }
    uint8_t report[kLargestReportSize] = {0};
    report[0] = kHidReportId;
    report[1] = kFrameMarker;
    if (!f->wholeReports)
        report[4] = static_cast<uint8_t>(f->header - 5);
    report[5] = kOpRead;
    if (f->addressBytes == 2)
        writeBe16(report + 6, f->wireAddress(addr));
    else
        writeBe32(report + 6, addr);
    writeBe16(report + 6 + f->addressBytes, static_cast<uint32_t>(len));
    const int r = write0(report, f->wholeReports ? f->reportSize : f->header, false);
    if (r != 0) {
        LOG_ERROR(fn,
                  "Read failed, because write operation failed (Address and length cannot be "
                  "sent). ret = %d.\n",
                  r);
        return -2;
    }
    report[0] = kHidReportId;
    if (read0(report, f->reportSize) != 0) {
        LOG_ERROR(fn, "Read failed, because native read method failed.\n");
        return -3;
    }
    const int answered = static_cast<int>(readBe16(report + f->answerLengthAt));
    if (answered != len) {
        LOG_ERROR(
            fn, "Valid data length from firmware verify failed. readLen = %d, fw_data_len = %d.\n",
            len, answered);
        // A long answer is worth seeing whole: its header tells what the chip made of the request.
        if (f->longReports())
            dumpReport(report, f->reportSize);
        return -4;
    }
    if (len > 0)
        std::memcpy(buffer, report + f->answerDataAt, static_cast<size_t>(len));
    if (logTransfer) {
        // Long-path reads (256 bytes at a time in downloads) log at debug level.
        if (f->longReports()) {
            LOG_DEBUG(fn, "Read %d byte%s from reg 0x%04X.\n", len, plural(len), addr);
        } else {
            LOG_INFO(fn, "Read %d byte%s from reg 0x%04X.\n", len, plural(len),
                     f->wireAddress(addr));
        }
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
