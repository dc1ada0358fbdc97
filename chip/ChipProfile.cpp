#include "chip/ChipProfile.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <initializer_list>

#include "chip/CfgBlock.h"

int32_t chipType = 0;
ChipProfile chipProfile{};

namespace {

template <typename Seq>
void setSeq(Seq& seq, std::initializer_list<uint8_t> bytes) {
    std::memset(seq.data, 0, sizeof seq.data);
    std::copy(bytes.begin(), bytes.end(), seq.data);
    seq.len = static_cast<decltype(seq.len)>(bytes.size());
}

// Values shared by every family.
void setCommonRawReports(ChipProfile& p) {
    setSeq(p.switchToPatchCmd, {0x0E, 0x10, 0x00, 0x00, 0x01, 0x01});
    setSeq(p.enterUpdateCmd, {0x0E, 0x11, 0x00, 0x00, 0x01, 0x01});
    setSeq(p.restartCmd, {0x0E, 0x13, 0x00, 0x00, 0x01, 0x01});
    p.flashAckValue = 0xAA;
    p.patchReadyValue = 0xDD;
    p.dataReadyMask = 0x80;
    p.pidLen = 4;
    p.vidLen = 4;
}

// What the 5410 and 5415R share.
void fillLegacy(ChipProfile& p) {
    p.cfgStartReadyValue = 0x82;
    p.fwBufAddr = 0xC000;
    p.flashStatusAddr = 0x5096;
    p.patchStatusAddr = 0x5095;
    p.dataBigEndian = 1;
    setSeq(p.flashBlockCmd, {0x0E, 0x12, 0x00, 0x00, 0x06});
    p.dataModeAck = 0xFF;
}

void fill5410(ChipProfile& p) {
    fillLegacy(p);
    p.pidAddr = 0x4535;
    p.vidAddr = 0x453D;
    p.sidAddr = 0x4541;
    p.maxRowNum = 30;
    p.maxColNum = 28;
    p.cfgAddr = 0x60DC;
    p.cmdAddr = 0x60CC;
    p.cfgFinishReadyValue = 0xFF;
    p.cfgVerLen = static_cast<int32_t>(kCfgCheckBytes5410);
    p.reportCmdAddr = 0x60CC;
    p.dataReadyAddr = 0x4100;
    p.rawDataAddr = 0x7828;
    p.diffDataAddr = 0x7C8C;
    p.baseDataAddr = 0x846C;
    setSeq(p.cfgStartCmd, {0x80, 0x00, 0x80});
    setSeq(p.cfgFinishCmd, {0x83});
    setSeq(p.disableReportCmd, {0x33, 0x00, 0xCD});
    setSeq(p.enableReportCmd, {0x34, 0x00, 0xCC});
    setSeq(p.reportQueryCmd, {0x35, 0x00, 0xCB});
    p.reportCheckSeed = 0x36;
    setSeq(p.dataModeCmd, {0x01, 0x00, 0xFF});
    setSeq(p.normalModeCmd, {0x00, 0x00, 0x00});
}

void fill5415R(ChipProfile& p) {
    fillLegacy(p);
    p.pidAddr = 0x4022;
    p.vidAddr = 0x402A;
    p.sidAddr = 0x402F;
    p.maxRowNum = 22;
    p.maxColNum = 38;
    p.cfgAddr = 0x96F8;
    p.cmdAddr = 0x4160;
    p.cfgFinishReadyValue = 0x7F;
    p.cfgVerLen = static_cast<int32_t>(kCfgCheckBytes5415R);
    p.reportCmdAddr = 0x4160;
    p.dataReadyAddr = 0x4180;
    p.rawDataAddr = 0x86B8;
    p.diffDataAddr = 0x8E38;
    p.baseDataAddr = 0x8078;
    setSeq(p.cfgStartCmd, {0x80, 0x00, 0x00, 0x00, 0x80});
    setSeq(p.cfgFinishCmd, {0x83, 0x00, 0x00, 0x00, 0x83});
    setSeq(p.cfgResetCmd, {0x7D, 0x00, 0x00, 0x00, 0x7D});
    setSeq(p.cfgFinishAltAnswer, {0x7E, 0x00, 0x07});
    setSeq(p.disableReportCmd, {0x33, 0x00, 0x00, 0x00, 0x33});
    setSeq(p.enableReportCmd, {0x34, 0x00, 0x00, 0x00, 0x34});
    setSeq(p.dataModeCmd, {0x01, 0x00, 0x00, 0x00, 0x01});
    setSeq(p.normalModeCmd, {0x00, 0x00, 0x00, 0x00, 0x00});
}

// Fjord-family register command: 00 00 04 code (04+code) 00.
template <typename Seq>
void setFjordCmd(Seq& seq, uint8_t code) {
    setSeq(seq, {0x00, 0x00, 0x04, code, static_cast<uint8_t>(0x04 + code), 0x00});
}

// The fjordK column; the other fjord chips start from it.
void fillFjordK(ChipProfile& p) {
    p.pidAddr = 0x1001E;
    p.vidAddr = 0x10026;
    p.sidAddr = 0x1002B;
    p.maxRowNum = 52;
    p.maxColNum = 75;
    p.cfgAddr = 0x13B74;
    p.cmdAddr = 0x10174;
    p.cfgStartReadyValue = 0x80;
    p.cfgVerLen = 5;
    p.fwBufAddr = 0x14000;
    p.flashStatusAddr = 0x10011;
    p.patchStatusAddr = 0x10010;
    p.cfgFlashAddr = 0x40000;
    p.reportCmdAddr = 0x10174;
    p.dataReadyAddr = 0x10274;
    p.rawDataAddr = 0x1A67C;
    p.diffDataAddr = 0x1C14C;
    p.baseDataAddr = 0x18BAC;
    setFjordCmd(p.cfgStartCmd, 0x04);
    setFjordCmd(p.cfgFinishCmd, 0x06);
    setFjordCmd(p.cfgWriteDoneCmd, 0x05);
    setSeq(p.cfgCmdAck, {0x80, 0x80});
    setFjordCmd(p.cfgReadStartCmd, 0x07);
    setFjordCmd(p.cfgReadEndCmd, 0x08);
    setSeq(p.cfgReadEndAck, {0x80, 0x80});
    setSeq(p.flashBlockCmd, {0x0E, 0x12, 0x00, 0x00, 0x0A});
    setFjordCmd(p.dataModeCmd, 0x02);
    setFjordCmd(p.normalModeCmd, 0x00);
}

// fjordH3 and Corvina control touch reporting with commands and a status answer.
void setFjordReportControl(ChipProfile& p) {
    setFjordCmd(p.disableReportCmd, 0x33);
    setFjordCmd(p.reportQueryCmd, 0x35);
    setFjordCmd(p.enableReportCmd, 0x34);
}

void fillFjordH3(ChipProfile& p) {
    fillFjordK(p);
    p.pidAddr = 0x10016;
    p.vidAddr = 0x1001E;
    p.sidAddr = 0x10023;
    p.maxRowNum = 21;
    p.maxColNum = 34;
    p.cfgAddr = 0x15EB4;
    p.cmdAddr = 0x10180;
    p.fwBufAddr = 0x29400;
    p.flashStatusAddr = 0x5096;
    p.patchStatusAddr = 0x5095;
    p.cfgFlashAddr = 0x3E000;
    p.reportCmdAddr = 0x10180;
    p.reportStatusAddr = 0x10182;
    p.dataReadyAddr = 0x10338;
    p.rawDataAddr = 0x11658;
    p.diffDataAddr = 0x11D3C;
    p.baseDataAddr = 0x10F74;
    setFjordReportControl(p);
}

void fillCorvina(ChipProfile& p) {
    fillFjordK(p);
    p.maxRowNum = 20;
    p.maxColNum = 36;
    p.cfgAddr = 0x13D08;
    p.fwBufAddr = 0x49800;
    p.flashStatusAddr = 0x5096;
    p.patchStatusAddr = 0x5095;
    p.cfgFlashAddr = 0x3F000;
    p.reportStatusAddr = 0x10184;
    p.dataReadyAddr = 0x10308;
    p.rawDataAddr = 0x13778;
    p.diffDataAddr = 0x11550;
    p.baseDataAddr = 0x12400;
    setFjordReportControl(p);
}

void fillFjordK8(ChipProfile& p) {
    fillFjordK(p);
    p.fwBufAddr = 0x10011000;
    p.flashStatusAddr = 0x10010011;
    p.patchStatusAddr = 0x10010010;
    setSeq(p.flashPrepareCmd, {0x0E, 0x40, 0x00});
}

void fillFjordK4(ChipProfile& p) {
    fillFjordK(p);
    p.cfgAddr = 0x13B78;
    p.cfgStartReadyValue = 0;
    p.cfgVerLen = 0;
    p.rawDataAddr = 0x19CA8;
    p.diffDataAddr = 0x1BF98;
    p.baseDataAddr = 0x1E288;
}

struct FamilyRow {
    ChipFamily family;
    void (*fill)(ChipProfile&);  // the family's own profile values; the rest stay zero
};

constexpr uint32_t kFjordTraits =
    TRAIT_CFG_ONLY_UPDATE | TRAIT_CFG_WITH_FIRMWARE | TRAIT_UPDATE_RAM_CHECK;

// type, name, --chip value, default Pid, usage page, fresh Pid, framing;
// configuration, firmware image, report control, data mode, traits.
const FamilyRow kFamilies[] = {
    {{CHIP_5410, "5410", "5410", 0x01E0, 0xFF00, "5410", 1, CfgKind::legacy5410,
      FwImageKind::fw5410, ReportControlKind::rc5410, DataModeKind::ackPoll, TRAIT_CFG_ONLY_UPDATE},
     fill5410},
    {{CHIP_5415R, "5415R", "5415R", 0x01E8, 0xFF00, "5416", 1, CfgKind::legacy5415R,
      FwImageKind::fw5415R, ReportControlKind::rc5415R, DataModeKind::ackPoll,
      TRAIT_CFG_ONLY_UPDATE},
     fill5415R},
    {{CHIP_FJORDK, "fjordK", "FJORDK", 0x0121, 0xFFF0, "0121", 2, CfgKind::fjord,
      FwImageKind::fjordK, ReportControlKind::none, DataModeKind::cmdStatus, kFjordTraits},
     fillFjordK},
    {{CHIP_FJORDH3, "fjordH3", "FJORDH3", 0x0F60, 0xFF00, "0F60", 2, CfgKind::fjord,
      FwImageKind::fjordH3, ReportControlKind::fjordH3, DataModeKind::cmdStatus, kFjordTraits},
     fillFjordH3},
    // Corvina takes a configuration only together with firmware.
    {{CHIP_CORVINA, "Corvina", "CORVINA", 0x01EC, 0xFF00, "01EC", 2, CfgKind::fjord,
      FwImageKind::corvina, ReportControlKind::corvina, DataModeKind::cmdStatus,
      kFjordTraits & ~TRAIT_CFG_ONLY_UPDATE},
     fillCorvina},
    {{CHIP_FJORDK8, "fjordK8", "FJORDK8", 0x0123, 0xFFF0, "0123", 3, CfgKind::fjord,
      FwImageKind::fjordK, ReportControlKind::none, DataModeKind::unsupported,
      kFjordTraits | TRAIT_CHIP_CFG_VERSION},
     fillFjordK8},
    {{CHIP_FJORDK4, "fjordK4", "FJORDK4", 0x0132, 0xFFF0, "0132", 2, CfgKind::fjord,
      FwImageKind::fjordK, ReportControlKind::none, DataModeKind::cmdStatus, kFjordTraits},
     fillFjordK4},
};

// What familyOf() gives for an unknown chip type.
const ChipFamily kNoFamily{};

const FamilyRow* findRow(int32_t type) {
    for (const FamilyRow& row : kFamilies) {
        if (row.family.type == type)
            return &row;
    }
    return nullptr;
}

bool equalsIgnoreCase(const std::string& text, const char* name) {
    const auto upper = [](char c) { return std::toupper(static_cast<unsigned char>(c)); };
    return text.size() == std::strlen(name) &&
           std::equal(text.begin(), text.end(), name,
                      [&](char a, char b) { return upper(a) == upper(b); });
}

}  // namespace

const ChipFamily* chipFamily(int32_t type) {
    const FamilyRow* row = findRow(type);
    return row ? &row->family : nullptr;
}

const ChipFamily& familyOf(int32_t type) {
    const FamilyRow* row = findRow(type);
    return row ? row->family : kNoFamily;
}

const ChipFamily* chipFamilyAt(size_t index) {
    return index < sizeof kFamilies / sizeof kFamilies[0] ? &kFamilies[index].family : nullptr;
}

const ChipFamily* chipFamilyNamed(const std::string& name) {
    for (const FamilyRow& row : kFamilies) {
        if (equalsIgnoreCase(name, row.family.acceptedName))
            return &row.family;
    }
    return nullptr;
}

void initChipProfile() {
    if (findRow(chipType) != nullptr)
        chipProfile = chipProfileOf(chipType);
}

ChipProfile chipProfileOf(int32_t type) {
    ChipProfile p{};
    const FamilyRow* row = findRow(type);
    if (row == nullptr)
        return p;
    row->fill(p);
    p.protoType = row->family.framing;
    setCommonRawReports(p);
    return p;
}

void resetChipProfile() {
    chipType = 0;
    chipProfile = ChipProfile{};
}
