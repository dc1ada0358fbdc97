// The chip profile checked row by row against the family table (the code
// fills it column by column, so a slip in either shows up here).
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "chip/ChipProfile.h"
#include "tests/TestSupport.h"
#include "tlc/TlcConnection.h"

namespace {

class ChipProfileTest : public testsupport::ProcessFixture {
  protected:
    ChipProfile profileFor(int32_t type) {
        chipType = type;
        initChipProfile();
        return chipProfile;
    }
};

using Row = std::array<uint32_t, 7>;

struct ScalarRow {
    const char* name;
    uint32_t (*get)(const ChipProfile&);
    Row values;  // chip types 1..7
};

#define FIELD(f) #f, [](const ChipProfile& p) { return static_cast<uint32_t>(p.f); }

const ScalarRow kScalars[] = {
    {FIELD(protoType),
     {kTlcFramingV1, kTlcFramingV1, kTlcFramingV2, kTlcFramingV2, kTlcFramingV2, kTlcFramingV3,
      kTlcFramingV2}},
    {FIELD(pidAddr), {0x4535, 0x4022, 0x1001E, 0x10016, 0x1001E, 0x1001E, 0x1001E}},
    {FIELD(pidLen), {4, 4, 4, 4, 4, 4, 4}},
    {FIELD(vidAddr), {0x453D, 0x402A, 0x10026, 0x1001E, 0x10026, 0x10026, 0x10026}},
    {FIELD(vidLen), {4, 4, 4, 4, 4, 4, 4}},
    {FIELD(sidAddr), {0x4541, 0x402F, 0x1002B, 0x10023, 0x1002B, 0x1002B, 0x1002B}},
    {FIELD(maxRowNum), {30, 22, 52, 21, 20, 52, 52}},
    {FIELD(maxColNum), {28, 38, 75, 34, 36, 75, 75}},
    {FIELD(cfgAddr), {0x60DC, 0x96F8, 0x13B74, 0x15EB4, 0x13D08, 0x13B74, 0x13B78}},
    {FIELD(cmdAddr), {0x60CC, 0x4160, 0x10174, 0x10180, 0x10174, 0x10174, 0x10174}},
    {FIELD(cfgStartReadyValue), {0x82, 0x82, 0x80, 0x80, 0x80, 0x80, 0}},
    {FIELD(cfgFinishReadyValue), {0xFF, 0x7F, 0, 0, 0, 0, 0}},
    {FIELD(cfgVerLen), {4, 5, 5, 5, 5, 5, 0}},
    {FIELD(fwBufAddr), {0xC000, 0xC000, 0x14000, 0x29400, 0x49800, 0x10011000, 0x14000}},
    {FIELD(flashStatusAddr), {0x5096, 0x5096, 0x10011, 0x5096, 0x5096, 0x10010011, 0x10011}},
    {FIELD(flashAckValue), {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA}},
    {FIELD(patchStatusAddr), {0x5095, 0x5095, 0x10010, 0x5095, 0x5095, 0x10010010, 0x10010}},
    {FIELD(patchReadyValue), {0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0xDD, 0xDD}},
    {FIELD(cfgFlashAddr), {0, 0, 0x40000, 0x3E000, 0x3F000, 0x40000, 0x40000}},
    {FIELD(reportCmdAddr), {0x60CC, 0x4160, 0x10174, 0x10180, 0x10174, 0x10174, 0x10174}},
    {FIELD(reportStatusAddr), {0, 0, 0, 0x10182, 0x10184, 0, 0}},
    {FIELD(dataReadyAddr), {0x4100, 0x4180, 0x10274, 0x10338, 0x10308, 0x10274, 0x10274}},
    {FIELD(dataReadyMask), {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80}},
    {FIELD(dataBigEndian), {1, 1, 0, 0, 0, 0, 0}},
    {FIELD(rawDataAddr), {0x7828, 0x86B8, 0x1A67C, 0x11658, 0x13778, 0x1A67C, 0x19CA8}},
    {FIELD(diffDataAddr), {0x7C8C, 0x8E38, 0x1C14C, 0x11D3C, 0x11550, 0x1C14C, 0x1BF98}},
    {FIELD(baseDataAddr), {0x846C, 0x8078, 0x18BAC, 0x10F74, 0x12400, 0x18BAC, 0x1E288}},
    {FIELD(rawDataMaxLen()), {1680, 1672, 7800, 1428, 1440, 7800, 7800}},
    {FIELD(reportCheckSeed), {0x36, 0, 0, 0, 0, 0, 0}},
    {FIELD(dataModeAck), {0xFF, 0xFF, 0, 0, 0, 0, 0}},
};

TEST_F(ChipProfileTest, ScalarFieldsPerChipType) {
    for (int32_t type = 1; type <= 7; ++type) {
        const ChipProfile p = profileFor(type);
        for (const ScalarRow& row : kScalars) {
            EXPECT_EQ(row.get(p), row.values[type - 1]) << row.name << " chip type " << type;
        }
    }
}

using Bytes = std::vector<uint8_t>;

template <typename Seq>
Bytes bytesOf(const Seq& seq) {
    return Bytes(seq.data, seq.data + seq.size());
}

struct SeqRow {
    const char* name;
    Bytes (*get)(const ChipProfile&);
    std::array<Bytes, 7> values;
};

#define SEQ(f) #f, [](const ChipProfile& p) { return bytesOf(p.f); }

const Bytes kFjordStart{0x00, 0x00, 0x04, 0x04, 0x08, 0x00};
const Bytes kFjordFinish{0x00, 0x00, 0x04, 0x06, 0x0A, 0x00};
const Bytes kFjordWriteDone{0x00, 0x00, 0x04, 0x05, 0x09, 0x00};
const Bytes kAck{0x80, 0x80};
const Bytes kFjordReadStart{0x00, 0x00, 0x04, 0x07, 0x0B, 0x00};
const Bytes kFjordReadEnd{0x00, 0x00, 0x04, 0x08, 0x0C, 0x00};
const Bytes kPatch{0x0E, 0x10, 0x00, 0x00, 0x01, 0x01};
const Bytes kEnter{0x0E, 0x11, 0x00, 0x00, 0x01, 0x01};
const Bytes kRestart{0x0E, 0x13, 0x00, 0x00, 0x01, 0x01};
const Bytes kFlash6{0x0E, 0x12, 0x00, 0x00, 0x06};
const Bytes kFlash10{0x0E, 0x12, 0x00, 0x00, 0x0A};
const Bytes kFjordDisable{0x00, 0x00, 0x04, 0x33, 0x37, 0x00};
const Bytes kFjordQuery{0x00, 0x00, 0x04, 0x35, 0x39, 0x00};
const Bytes kFjordEnable{0x00, 0x00, 0x04, 0x34, 0x38, 0x00};
const Bytes kFjordData{0x00, 0x00, 0x04, 0x02, 0x06, 0x00};
const Bytes kFjordNormal{0x00, 0x00, 0x04, 0x00, 0x04, 0x00};
const Bytes kNone{};

const SeqRow kSequences[] = {
    {SEQ(cfgStartCmd),
     {Bytes{0x80, 0x00, 0x80}, Bytes{0x80, 0, 0, 0, 0x80}, kFjordStart, kFjordStart, kFjordStart,
      kFjordStart, kFjordStart}},
    {SEQ(cfgFinishCmd),
     {Bytes{0x83}, Bytes{0x83, 0, 0, 0, 0x83}, kFjordFinish, kFjordFinish, kFjordFinish,
      kFjordFinish, kFjordFinish}},
    {SEQ(cfgWriteDoneCmd),
     {kNone, kNone, kFjordWriteDone, kFjordWriteDone, kFjordWriteDone, kFjordWriteDone,
      kFjordWriteDone}},
    {SEQ(cfgCmdAck), {kNone, kNone, kAck, kAck, kAck, kAck, kAck}},
    {SEQ(cfgReadStartCmd),
     {kNone, kNone, kFjordReadStart, kFjordReadStart, kFjordReadStart, kFjordReadStart,
      kFjordReadStart}},
    {SEQ(cfgReadEndCmd),
     {kNone, kNone, kFjordReadEnd, kFjordReadEnd, kFjordReadEnd, kFjordReadEnd, kFjordReadEnd}},
    {SEQ(cfgReadEndAck), {kNone, kNone, kAck, kAck, kAck, kAck, kAck}},
    {SEQ(switchToPatchCmd), {kPatch, kPatch, kPatch, kPatch, kPatch, kPatch, kPatch}},
    {SEQ(enterUpdateCmd), {kEnter, kEnter, kEnter, kEnter, kEnter, kEnter, kEnter}},
    {SEQ(restartCmd), {kRestart, kRestart, kRestart, kRestart, kRestart, kRestart, kRestart}},
    {SEQ(flashBlockCmd), {kFlash6, kFlash6, kFlash10, kFlash10, kFlash10, kFlash10, kFlash10}},
    {SEQ(disableReportCmd),
     {Bytes{0x33, 0x00, 0xCD}, Bytes{0x33, 0, 0, 0, 0x33}, kNone, kFjordDisable, kFjordDisable,
      kNone, kNone}},
    {SEQ(reportQueryCmd),
     {Bytes{0x35, 0x00, 0xCB}, kNone, kNone, kFjordQuery, kFjordQuery, kNone, kNone}},
    {SEQ(cfgResetCmd), {kNone, Bytes{0x7D, 0, 0, 0, 0x7D}, kNone, kNone, kNone, kNone, kNone}},
    {SEQ(cfgFinishAltAnswer), {kNone, Bytes{0x7E, 0, 0x07}, kNone, kNone, kNone, kNone, kNone}},
    {SEQ(flashPrepareCmd), {kNone, kNone, kNone, kNone, kNone, Bytes{0x0E, 0x40, 0x00}, kNone}},
    {SEQ(enableReportCmd),
     {Bytes{0x34, 0x00, 0xCC}, Bytes{0x34, 0, 0, 0, 0x34}, kNone, kFjordEnable, kFjordEnable, kNone,
      kNone}},
    {SEQ(dataModeCmd),
     {Bytes{0x01, 0x00, 0xFF}, Bytes{0x01, 0, 0, 0, 0x01}, kFjordData, kFjordData, kFjordData,
      kFjordData, kFjordData}},
    {SEQ(normalModeCmd),
     {Bytes{0x00, 0x00, 0x00}, Bytes{0, 0, 0, 0, 0}, kFjordNormal, kFjordNormal, kFjordNormal,
      kFjordNormal, kFjordNormal}},
};

TEST_F(ChipProfileTest, ByteSequencesPerChipType) {
    for (int32_t type = 1; type <= 7; ++type) {
        const ChipProfile p = profileFor(type);
        for (const SeqRow& row : kSequences) {
            EXPECT_EQ(row.get(p), row.values[type - 1]) << row.name << " chip type " << type;
        }
    }
}

TEST_F(ChipProfileTest, FiveFourTenCommandsSumToZero) {
    const ChipProfile p = profileFor(CHIP_5410);
    for (const Seq10* seq : {&p.disableReportCmd, &p.enableReportCmd, &p.reportQueryCmd,
                             &p.dataModeCmd, &p.normalModeCmd}) {
        uint8_t sum = 0;
        for (size_t i = 0; i < seq->size(); ++i)
            sum = static_cast<uint8_t>(sum + seq->data[i]);
        EXPECT_EQ(sum, 0);
    }
}

TEST_F(ChipProfileTest, ChipTypeOutsideRangeLeavesProfileZero) {
    for (int32_t type : {0, 8, -1, 100}) {
        const ChipProfile p = profileFor(type);
        for (const ScalarRow& row : kScalars) {
            EXPECT_EQ(row.get(p), 0u) << row.name << " chip type " << type;
        }
        for (const SeqRow& row : kSequences) {
            EXPECT_TRUE(row.get(p).empty()) << row.name << " chip type " << type;
        }
    }
}

// The family table: --chip values in any case, the USB keys the tool looks
// for and the Pid a fresh chip reports; anything else finds no family.
TEST(ChipFamilyTable, LookupByNameAndType) {
    struct Case {
        const char* text;
        int32_t type;  // 0: no family
        const char* name;
        uint16_t pid, usagePage;
        const char* pidText;
    };
    const Case cases[] = {
        {"5410", CHIP_5410, "5410", 0x01E0, 0xFF00, "5410"},
        {"5415r", CHIP_5415R, "5415R", 0x01E8, 0xFF00, "5416"},
        {"FJORDK", CHIP_FJORDK, "fjordK", 0x0121, 0xFFF0, "0121"},
        {"fjordh3", CHIP_FJORDH3, "fjordH3", 0x0F60, 0xFF00, "0F60"},
        {"Corvina", CHIP_CORVINA, "Corvina", 0x01EC, 0xFF00, "01EC"},
        {"fJoRdK8", CHIP_FJORDK8, "fjordK8", 0x0123, 0xFFF0, "0123"},
        {"FJORDK4", CHIP_FJORDK4, "fjordK4", 0x0132, 0xFFF0, "0132"},
        {"", 0, "", 0, 0, ""},
        {"fjord", 0, "", 0, 0, ""},
        {"FJORDK44", 0, "", 0, 0, ""},
        {"5410 ", 0, "", 0, 0, ""},
        {"5415", 0, "", 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const ChipFamily* named = chipFamilyNamed(c.text);
        if (c.type == 0) {
            EXPECT_EQ(named, nullptr);
            continue;
        }
        ASSERT_NE(named, nullptr);
        EXPECT_EQ(named, chipFamily(c.type));
        EXPECT_EQ(named->type, c.type);
        EXPECT_STREQ(named->name, c.name);
        EXPECT_EQ(named->defaultPid, c.pid);
        EXPECT_EQ(named->usagePage, c.usagePage);
        EXPECT_STREQ(named->pidText, c.pidText);
    }
    for (int32_t type : {0, 8, -1})
        EXPECT_EQ(chipFamily(type), nullptr) << type;
}

// The columns that pick how a family does a job; an unknown chip type gets
// none of them, so every dispatcher refuses it.
TEST(ChipFamilyTable, JobColumnsPerFamily) {
    using C = CfgKind;
    using F = FwImageKind;
    using R = ReportControlKind;
    using D = DataModeKind;
    const uint32_t cfgOnly = TRAIT_CFG_ONLY_UPDATE;
    const uint32_t fjord = TRAIT_CFG_ONLY_UPDATE | TRAIT_CFG_WITH_FIRMWARE | TRAIT_UPDATE_RAM_CHECK;
    struct Case {
        int32_t type;
        CfgKind cfg;
        FwImageKind fwImage;
        ReportControlKind report;
        DataModeKind dataMode;
        uint32_t traits;
    };
    const Case cases[] = {
        {CHIP_5410, C::legacy5410, F::fw5410, R::rc5410, D::ackPoll, cfgOnly},
        {CHIP_5415R, C::legacy5415R, F::fw5415R, R::rc5415R, D::ackPoll, cfgOnly},
        {CHIP_FJORDK, C::fjord, F::fjordK, R::none, D::cmdStatus, fjord},
        {CHIP_FJORDH3, C::fjord, F::fjordH3, R::fjordH3, D::cmdStatus, fjord},
        {CHIP_CORVINA, C::fjord, F::corvina, R::corvina, D::cmdStatus,
         TRAIT_CFG_WITH_FIRMWARE | TRAIT_UPDATE_RAM_CHECK},
        {CHIP_FJORDK8, C::fjord, F::fjordK, R::none, D::unsupported,
         fjord | TRAIT_CHIP_CFG_VERSION},
        {CHIP_FJORDK4, C::fjord, F::fjordK, R::none, D::cmdStatus, fjord},
        {0, C::none, F::none, R::unsupported, D::unsupported, 0},
        {8, C::none, F::none, R::unsupported, D::unsupported, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        const ChipFamily& f = familyOf(c.type);
        if (const ChipFamily* row = chipFamily(c.type)) {
            EXPECT_EQ(&f, row);
        }
        EXPECT_EQ(f.cfg, c.cfg);
        EXPECT_EQ(f.fwImage, c.fwImage);
        EXPECT_EQ(f.reportControl, c.report);
        EXPECT_EQ(f.dataMode, c.dataMode);
        EXPECT_EQ(f.traits, c.traits);
    }
}

}  // namespace
