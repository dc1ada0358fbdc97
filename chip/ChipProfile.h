// chip: chip family table, chip type and chip profile.
//
// Offers the chip family table (one row a family: type, names, USB keys, the
// Pid text of a fresh chip, the framing version (its row in chip/Framing.h),
// and the columns that say which way of doing a job the family takes:
// configuration kind, firmware image class, report control, data mode, and
// its trait bits), the process-wide chip type and the chip profile: the
// register addresses, lengths, values and command byte sequences of the
// selected family. initChipProfile() fills the profile once at start-up;
// afterwards every layer only reads it. Code above chip/ reads a family's
// columns through familyOf(), walks the families with chipFamilyAt(), and
// never names a chip type itself: each layer keeps a table of its ways of
// doing a job, indexed by the column (docs/ARCHITECTURE.md, "A family's
// ways").
// Relies on: nothing but the C++ standard library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum ChipTypeValue : int32_t {
    CHIP_5410 = 1,
    CHIP_5415R = 2,
    CHIP_FJORDK = 3,
    CHIP_FJORDH3 = 4,
    CHIP_CORVINA = 5,
    CHIP_FJORDK8 = 6,
    CHIP_FJORDK4 = 7,
};

// USB vendor id and usage of the vendor collection, the same for every family.
constexpr uint16_t kChipVendorId = 0x2A94;
constexpr uint16_t kChipUsage = 0x0001;

// The chip family a run talks to when no --chip is given.
constexpr int32_t kDefaultChipType = CHIP_FJORDK;

// Configuration block layout, version position and configuration commands.
enum class CfgKind : uint8_t {
    none,         // unknown chip type: no configuration
    legacy5410,   // bytes 0-3 sum to 0; version at byte 0; register commands with ready values
    legacy5415R,  // bytes 0-2 sum to bytes 3-4; otherwise as legacy5410
    fjord,        // 64-byte block, checksum at 62, version at 34; acknowledged commands
};

// The 5410 and 5415R kinds.
constexpr bool isLegacyCfg(CfgKind kind) {
    return kind == CfgKind::legacy5410 || kind == CfgKind::legacy5415R;
}

// Firmware image layout (fw/FwImage.cpp's table; the log names them
// FwImage_5410, FwImage_5415R, FwImage_FjordK, FwImage_FjordH3, FwImage_Corvina).
enum class FwImageKind : uint8_t { none, fw5410, fw5415R, fjordK, fjordH3, corvina };

// How touch reporting is paused and resumed (ops/ReportControl.cpp's table):
// the way of that name, not at all (none: pausing succeeds at once), or not
// known (unsupported: DisableReport and EnableReport fail).
enum class ReportControlKind : uint8_t { unsupported, none, rc5410, rc5415R, fjordH3, corvina };

// How touch-data mode is entered (ops/DataMode.cpp's table): ackPoll polls
// cmdAddr for the profile's dataModeAck, cmdStatus the command status.
enum class DataModeKind : uint8_t { unsupported, ackPoll, cmdStatus };

// The last value of each family column; a layer's table of ways holds one
// entry per value, in enum order.
template <typename Kind>
inline constexpr Kind kLastKind{};
template <>
inline constexpr CfgKind kLastKind<CfgKind> = CfgKind::fjord;
template <>
inline constexpr FwImageKind kLastKind<FwImageKind> = FwImageKind::corvina;
template <>
inline constexpr ReportControlKind kLastKind<ReportControlKind> = ReportControlKind::corvina;
template <>
inline constexpr DataModeKind kLastKind<DataModeKind> = DataModeKind::cmdStatus;

// The entry of a table of ways for a column value; the table's size is checked
// when it is compiled.
template <typename Way, size_t N, typename Kind>
constexpr const Way& wayOf(const Way (&table)[N], Kind kind) {
    static_assert(N == static_cast<size_t>(kLastKind<Kind>) + 1, "one way per kind");
    return table[static_cast<size_t>(kind)];
}

// Trait bits of a family.
enum FamilyTrait : uint32_t {
    TRAIT_CFG_ONLY_UPDATE = 1u << 0,    // a configuration may be written without firmware
    TRAIT_CFG_WITH_FIRMWARE = 1u << 1,  // a firmware update flashes the configuration too
    TRAIT_UPDATE_RAM_CHECK = 1u << 2,   // the update program echoes a pattern at fwBufAddr
    TRAIT_CHIP_CFG_VERSION = 1u << 4,   // the chip's cfg version stands for the file's
};

// Everything that names or finds a chip family, and how it does its jobs.
struct ChipFamily {
    int32_t type;              // a ChipTypeValue
    const char* name;          // canonical name, as shown and logged
    const char* acceptedName;  // the --chip value (upper case; matched in any case)
    uint16_t defaultPid;       // USB product id looked for when no --pid is given
    uint16_t usagePage;        // usage page of the family's vendor collection
    const char* pidText;       // Pid text a fresh chip of the family reports
    int32_t framing;           // register framing version (the profile's protoType)
    CfgKind cfg;
    FwImageKind fwImage;
    ReportControlKind reportControl;
    DataModeKind dataMode;
    uint32_t traits;  // FamilyTrait bits

    bool has(FamilyTrait trait) const { return (traits & trait) != 0; }
};

// The family of a chip type; nullptr when unknown.
const ChipFamily* chipFamily(int32_t type);
// The family of a chip type; for an unknown one a row without names whose
// columns all say none or unsupported.
const ChipFamily& familyOf(int32_t type);
// The family in row `index` of the table (rows in chip type order); nullptr
// past the last row. Lists of families are made from it.
const ChipFamily* chipFamilyAt(size_t index);
// The family whose accepted name is `name` in any case; nullptr when unknown.
const ChipFamily* chipFamilyNamed(const std::string& name);

// A fixed-capacity byte sequence; only the first `len` bytes are meaningful.
template <size_t Capacity, typename LengthType>
struct ByteSeq {
    uint8_t data[Capacity];
    LengthType len;

    size_t size() const { return static_cast<size_t>(len); }
    bool empty() const { return len == 0; }
};

using Seq12 = ByteSeq<12, uint32_t>;  // up to 12 bytes, 32-bit length
using Seq10 = ByteSeq<10, uint8_t>;   // up to 10 bytes, 8-bit length

struct ChipProfile {
    // Identity and protocol
    int32_t protoType;
    uint32_t pidAddr;
    int32_t pidLen;
    uint32_t vidAddr;
    int32_t vidLen;
    uint32_t sidAddr;
    // Sensor geometry
    int32_t maxRowNum;
    int32_t maxColNum;
    // Configuration
    uint32_t cfgAddr;
    uint32_t cmdAddr;
    Seq12 cfgStartCmd;
    uint8_t cfgStartReadyValue;
    Seq12 cfgFinishCmd;
    uint8_t cfgFinishReadyValue;
    Seq10 cfgResetCmd;  // written to cmdAddr after every configuration attempt
    Seq10 cfgWriteDoneCmd;
    Seq10 cfgCmdAck;
    int32_t cfgVerLen;
    Seq10 cfgReadStartCmd;
    Seq10 cfgReadEndCmd;
    Seq10 cfgReadEndAck;
    Seq10 cfgFinishAltAnswer;  // 5415R: a finish answer that also means ready
    // Firmware update
    Seq12 switchToPatchCmd;
    Seq12 enterUpdateCmd;
    Seq12 restartCmd;
    Seq12 flashBlockCmd;
    Seq12 flashPrepareCmd;  // raw report sent before the sixth sub-firmware
    uint32_t patchStatusAddr;
    uint8_t patchReadyValue;
    uint32_t fwBufAddr;
    uint32_t flashStatusAddr;
    uint8_t flashAckValue;
    uint32_t cfgFlashAddr;
    // Report control
    uint32_t reportCmdAddr;
    Seq10 disableReportCmd;
    Seq10 enableReportCmd;
    uint32_t reportStatusAddr;
    Seq10 reportQueryCmd;     // asks for the report status (5410: a three-byte answer)
    uint8_t reportCheckSeed;  // 5410: with it the answer's check bytes sum to zero
    // Touch data
    Seq10 dataModeCmd;
    Seq10 normalModeCmd;
    uint8_t dataModeAck;  // what cmdAddr reads once data mode is on (ackPoll families)
    uint32_t dataReadyAddr;
    uint8_t dataReadyMask;
    uint8_t dataBigEndian;
    uint32_t rawDataAddr;
    uint32_t diffDataAddr;
    uint32_t baseDataAddr;

    // Bytes of the largest frame the chip delivers (two bytes a sample).
    int32_t rawDataMaxLen() const { return maxRowNum * maxColNum * 2; }
};

extern int32_t chipType;
extern ChipProfile chipProfile;

// Fills chipProfile from chipType; a chip type outside 1..7 leaves it zero.
void initChipProfile();
// The profile of a chip type, without touching chipProfile; all zero for a
// chip type outside 1..7.
ChipProfile chipProfileOf(int32_t type);

// True for the fjord family (chip types 3 to 7). Tests and fuzz targets group
// families by it; the tool, the emulator and touchfw-image read the family
// columns instead.
inline bool isFjordFamily(int32_t type) {
    return type >= CHIP_FJORDK && type <= CHIP_FJORDK4;
}

// Back to the start state: chip type 0, profile all zero (tests only).
void resetChipProfile();
