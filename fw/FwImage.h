// fw: firmware images and the firmware update.
//
// Offers FwImage (with FwImage_5415R, the one family that differs in more
// than its layout row): a firmware image file read
// whole into memory, checked (size bound, length, checksum, that every field
// the file describes lies inside it and every sub-firmware inside the flash
// address range), with its Pid, Vid and sub-firmware table
// answered by index; the per-family field positions (FwImageLayout) and the
// two body checksums, which the image builder tool shares; and the firmware
// update driver (FwUpdate.h).
// Relies on: log (messages), chip (family table), cfg (input file reads,
// configuration images, the configuration read-back of --verify).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sys/Bytes.h"

// Layout A: 6-byte big-endian header (body length, 16-bit byte sum) and
// 8-byte big-endian table entries with the flash address in 256-byte units.
// Layout B: 8-byte little-endian header (body length, 32-bit sum of 16-bit
// little-endian words) and 10-byte little-endian entries with a full address.
enum class FwLayoutKind { A, B };

// Where one family's image keeps its fields (offsets from the start of the file).
struct FwImageLayout {
    const char* className;
    FwLayoutKind kind;
    uint32_t headerSize;   // length and checksum fields; the body starts here
    uint32_t pidOffset;    // kFwPidBytes bytes of Pid text
    uint32_t vidOffset;    // kFwVidBytes bytes of version id
    uint32_t countOffset;  // one byte: number of sub-firmwares
    uint32_t tableOffset;  // first table entry
    uint32_t entrySize;    // bytes per table entry
    uint32_t dataOffset;   // first byte of the data of sub-firmware 0
};

constexpr uint32_t kFwPidBytes = 8;

// Largest file load reads: far above any image of these chips' flash. A
// larger file is refused by its size before anything is read.
constexpr uint64_t kFwImageMaxBytes = uint64_t{64} << 20;

// End of the flash address range a table entry can name: 24 bits in layout A
// (the entry carries address bits 8 to 23), 32 bits in layout B. A
// sub-firmware must end at or below it.
constexpr uint64_t fwFlashAddressEnd(FwLayoutKind kind) {
    return uint64_t{1} << (kind == FwLayoutKind::A ? 24 : 32);
}
constexpr uint32_t kFwVidBytes = 4;
// A Vid as the tools show it: "01 02 03 04".
inline std::string vidText(const uint8_t* vid) {
    return hexText(vid, kFwVidBytes, ' ');
}

extern const FwImageLayout kFwLayout5410;
extern const FwImageLayout kFwLayout5415R;
extern const FwImageLayout kFwLayoutFjordH3;
extern const FwImageLayout kFwLayoutCorvina;
extern const FwImageLayout kFwLayoutFjordK;

// The layout of a chip type's images (fjordK8 and fjordK4 share fjordK's);
// nullptr for an unknown chip type.
const FwImageLayout* fwImageLayout(int32_t chipType);

// Layout A checksum: the sum of the bytes, modulo 65536.
uint16_t fwChecksumLayoutA(const uint8_t* body, size_t size);
// Layout B checksum: the sum of the 16-bit little-endian words, modulo 2^32;
// an odd last byte counts as a word whose high byte is 0.
uint32_t fwChecksumLayoutB(const uint8_t* body, size_t size);

// A firmware image. The class decodes both layouts from the family's layout
// row (without a row it decodes layout A); a family whose images differ in
// more than their row has a subclass that overrides only that. Every accessor stays inside
// fwData whatever the file says, and answers with its "none" value otherwise.
class FwImage {
  public:
    FwImage() = default;
    // An image of the family whose layout row is `layout`; the row names it
    // in the log.
    explicit FwImage(const FwImageLayout* layout) : layout_(layout) {}
    virtual ~FwImage() = default;
    FwImage(const FwImage&) = delete;
    FwImage& operator=(const FwImage&) = delete;

    // Reads and validates the file, then fills pid and vid. 0 success;
    // -1 no file name; -2 the file cannot be opened or is not a regular file;
    // -3 no memory for the contents, or the file is larger than
    // kFwImageMaxBytes (refused unread); -4 the read fails; -5 fewer bytes
    // read than the file size; -6 length or checksum wrong, a field lies
    // beyond the end of the file, or a sub-firmware runs past the end of the
    // flash address range.
    // A failed load leaves the object not loaded and without contents.
    int32_t load(const char* fileName);
    // What load() does once the file is read, on `contents` (the whole file,
    // taken over without a copy): 0, -3 for more than kFwImageMaxBytes
    // bytes, or -6 as load(). On success the bytes are fwData; on failure
    // they are given back in `contents` and the object is left not loaded
    // and without contents.
    int32_t loadContents(std::vector<uint8_t>& contents);
    // Clears isLoaded and releases fwData.
    void releaseData();

    virtual int32_t initPid();
    virtual int32_t initVid();
    // The table entry of a sub-firmware inside fwData, or nullptr.
    virtual const uint8_t* getFwSubInfo(int32_t subFwIndex);
    virtual int32_t getFwSubFwNum();
    virtual int32_t getFwSubFwInfoOffset();
    virtual int32_t getFwSubFwDataOffset();
    // 0xFF when there is no entry.
    virtual uint8_t getFwSubFwType(int32_t subFwIndex);
    // 0xFFFFFFFF when there is no entry.
    virtual uint32_t getFwSubFwLen(int32_t subFwIndex);
    // Flash address; 0xFFFFFFFF when there is no entry.
    virtual uint32_t getFwSubFwAddr(int32_t subFwIndex);
    // The first of getFwSubFwLen(subFwIndex) data bytes inside fwData, or
    // nullptr (also when those bytes would not all lie inside fwData).
    virtual const uint8_t* getFwSubFwData(int32_t subFwIndex);
    // Validates `totalLen` bytes at `data` (the whole file): length field and
    // checksum. Reads nothing beyond data + totalLen.
    virtual bool checkFw(const uint8_t* data, uint32_t totalLen);

    // Field positions of the family; nullptr for the bare base class.
    const FwImageLayout* layout() const { return layout_; }

    bool isLoaded = false;
    uint32_t fwSize = 0;          // file size when loaded
    char pid[12] = {};            // NUL-terminated product id text
    uint8_t vid[4] = {};          // version id bytes in file order
    std::vector<uint8_t> fwData;  // the whole file; empty means "no data"

  protected:
    // initPid for a family whose chip reports a Pid beginning with `prefix`
    // as `reportedPid` (nullptr prefix: the Pid stays as read).
    int32_t initPidTakingAs(const char* prefix, const char* reportedPid);

  private:
    // Back to an empty, not loaded object before a load.
    void clearForLoad();
    // The checks and fields of a load whose read gave `result`.
    int32_t finishLoad(int32_t result);
    // Pid, Vid, count, table and data all inside the file, the table before the data.
    bool checkFieldsInside();

    // The row the base decodes with: the family's, or the 5410's (layout A)
    // for the bare base class.
    const FwImageLayout& decoding() const;
    bool isLayoutB() const;
    // Owner of the header, entry and checksum decoding in the log lines: the
    // layout B class, or FwImage.
    const char* decoderName() const;
    // True when fwData holds `length` bytes from `offset` on.
    bool hasBytes(uint64_t offset, uint64_t length) const;
    // Builds pid from the kFwPidBytes bytes at `offset`, skipping zero bytes.
    // False (pid left empty) when they do not lie inside fwData.
    bool buildPid(uint32_t offset);
    // Copies the kFwVidBytes bytes at `offset` into vid; false when outside.
    bool copyVid(uint32_t offset);

    const FwImageLayout* layout_ = nullptr;
};

// A 5415R image: a Pid beginning with "5415R" is taken as `reportedPid`, the
// Pid the family's chip reports (createFwImage gives "5416").
class FwImage_5415R : public FwImage {
  public:
    explicit FwImage_5415R(const char* reportedPid);
    int32_t initPid() override;

  private:
    const char* reportedPid_;
};

// An empty image object of the chip type's family, made by the family's row
// of the firmware image table; nullptr for an unknown type.
std::unique_ptr<FwImage> createFwImage(int32_t chipType);

struct ChipFamily;
// Which families' layouts fit an image file: `tryOne` is called with each
// family that has an image layout, in table order, and an empty image object
// of that family to load the file with.
void forEachFamilyImage(const std::function<void(const ChipFamily&, FwImage&)>& tryOne);
