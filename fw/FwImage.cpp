#include "fw/FwImage.h"

#include <algorithm>
#include <cstring>
#include <string>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "sys/Bytes.h"
#include "sys/Files.h"

const FwImageLayout kFwLayout5410 = {"FwImage_5410", FwLayoutKind::A, 6, 15, 23, 27, 32, 8, 256};
const FwImageLayout kFwLayout5415R = {"FwImage_5415R", FwLayoutKind::A, 6, 15, 23, 27, 32, 8, 256};
const FwImageLayout kFwLayoutFjordH3 = {
    "FwImage_FjordH3", FwLayoutKind::B, 8, 17, 25, 29, 36, 10, 256};
const FwImageLayout kFwLayoutCorvina = {
    "FwImage_Corvina", FwLayoutKind::B, 8, 17, 25, 29, 42, 10, 512};
const FwImageLayout kFwLayoutFjordK = {
    "FwImage_FjordK", FwLayoutKind::B, 8, 17, 25, 29, 42, 10, 512};

const FwImageLayout* fwImageLayout(int32_t type) {
    switch (type) {
        case CHIP_5410:
            return &kFwLayout5410;
        case CHIP_5415R:
            return &kFwLayout5415R;
        case CHIP_FJORDK:
        case CHIP_FJORDK8:
        case CHIP_FJORDK4:
            return &kFwLayoutFjordK;
        case CHIP_FJORDH3:
            return &kFwLayoutFjordH3;
        case CHIP_CORVINA:
            return &kFwLayoutCorvina;
        default:
            return nullptr;
    }
}

// Both checksums run over whole images on every load. Where SSE2 is there
// (every x86-64 machine) the bulk goes 16 bytes at a time; the tail, and the
// whole buffer elsewhere, goes through the plain loops. Sums wrap in their
// lanes exactly as the scalar sums wrap modulo 2^16 or 2^32.
#if defined(__SSE2__) || defined(_M_X64)
#define TOUCHFW_SUM_SSE2 1
#endif

namespace {

constexpr size_t kSumStride = 32;  // bytes per step of the vector loops

}  // namespace

uint16_t fwChecksumLayoutA(const uint8_t* body, size_t size) {
    uint32_t sum = 0;
    size_t i = 0;
#ifdef TOUCHFW_SUM_SSE2
    const __m128i zero = _mm_setzero_si128();
    __m128i acc0 = zero;
    __m128i acc1 = zero;
    for (; i + kSumStride <= size; i += kSumStride) {
        const __m128i* p = reinterpret_cast<const __m128i*>(body + i);
        acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(_mm_loadu_si128(p), zero));
        acc1 = _mm_add_epi64(acc1, _mm_sad_epu8(_mm_loadu_si128(p + 1), zero));
    }
    alignas(16) uint64_t lanes[2];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi64(acc0, acc1));
    sum = static_cast<uint32_t>(lanes[0] + lanes[1]);
#endif
    for (; i < size; ++i)
        sum += body[i];
    return static_cast<uint16_t>(sum);
}

uint32_t fwChecksumLayoutB(const uint8_t* body, size_t size) {
    uint32_t sum = 0;
    size_t i = 0;
#ifdef TOUCHFW_SUM_SSE2
    // Each 32-bit lane takes its low word and its high word.
    const __m128i lowWord = _mm_set1_epi32(0xFFFF);
    __m128i acc0 = _mm_setzero_si128();
    __m128i acc1 = _mm_setzero_si128();
    for (; i + kSumStride <= size; i += kSumStride) {
        const __m128i* p = reinterpret_cast<const __m128i*>(body + i);
        const __m128i v0 = _mm_loadu_si128(p);
        const __m128i v1 = _mm_loadu_si128(p + 1);
        acc0 =
            _mm_add_epi32(acc0, _mm_add_epi32(_mm_and_si128(v0, lowWord), _mm_srli_epi32(v0, 16)));
        acc1 =
            _mm_add_epi32(acc1, _mm_add_epi32(_mm_and_si128(v1, lowWord), _mm_srli_epi32(v1, 16)));
    }
    alignas(16) uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi32(acc0, acc1));
    sum = lanes[0] + lanes[1] + lanes[2] + lanes[3];
#endif
    for (; i + 2 <= size; i += 2)
        sum += body[i] + (static_cast<uint32_t>(body[i + 1]) << 8);
    if (i < size)
        sum += body[i];  // an odd last byte is a word whose high byte is 0
    return sum;
}

namespace {

constexpr uint32_t kLayoutAHeaderSize = 6;
constexpr uint32_t kLayoutAEntrySize = 8;
constexpr uint32_t kLayoutBHeaderSize = 8;
constexpr uint32_t kLayoutBEntrySize = 10;

// Length and flash address of a table entry (kLayoutAEntrySize or
// kLayoutBEntrySize bytes at `entry`).
uint32_t entryLength(FwLayoutKind kind, const uint8_t* entry) {
    return kind == FwLayoutKind::A ? readBe32(entry + 1) : readLe32(entry + 1);
}

uint32_t entryAddress(FwLayoutKind kind, const uint8_t* entry) {
    if (kind == FwLayoutKind::A)
        return (static_cast<uint32_t>(entry[5]) << 16) | (static_cast<uint32_t>(entry[6]) << 8);
    return readLe32(entry + 5);
}

std::string qualified(const FwImageLayout* layout, const char* operation) {
    return std::string(layout->className) + "::" + operation;
}

}  // namespace

FwImage::FwImage() = default;

FwImage::FwImage(const FwImageLayout* layout) : layout_(layout) {}

FwImage::~FwImage() {
    if (isLoaded)
        releaseData();
}

void FwImage::releaseData() {
    isLoaded = false;
    std::vector<uint8_t>().swap(fwData);
}

bool FwImage::hasBytes(uint64_t offset, uint64_t length) const {
    return !fwData.empty() && offset <= fwData.size() && length <= fwData.size() - offset;
}

bool FwImage::buildPid(uint32_t offset) {
    std::memset(pid, 0, sizeof pid);
    if (!hasBytes(offset, kFwPidBytes))
        return false;
    size_t n = 0;
    for (uint32_t i = 0; i < kFwPidBytes; ++i) {
        const uint8_t byte = fwData[offset + i];
        if (byte != 0)
            pid[n++] = static_cast<char>(byte);
    }
    return true;
}

bool FwImage::copyVid(uint32_t offset) {
    if (!hasBytes(offset, kFwVidBytes))
        return false;
    std::memcpy(vid, fwData.data() + offset, kFwVidBytes);
    return true;
}

int32_t FwImage::readCount(uint32_t offset) const {
    if (!hasBytes(offset, 1))
        return -1;
    return fwData[offset];
}

int32_t FwImage::load(const char* fileName) {
    LOG_DEBUG("FwImage::load", "Function begins.\n");
    releaseData();
    fwSize = 0;
    std::memset(pid, 0, sizeof pid);
    std::memset(vid, 0, sizeof vid);

    int32_t result = readFile(fileName);
    if (result == 0 && !checkFw(fwData.data(), fwSize)) {
        LOG_ERROR("FwImage::load", "Check sum error\n");
        result = -6;
    }
    if (result == 0 && !checkFieldsInside()) {
        result = -6;
    }
    if (result == 0) {
        initPid();
        initVid();
    }
    isLoaded = (result == 0);
    if (!isLoaded)
        releaseData();
    LOG_DEBUG("FwImage::load", "Function ends.\n");
    return result;
}

int32_t FwImage::readFile(const char* fileName) {
    if (fileName == nullptr) {
        LOG_ERROR("FwImage::load", "Firmware image file name cannot be NULL.\n");
        return -1;
    }
    const std::string name = logSafeText(fileName);
    // Opened without blocking and checked on the open descriptor: a FIFO or a
    // device at the path (even one swapped in after any earlier check) is
    // refused, never waited on; a file above the bound is refused unread.
    uint64_t size = 0;
    uint32_t osError = 0;
    const FileReadError read =
        readRegularFile(fileName, kFwImageMaxBytes, &fwData, &size, &osError);
    if (read == FileReadError::openFailed || read == FileReadError::notRegular) {
        LOG_ERROR("FwImage::load", "Open firmware file failed. filename = %s.\n", name.c_str());
        return -2;
    }
    LOG_INFO("FwImage::load", "Open firmware file successfully. filename = %s.\n", name.c_str());
    fwSize = static_cast<uint32_t>(size);
    LOG_INFO("FwImage::load", "Firmware file size is %d.\n", static_cast<int>(fwSize));
    switch (read) {
        case FileReadError::none:
            return 0;
        case FileReadError::tooLarge:
            LOG_ERROR("FwImage::load",
                      "Firmware file of %llu bytes is larger than any firmware image (at most %llu "
                      "bytes); not read.\n",
                      static_cast<unsigned long long>(size),
                      static_cast<unsigned long long>(kFwImageMaxBytes));
            return -3;
        case FileReadError::noMemory:
            LOG_ERROR("FwImage::load", "Allocate memory for firmware data failed.\n");
            return -3;
        default:
            break;
    }
    if (osError != 0) {
        LOG_ERROR("FwImage::load", "Read firmware file failed. Error code: 0x%02X.\n", osError);
        return -4;
    }
    LOG_ERROR("FwImage::load", "Read file failed, bin file length(%d), read length(%d).\n",
              static_cast<int>(fwSize), static_cast<int>(fwData.size()));
    return -5;
}

bool FwImage::checkFieldsInside() {
    if (layout_ == nullptr)
        return true;
    const uint64_t size = fwData.size();
    const unsigned fileSize = static_cast<unsigned>(size);
    const uint64_t fixedEnd = std::max({static_cast<uint64_t>(layout_->pidOffset) + kFwPidBytes,
                                        static_cast<uint64_t>(layout_->vidOffset) + kFwVidBytes,
                                        static_cast<uint64_t>(layout_->countOffset) + 1});
    if (fixedEnd > size) {
        LOG_ERROR("FwImage::load",
                  "Firmware image too short: Pid, Vid and sub-firmware count end at %u, file size "
                  "%u.\n",
                  static_cast<unsigned>(fixedEnd), fileSize);
        return false;
    }
    const int32_t count = getFwSubFwNum();
    const uint64_t tableOffset = static_cast<uint32_t>(getFwSubFwInfoOffset());
    const uint64_t dataOffset = static_cast<uint32_t>(getFwSubFwDataOffset());
    const uint64_t tableEnd = tableOffset + static_cast<uint64_t>(count) * layout_->entrySize;
    if (tableEnd > size) {
        LOG_ERROR("FwImage::load",
                  "Firmware image too short: sub-firmware table ends at %u, file size %u.\n",
                  static_cast<unsigned>(tableEnd), fileSize);
        return false;
    }
    if (tableEnd > dataOffset) {
        LOG_ERROR("FwImage::load",
                  "Firmware image invalid: sub-firmware table of %d entries ends at %u, after the "
                  "start of the sub-firmware data at %u.\n",
                  count, static_cast<unsigned>(tableEnd), static_cast<unsigned>(dataOffset));
        return false;
    }
    uint64_t dataEnd = dataOffset;
    for (int32_t i = 0; i < count; ++i) {
        dataEnd += getFwSubFwLen(i);
    }
    if (dataEnd > size) {
        LOG_ERROR("FwImage::load",
                  "Firmware image too short: sub-firmware data end at %llu, file size %u.\n",
                  static_cast<unsigned long long>(dataEnd), fileSize);
        return false;
    }
    // Every sub-firmware must end inside the flash address range: past its end
    // the block addresses of the download would wrap round to the bottom.
    const uint64_t addressEnd = fwFlashAddressEnd(layout_->kind);
    for (int32_t i = 0; i < count; ++i) {
        const uint8_t* entry =
            fwData.data() + tableOffset + static_cast<uint64_t>(i) * layout_->entrySize;
        const uint32_t addr = entryAddress(layout_->kind, entry);
        const uint32_t length = entryLength(layout_->kind, entry);
        if (static_cast<uint64_t>(addr) + length > addressEnd) {
            LOG_ERROR("FwImage::load",
                      "Firmware image invalid: sub-firmware %d (flash address 0x%08X, length %u) "
                      "runs past the end of the flash address range at 0x%llX.\n",
                      i, addr, length, static_cast<unsigned long long>(addressEnd));
            return false;
        }
    }
    return true;
}

bool FwImage::checkFw(const uint8_t* data, uint32_t totalLen) {
    LOG_DEBUG("FwImage::checkFw", "FwImage::checkFw run.\n");
    if (data == nullptr || totalLen < kLayoutAHeaderSize) {
        LOG_ERROR("FwImage::checkFw",
                  "Firmware image too short: header ends at %u, file size %u.\n",
                  kLayoutAHeaderSize, totalLen);
        return false;
    }
    const uint32_t bodyLen = readBe32(data);
    if (bodyLen + kLayoutAHeaderSize != totalLen) {
        LOG_ERROR("FwImage::checkFw", "invalid len,from fw:%d.total len:%d.\n",
                  static_cast<int>(bodyLen), static_cast<int>(totalLen));
        return false;
    }
    const uint16_t calculated =
        fwChecksumLayoutA(data + kLayoutAHeaderSize, totalLen - kLayoutAHeaderSize);
    const uint16_t stored = static_cast<uint16_t>((data[4] << 8) | data[5]);
    if (calculated != stored) {
        LOG_ERROR("FwImage::checkFw",
                  "<FwImage::checkFw> Check sum error, calculated result(0x%02X), stored "
                  "checkSum(0x%02X).\n",
                  calculated, stored);
        return false;
    }
    LOG_DEBUG("FwImage::checkFw", "FwImage::checkFw exit.\n");
    return true;
}

int32_t FwImage::initPid() {
    LOG_WARNING("FwImage::initPid", "This function should not be called.\n");
    return -1;
}

int32_t FwImage::initVid() {
    LOG_WARNING("FwImage::initVid", "This function should not be called.\n");
    return -1;
}

int32_t FwImage::getFwSubFwNum() {
    LOG_WARNING("FwImage::getFwSubFwNum", "This function should not be called.\n");
    return 0;
}

int32_t FwImage::getFwSubFwInfoOffset() {
    LOG_WARNING("FwImage::getFwSubFwInfoOffset", "This function should not be called.\n");
    return 0;
}

int32_t FwImage::getFwSubFwDataOffset() {
    LOG_WARNING("FwImage::getFwSubFwDataOffset", "This function should not be called.\n");
    return 0;
}

const uint8_t* FwImage::getFwSubInfo(int32_t subFwIndex) {
    const int32_t count = getFwSubFwNum();
    const uint32_t tableOffset = static_cast<uint32_t>(getFwSubFwInfoOffset());
    LOG_DEBUG("FwImage::getFwSubInfo", "FwImage::getFwSubInfo run:%d.\n", subFwIndex);
    if (fwData.empty()) {
        LOG_ERROR("FwImage::getFwSubInfo", "FwImage getFwSubInfo,fw data is invalid.\n");
        return nullptr;
    }
    if (subFwIndex > count - 1) {
        LOG_ERROR("FwImage::getFwSubInfo",
                  "FwImage getFwSubInfo,argument is invalid,totoal sub num:%d,subFwIndex:%d.\n",
                  count, subFwIndex);
        return nullptr;
    }
    if (subFwIndex < 0)
        return nullptr;
    const uint64_t entry = tableOffset + static_cast<uint64_t>(subFwIndex) * kLayoutAEntrySize;
    if (!hasBytes(entry, kLayoutAEntrySize)) {
        LOG_ERROR("FwImage::getFwSubInfo",
                  "FwImage getFwSubInfo,entry %d at %llu lies outside the fw data (%u bytes).\n",
                  subFwIndex, static_cast<unsigned long long>(entry),
                  static_cast<unsigned>(fwData.size()));
        return nullptr;
    }
    return fwData.data() + entry;
}

uint8_t FwImage::getFwSubFwType(int32_t subFwIndex) {
    const uint8_t* entry = getFwSubInfo(subFwIndex);
    if (entry == nullptr) {
        LOG_ERROR("FwImage::getFwSubFwType",
                  "FwImage::getFwSubFwType,get fw sub fw info failed.\n");
        return 0xFF;
    }
    return entry[0];
}

uint32_t FwImage::getFwSubFwLen(int32_t subFwIndex) {
    const uint8_t* entry = getFwSubInfo(subFwIndex);
    if (entry == nullptr) {
        LOG_ERROR("FwImage::getFwSubFwLen", "FwImage::getFwSubFwLen,get fw sub fw info failed.\n");
        return 0xFFFFFFFF;
    }
    return entryLength(FwLayoutKind::A, entry);
}

uint32_t FwImage::getFwSubFwAddr(int32_t subFwIndex) {
    const uint8_t* entry = getFwSubInfo(subFwIndex);
    if (entry == nullptr) {
        LOG_ERROR("FwImage::getFwSubFwAddr",
                  "FwImage::getFwSubFwAddr,get fw sub fw info failed.\n");
        return 0xFFFFFFFF;
    }
    return entryAddress(FwLayoutKind::A, entry);
}

const uint8_t* FwImage::getFwSubFwData(int32_t subFwIndex) {
    const int32_t count = getFwSubFwNum();
    uint64_t offset = static_cast<uint32_t>(getFwSubFwDataOffset());
    if (!isLoaded || fwData.empty()) {
        LOG_ERROR("FwImage::getFwSubFwData", "FwImage::getFwSubFwData get fw data failed.\n");
        return nullptr;
    }
    for (int32_t j = 0; j < count; ++j) {
        const uint32_t length = getFwSubFwLen(j);
        if (j == subFwIndex) {
            // The caller reads `length` bytes from here: all of them must be inside.
            if (!hasBytes(offset, length)) {
                LOG_ERROR("FwImage::getFwSubFwData",
                          "FwImage::getFwSubFwData sub fw %d data (offset %llu, length %u) lie "
                          "outside the fw data (%u bytes).\n",
                          j, static_cast<unsigned long long>(offset), length,
                          static_cast<unsigned>(fwData.size()));
                return nullptr;
            }
            return fwData.data() + offset;
        }
        offset += length;
    }
    LOG_ERROR("FwImage::getFwSubFwData", "FwImage::getFwSubFwData end,can't find rawdata.\n");
    return nullptr;
}

// ---- layout B, shared by FwImage_FjordH3, FwImage_Corvina and FwImage_FjordK ----

int32_t FwImage::initPidLayoutB() {
    const std::string fn = qualified(layout_, "initPid");
    const char* cls = layout_->className;
    LOG_DEBUG(fn.c_str(), "<%s> Function begins.\n", fn.c_str());
    if (fwData.empty()) {
        LOG_ERROR(fn.c_str(), "<%s> initPid fwData is NULL.\n", fn.c_str());
        return -1;
    }
    if (!buildPid(layout_->pidOffset)) {
        LOG_ERROR(fn.c_str(), "<%s> %s initPid Pid lies outside the fw data (%u bytes).\n",
                  fn.c_str(), cls, static_cast<unsigned>(fwData.size()));
        return -1;
    }
    LOG_DEBUG(fn.c_str(), "<%s> Function ends:%s.\n", fn.c_str(), logSafeText(pid).c_str());
    return 0;
}

int32_t FwImage::initVidLayoutB() {
    const std::string fn = qualified(layout_, "initVid");
    const char* cls = layout_->className;
    LOG_DEBUG(fn.c_str(), "<%s> Function begins.\n", fn.c_str());
    if (fwData.empty()) {
        LOG_ERROR(fn.c_str(), "%s initVid fwData is NULL.\n", cls);
        return -1;
    }
    if (!copyVid(layout_->vidOffset)) {
        LOG_ERROR(fn.c_str(), "%s initVid Vid lies outside the fw data (%u bytes).\n", cls,
                  static_cast<unsigned>(fwData.size()));
        return -1;
    }
    LOG_INFO(fn.c_str(), "<%s> Vid is %02X %02X %02X %02X.\n", fn.c_str(), vid[0], vid[1], vid[2],
             vid[3]);
    return 0;
}

int32_t FwImage::getFwSubFwNumLayoutB() {
    const int32_t count = readCount(layout_->countOffset);
    if (count < 0) {
        const std::string fn = qualified(layout_, "getFwSubFwNum");
        if (fwData.empty()) {
            LOG_ERROR(fn.c_str(), "<%s> getFwSubFwNum fwData is NULL.\n", fn.c_str());
        } else {
            LOG_ERROR(fn.c_str(), "<%s> getFwSubFwNum count lies outside the fw data (%u bytes).\n",
                      fn.c_str(), static_cast<unsigned>(fwData.size()));
        }
        return 0;
    }
    return count;
}

const uint8_t* FwImage::getFwSubInfoLayoutB(int32_t subFwIndex) {
    const int32_t count = getFwSubFwNum();
    const uint32_t tableOffset = static_cast<uint32_t>(getFwSubFwInfoOffset());
    const char* cls = layout_->className;
    if (fwData.empty()) {
        const std::string fn = qualified(layout_, "getFwSubInfo");
        LOG_ERROR(fn.c_str(), "%s getFwSubInfo,fw data is invalid.\n", cls);
        return nullptr;
    }
    if (subFwIndex > count - 1) {
        const std::string fn = qualified(layout_, "getFwSubInfo");
        LOG_ERROR(fn.c_str(),
                  "%s getFwSubInfo,argument is invalid,totoal sub num:%d,subFwIndex:%d.\n", cls,
                  count, subFwIndex);
        return nullptr;
    }
    if (subFwIndex < 0)
        return nullptr;
    const uint64_t entry = tableOffset + static_cast<uint64_t>(subFwIndex) * kLayoutBEntrySize;
    if (!hasBytes(entry, kLayoutBEntrySize)) {
        const std::string fn = qualified(layout_, "getFwSubInfo");
        LOG_ERROR(fn.c_str(),
                  "%s getFwSubInfo,entry %d at %llu lies outside the fw data (%u bytes).\n", cls,
                  subFwIndex, static_cast<unsigned long long>(entry),
                  static_cast<unsigned>(fwData.size()));
        return nullptr;
    }
    return fwData.data() + entry;
}

uint32_t FwImage::getFwSubFwLenLayoutB(int32_t subFwIndex) {
    const uint8_t* entry = getFwSubInfo(subFwIndex);
    if (entry == nullptr) {
        const std::string fn = qualified(layout_, "getFwSubFwLen");
        LOG_ERROR(fn.c_str(), "%s,get fw sub fw info failed.\n", fn.c_str());
        return 0xFFFFFFFF;
    }
    return entryLength(FwLayoutKind::B, entry);
}

uint32_t FwImage::getFwSubFwAddrLayoutB(int32_t subFwIndex) {
    const uint8_t* entry = getFwSubInfo(subFwIndex);
    if (entry == nullptr) {
        const std::string fn = qualified(layout_, "getFwSubFwAddr");
        LOG_ERROR(fn.c_str(), "%s,get fw sub fw info failed.\n", fn.c_str());
        return 0xFFFFFFFF;
    }
    return entryAddress(FwLayoutKind::B, entry);
}

bool FwImage::checkFwLayoutB(const uint8_t* data, uint32_t totalLen) {
    const std::string fn = qualified(layout_, "checkFw");
    if (data == nullptr || totalLen < kLayoutBHeaderSize) {
        LOG_ERROR(fn.c_str(), "Firmware image too short: header ends at %u, file size %u.\n",
                  kLayoutBHeaderSize, totalLen);
        return false;
    }
    const uint32_t bodyLen = readLe32(data);
    if (bodyLen + kLayoutBHeaderSize != totalLen) {
        LOG_ERROR(fn.c_str(), "%s, fw invalid len,from fw:%d.total len:%d.\n", fn.c_str(),
                  static_cast<int>(bodyLen), static_cast<int>(totalLen));
        return false;
    }
    const uint32_t calculated =
        fwChecksumLayoutB(data + kLayoutBHeaderSize, totalLen - kLayoutBHeaderSize);
    const uint32_t stored = readLe32(data + 4);
    if (calculated != stored) {
        LOG_ERROR(fn.c_str(),
                  "<FwImage::checkFw> Check sum error, calculated result(0x%02X), stored "
                  "checkSum(0x%02X).\n",
                  calculated, stored);
        return false;
    }
    return true;
}

std::unique_ptr<FwImage> createFwImage(int32_t type) {
    switch (type) {
        case CHIP_5410:
            return std::make_unique<FwImage_5410>();
        case CHIP_5415R:
            return std::make_unique<FwImage_5415R>();
        case CHIP_FJORDK:
        case CHIP_FJORDK8:
        case CHIP_FJORDK4:
            return std::make_unique<FwImage_FjordK>();
        case CHIP_FJORDH3:
            return std::make_unique<FwImage_FjordH3>();
        case CHIP_CORVINA:
            return std::make_unique<FwImage_Corvina>();
        default:
            return nullptr;
    }
}
