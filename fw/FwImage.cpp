#include "fw/FwImage.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#endif

#include "cfg/InputFile.h"
#include "chip/ChipProfile.h"
#include "log/Log.h"
#include "sys/Bytes.h"

const FwImageLayout kFwLayout5410 = {"FwImage_5410", FwLayoutKind::A, 6, 15, 23, 27, 32, 8, 256};
const FwImageLayout kFwLayout5415R = {"FwImage_5415R", FwLayoutKind::A, 6, 15, 23, 27, 32, 8, 256};
const FwImageLayout kFwLayoutFjordH3 = {
    "FwImage_FjordH3", FwLayoutKind::B, 8, 17, 25, 29, 36, 10, 256};
const FwImageLayout kFwLayoutCorvina = {
    "FwImage_Corvina", FwLayoutKind::B, 8, 17, 25, 29, 42, 10, 512};
const FwImageLayout kFwLayoutFjordK = {
    "FwImage_FjordK", FwLayoutKind::B, 8, 17, 25, 29, 42, 10, 512};

namespace {

template <const FwImageLayout* Layout>
std::unique_ptr<FwImage> makeImage(const ChipFamily&) {
    return std::make_unique<FwImage>(Layout);
}

// The chip of a 5415R image reports its product id as the family's fresh-chip Pid.
std::unique_ptr<FwImage> makeImage5415R(const ChipFamily& family) {
    return std::make_unique<FwImage_5415R>(family.pidText);
}

// How a family's images are laid out and read; a row per firmware image kind.
struct FwImageWay {
    const FwImageLayout* layout;
    std::unique_ptr<FwImage> (*make)(const ChipFamily&);
};

// Indexed by FwImageKind.
const FwImageWay kFwImageWays[] = {
    {nullptr, nullptr},
    {&kFwLayout5410, makeImage<&kFwLayout5410>},
    {&kFwLayout5415R, makeImage5415R},
    {&kFwLayoutFjordK, makeImage<&kFwLayoutFjordK>},
    {&kFwLayoutFjordH3, makeImage<&kFwLayoutFjordH3>},
    {&kFwLayoutCorvina, makeImage<&kFwLayoutCorvina>},
};

}  // namespace

const FwImageLayout* fwImageLayout(int32_t type) {
    return wayOf(kFwImageWays, familyOf(type).fwImage).layout;
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

// Length and flash address of a table entry (the layout's entrySize bytes at `entry`).
uint32_t entryLength(FwLayoutKind kind, const uint8_t* entry) {
    return kind == FwLayoutKind::A ? readBe32(entry + 1) : readLe32(entry + 1);
}

uint32_t entryAddress(FwLayoutKind kind, const uint8_t* entry) {
    return kind == FwLayoutKind::A ? readBe16(entry + 5) << 8 : readLe32(entry + 5);
}

// "<owner>::<operation>", the function name of a log line, built without the
// heap (the accessors build it only for the lines the log level lets through).
struct QualifiedName {
    char text[64];
    const char* c_str() const { return text; }
};

QualifiedName qualified(const char* owner, const char* operation) {
    QualifiedName name;
    std::snprintf(name.text, sizeof name.text, "%s::%s", owner, operation);
    return name;
}

const InputFileTexts kImageFileTexts = {
    "FwImage::load",   // function
    "",                // lead
    "Firmware image",  // nameTitle
    "firmware",        // fileKind
    "Firmware",        // fileTitle
    " is ",            // sizeIs
    "",                // sizeUnit
    "firmware image",  // largestKind
    "firmware data",   // bufferName
};

}  // namespace

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

void FwImage::clearForLoad() {
    releaseData();
    fwSize = 0;
    std::memset(pid, 0, sizeof pid);
    std::memset(vid, 0, sizeof vid);
}

int32_t FwImage::load(const char* fileName) {
    LOG_DEBUG("FwImage::load", "Function begins.\n");
    clearForLoad();
    uint64_t size = 0;
    const int32_t read = readInputFile(fileName, kFwImageMaxBytes, kImageFileTexts, &fwData, &size);
    fwSize = static_cast<uint32_t>(size);
    const int32_t result = finishLoad(read);
    if (result != 0)
        releaseData();
    LOG_DEBUG("FwImage::load", "Function ends.\n");
    return result;
}

int32_t FwImage::loadContents(std::vector<uint8_t>& contents) {
    clearForLoad();
    if (contents.size() > kFwImageMaxBytes)
        return -3;
    fwData.swap(contents);
    fwSize = static_cast<uint32_t>(fwData.size());
    const int32_t result = finishLoad(0);
    if (result != 0) {
        contents.swap(fwData);
        releaseData();
    }
    return result;
}

int32_t FwImage::finishLoad(int32_t result) {
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
    return result;
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

const FwImageLayout& FwImage::decoding() const {
    return layout_ != nullptr ? *layout_ : kFwLayout5410;
}

bool FwImage::isLayoutB() const {
    return layout_ != nullptr && layout_->kind == FwLayoutKind::B;
}

const char* FwImage::decoderName() const {
    return isLayoutB() ? layout_->className : "FwImage";
}

bool FwImage::checkFw(const uint8_t* data, uint32_t totalLen) {
    const FwImageLayout& row = decoding();
    const bool layoutB = isLayoutB();
    const QualifiedName fn = qualified(decoderName(), "checkFw");
    if (!layoutB)
        LOG_DEBUG(fn.c_str(), "FwImage::checkFw run.\n");
    const uint32_t header = row.headerSize;
    if (data == nullptr || totalLen < header) {
        LOG_ERROR(fn.c_str(), "Firmware image too short: header ends at %u, file size %u.\n",
                  header, totalLen);
        return false;
    }
    const uint32_t bodyLen = layoutB ? readLe32(data) : readBe32(data);
    if (bodyLen + header != totalLen) {
        if (layoutB) {
            LOG_ERROR(fn.c_str(), "%s, fw invalid len,from fw:%d.total len:%d.\n", fn.c_str(),
                      static_cast<int>(bodyLen), static_cast<int>(totalLen));
        } else {
            LOG_ERROR(fn.c_str(), "invalid len,from fw:%d.total len:%d.\n",
                      static_cast<int>(bodyLen), static_cast<int>(totalLen));
        }
        return false;
    }
    // The checksum field follows the 4-byte length field.
    const uint32_t calculated = layoutB ? fwChecksumLayoutB(data + header, totalLen - header)
                                        : fwChecksumLayoutA(data + header, totalLen - header);
    const uint32_t stored = layoutB ? readLe32(data + 4) : readBe16(data + 4);
    if (calculated != stored) {
        LOG_ERROR(fn.c_str(),
                  "<FwImage::checkFw> Check sum error, calculated result(0x%02X), stored "
                  "checkSum(0x%02X).\n",
                  calculated, stored);
        return false;
    }
    if (!layoutB)
        LOG_DEBUG(fn.c_str(), "FwImage::checkFw exit.\n");
    return true;
}

int32_t FwImage::initPid() {
    return initPidTakingAs(nullptr, nullptr);
}

int32_t FwImage::initPidTakingAs(const char* prefix, const char* reportedPid) {
    if (layout_ == nullptr) {
        LOG_WARNING("FwImage::initPid", "This function should not be called.\n");
        return -1;
    }
    const char* cls = layout_->className;
    const bool layoutB = isLayoutB();
    const QualifiedName fn = qualified(cls, "initPid");
    LOG_DEBUG(fn.c_str(), "<%s> Function begins.\n", fn.c_str());
    int32_t result = -1;
    if (fwData.empty()) {
        if (layoutB) {
            LOG_ERROR(fn.c_str(), "<%s> initPid fwData is NULL.\n", fn.c_str());
        } else {
            LOG_ERROR(fn.c_str(), "<%s> %s initPid fwData is NULL.\n", fn.c_str(), cls);
        }
    } else if (!buildPid(layout_->pidOffset)) {
        LOG_ERROR(fn.c_str(), "<%s> %s initPid Pid lies outside the fw data (%u bytes).\n",
                  fn.c_str(), cls, static_cast<unsigned>(fwData.size()));
    } else if (layoutB) {
        LOG_DEBUG(fn.c_str(), "<%s> Function ends:%s.\n", fn.c_str(), logSafeText(pid).c_str());
        return 0;
    } else if (prefix != nullptr && std::strncmp(pid, prefix, std::strlen(prefix)) == 0) {
        LOG_INFO(fn.c_str(), "<%s> %s Pid is %s (%s).\n", fn.c_str(), cls, prefix, reportedPid);
        std::memset(pid, 0, sizeof pid);
        std::memcpy(pid, reportedPid, std::min(std::strlen(reportedPid), sizeof pid - 1));
        result = 0;
    } else {
        LOG_INFO(fn.c_str(), "<%s> %s Pid is %s.\n", fn.c_str(), cls, logSafeText(pid).c_str());
        result = 0;
    }
    if (!layoutB)
        LOG_DEBUG(fn.c_str(), "<%s> Function ends.\n", fn.c_str());
    return result;
}

int32_t FwImage::initVid() {
    if (layout_ == nullptr) {
        LOG_WARNING("FwImage::initVid", "This function should not be called.\n");
        return -1;
    }
    const char* cls = layout_->className;
    const bool layoutB = isLayoutB();
    const QualifiedName fn = qualified(cls, "initVid");
    LOG_DEBUG(fn.c_str(), "<%s> Function begins.\n", fn.c_str());
    int32_t result = -1;
    if (fwData.empty()) {
        LOG_ERROR(fn.c_str(), "%s initVid fwData is NULL.\n", cls);
    } else if (!copyVid(layout_->vidOffset)) {
        LOG_ERROR(fn.c_str(), "%s initVid Vid lies outside the fw data (%u bytes).\n", cls,
                  static_cast<unsigned>(fwData.size()));
    } else if (layoutB) {
        LOG_INFO(fn.c_str(), "<%s> Vid is %s.\n", fn.c_str(), vidText(vid).c_str());
        return 0;
    } else {
        LOG_INFO(fn.c_str(), "<%s> %s Vid is %s.\n", fn.c_str(), cls, vidText(vid).c_str());
        result = 0;
    }
    if (!layoutB)
        LOG_DEBUG(fn.c_str(), "<%s> Function ends.\n", fn.c_str());
    return result;
}

int32_t FwImage::getFwSubFwNum() {
    if (layout_ == nullptr) {
        LOG_WARNING("FwImage::getFwSubFwNum", "This function should not be called.\n");
        return 0;
    }
    const char* cls = layout_->className;
    const bool layoutB = isLayoutB();
    const auto fn = [cls] { return qualified(cls, "getFwSubFwNum"); };
    if (!layoutB)
        LOG_DEBUG(fn().c_str(), "<%s>\n", fn().c_str());
    const uint32_t countAt = layout_->countOffset;
    const int32_t count = hasBytes(countAt, 1) ? fwData[countAt] : -1;
    if (count >= 0) {
        if (!layoutB)
            LOG_DEBUG(fn().c_str(), "<%s> Success.\n", fn().c_str());
        return count;
    }
    const unsigned size = static_cast<unsigned>(fwData.size());
    if (layoutB && fwData.empty()) {
        LOG_ERROR(fn().c_str(), "<%s> getFwSubFwNum fwData is NULL.\n", fn().c_str());
    } else if (layoutB) {
        LOG_ERROR(fn().c_str(), "<%s> getFwSubFwNum count lies outside the fw data (%u bytes).\n",
                  fn().c_str(), size);
    } else if (fwData.empty()) {
        LOG_ERROR(fn().c_str(), "<%s> %s getFwSubFwNum fwData is NULL.\n", fn().c_str(), cls);
    } else {
        LOG_ERROR(fn().c_str(),
                  "<%s> %s getFwSubFwNum count lies outside the fw data (%u bytes).\n",
                  fn().c_str(), cls, size);
    }
    if (!layoutB)
        LOG_DEBUG(fn().c_str(), "<%s> Failed.\n", fn().c_str());
    return 0;
}

int32_t FwImage::getFwSubFwInfoOffset() {
    if (layout_ == nullptr) {
        LOG_WARNING("FwImage::getFwSubFwInfoOffset", "This function should not be called.\n");
        return 0;
    }
    if (!isLayoutB()) {
        LOG_DEBUG(qualified(layout_->className, "getFwSubFwInfoOffset").c_str(), "<%s>\n",
                  qualified(layout_->className, "getFwSubFwInfoOffset").c_str());
    }
    return static_cast<int32_t>(layout_->tableOffset);
}

int32_t FwImage::getFwSubFwDataOffset() {
    if (layout_ == nullptr) {
        LOG_WARNING("FwImage::getFwSubFwDataOffset", "This function should not be called.\n");
        return 0;
    }
    if (!isLayoutB()) {
        LOG_DEBUG(qualified(layout_->className, "getFwSubFwDataOffset").c_str(), "<%s>\n",
                  qualified(layout_->className, "getFwSubFwDataOffset").c_str());
    }
    return static_cast<int32_t>(layout_->dataOffset);
}

const uint8_t* FwImage::getFwSubInfo(int32_t subFwIndex) {
    const int32_t count = getFwSubFwNum();
    const uint32_t tableOffset = static_cast<uint32_t>(getFwSubFwInfoOffset());
    const char* owner = decoderName();
    const auto fn = [owner] { return qualified(owner, "getFwSubInfo"); };
    if (!isLayoutB())
        LOG_DEBUG(fn().c_str(), "FwImage::getFwSubInfo run:%d.\n", subFwIndex);
    if (fwData.empty()) {
        LOG_ERROR(fn().c_str(), "%s getFwSubInfo,fw data is invalid.\n", owner);
        return nullptr;
    }
    if (subFwIndex > count - 1) {
        LOG_ERROR(fn().c_str(),
                  "%s getFwSubInfo,argument is invalid,totoal sub num:%d,subFwIndex:%d.\n", owner,
                  count, subFwIndex);
        return nullptr;
    }
    if (subFwIndex < 0)
        return nullptr;
    const uint32_t entrySize = decoding().entrySize;
    const uint64_t entry = tableOffset + static_cast<uint64_t>(subFwIndex) * entrySize;
    if (!hasBytes(entry, entrySize)) {
        LOG_ERROR(fn().c_str(),
                  "%s getFwSubInfo,entry %d at %llu lies outside the fw data (%u bytes).\n", owner,
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
        LOG_ERROR(qualified(decoderName(), "getFwSubFwLen").c_str(),
                  "%s,get fw sub fw info failed.\n",
                  qualified(decoderName(), "getFwSubFwLen").c_str());
        return 0xFFFFFFFF;
    }
    return entryLength(decoding().kind, entry);
}

uint32_t FwImage::getFwSubFwAddr(int32_t subFwIndex) {
    const uint8_t* entry = getFwSubInfo(subFwIndex);
    if (entry == nullptr) {
        LOG_ERROR(qualified(decoderName(), "getFwSubFwAddr").c_str(),
                  "%s,get fw sub fw info failed.\n",
                  qualified(decoderName(), "getFwSubFwAddr").c_str());
        return 0xFFFFFFFF;
    }
    return entryAddress(decoding().kind, entry);
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

std::unique_ptr<FwImage> createFwImage(int32_t type) {
    const FwImageWay& way = wayOf(kFwImageWays, familyOf(type).fwImage);
    return way.make != nullptr ? way.make(familyOf(type)) : nullptr;
}

void forEachFamilyImage(const std::function<void(const ChipFamily&, FwImage&)>& tryOne) {
    for (size_t row = 0; const ChipFamily* family = chipFamilyAt(row); ++row) {
        if (std::unique_ptr<FwImage> image = createFwImage(family->type))
            tryOne(*family, *image);
    }
}

// ---- the family classes: a layout row each, and the 5415R Pid ----

FwImage_5415R::FwImage_5415R(const char* reportedPid)
    : FwImage(&kFwLayout5415R), reportedPid_(reportedPid) {}

int32_t FwImage_5415R::initPid() {
    return initPidTakingAs("5415R", reportedPid_);
}
