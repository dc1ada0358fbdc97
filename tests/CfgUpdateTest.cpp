#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include "cfg/CfgImage.h"
#include "cfg/CfgUpdate.h"
#include "chip/ChipProfile.h"
#include "tests/ScriptedHid.h"
#include "tests/TestSupport.h"
#include "tlc/TlcConnection.h"

namespace {

using testsupport::Bytes;
using testsupport::countLine;
using testsupport::ScriptedHid;
using testsupport::WireFrame;

const Bytes kRestart{0x0E, 0x13, 0x00, 0x00, 0x01, 0x01};

// 5410 commands (command register 0x60CC).
const Bytes k5410Disable{0x33, 0x00, 0xCD};
const Bytes k5410Enable{0x34, 0x00, 0xCC};
const Bytes k5410Query{0x35, 0x00, 0xCB};
const Bytes k5410Start{0x80, 0x00, 0x80};
const Bytes k5410Finish{0x83};
// 5415R commands (command register 0x4160).
const Bytes k5415RDisable{0x33, 0x00, 0x00, 0x00, 0x33};
const Bytes k5415REnable{0x34, 0x00, 0x00, 0x00, 0x34};
const Bytes k5415RStart{0x80, 0x00, 0x00, 0x00, 0x80};
const Bytes k5415RFinish{0x83, 0x00, 0x00, 0x00, 0x83};
const Bytes k5415RReset{0x7D, 0x00, 0x00, 0x00, 0x7D};
// Fjord-family commands (command register 0x10174 on fjordK).
Bytes fjordCmd(uint8_t code) {
    return {0x00, 0x00, 0x04, code, static_cast<uint8_t>(0x04 + code), 0x00};
}
const Bytes kFjordStart = fjordCmd(0x04);
const Bytes kFjordWriteDone = fjordCmd(0x05);
const Bytes kFjordFinish = fjordCmd(0x06);
const Bytes kFjordReadStart = fjordCmd(0x07);
const Bytes kFjordReadEnd = fjordCmd(0x08);

// A 64-byte fjord configuration block with its version and checksum.
Bytes fjordBlock(uint8_t version, uint8_t fill) {
    Bytes block(64, fill);
    block[34] = version;
    uint16_t sum = 0;
    for (int i = 0; i < 62; ++i)
        sum = static_cast<uint16_t>(sum + block[static_cast<size_t>(i)]);
    block[62] = static_cast<uint8_t>(sum);
    block[63] = static_cast<uint8_t>(sum >> 8);
    return block;
}

// `head` followed by filler bytes up to `size`.
Bytes padded(Bytes head, size_t size) {
    for (size_t i = head.size(); i < size; ++i)
        head.push_back(static_cast<uint8_t>(0xA0 + i % 16));
    return head;
}

std::string cfgText(const Bytes& bytes) {
    std::string text;
    char token[8];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(token, sizeof token, "0x%02X%s", bytes[i], (i % 16 == 15) ? ",\n" : ",");
        text += token;
    }
    return text;
}

class CfgUpdateTest : public testsupport::ProcessFixture {
  protected:
    void useChip(int32_t type) {
        chipType = type;
        initChipProfile();
    }

    // Plays the chip behind `hid`: acknowledges the commands on the command
    // register and keeps data written anywhere else (so the version read
    // back after a download is the downloaded one). Data downloads before
    // download number `keepFrom` (counted by start commands) are dropped.
    void playChip(ScriptedHid& hid, int keepFrom = 1) {
        hid.onRegisterWrite = [this, &hid, keepFrom](const WireFrame& f) {
            const ChipProfile& p = chipProfile;
            if (f.addr != p.cmdAddr) {
                if (starts_ >= keepFrom)
                    hid.setRegs(f.addr, f.payload);
                return;
            }
            const Bytes start(p.cfgStartCmd.data, p.cfgStartCmd.data + p.cfgStartCmd.size());
            const Bytes finish(p.cfgFinishCmd.data, p.cfgFinishCmd.data + p.cfgFinishCmd.size());
            if (f.payload == start)
                ++starts_;
            if (isFjordFamily(chipType)) {
                hid.setRegs(p.cmdAddr, {0x80, 0x80});
            } else if (f.payload == start) {
                hid.setRegs(p.cmdAddr, {0x82});
            } else if (f.payload == finish) {
                hid.setRegs(p.cmdAddr, finishAnswer_);
            } else if (chipType == CHIP_5410 && f.payload == k5410Query) {
                hid.setRegs(p.cmdAddr, {0x35, 0x01, 0xC9});  // reporting disabled
            }
        };
    }

    std::string writeCfg(const Bytes& bytes) {
        const std::string path = dir_.file("test.cfg");
        testsupport::writeFile(path, cfgText(bytes));
        return path;
    }

    // The data written to cfgAddr: payloads of consecutive writes from cfgAddr on.
    static Bytes cfgDataWritten(const ScriptedHid& hid) {
        Bytes data;
        for (const WireFrame& f : hid.frames()) {
            if (f.op == 0x00 && f.addr == chipProfile.cfgAddr + data.size())
                data.insert(data.end(), f.payload.begin(), f.payload.end());
        }
        return data;
    }

    static std::vector<Bytes> cmdWrites(const ScriptedHid& hid) {
        return hid.writesTo(chipProfile.cmdAddr);
    }

    static size_t restarts(const ScriptedHid& hid) {
        return static_cast<size_t>(std::count(hid.writes.begin(), hid.writes.end(), kRestart));
    }

    testsupport::TempDir dir_;
    Bytes finishAnswer_{0xFF};
    int starts_ = 0;
};

TEST_F(CfgUpdateTest, UpdatePerFamily) {
    struct Case {
        int32_t type;
        Bytes chipVersion;  // version bytes at cfgAddr before the update
        Bytes file;         // 100 bytes, carrying version 7
        std::vector<Bytes> commands;
        std::vector<uint32_t> waits;
        Bytes finishAnswer;
    } cases[] = {
        {CHIP_5410,
         {0x05, 0x01, 0x02, 0xF8},
         padded({0x07, 0x01, 0x02, 0xF6}, 100),
         {k5410Disable, k5410Disable, k5410Disable, k5410Query, k5410Disable, k5410Disable,
          k5410Disable, k5410Query, k5410Start, k5410Finish, k5410Enable, k5410Enable, k5410Enable},
         {10, 10, 10, 10, 50, 10, 10, 10, 10, 50, 100, 80, 200, 200, 10, 10, 10},
         {0xFF}},
        {CHIP_5415R,
         {0x05, 0x01, 0x02, 0x08, 0x00},
         padded({0x07, 0x01, 0x02, 0x0A, 0x00}, 100),
         {k5415RDisable, k5415RDisable, k5415RDisable, k5415RDisable, k5415RDisable, k5415RDisable,
          k5415RStart, k5415RFinish, k5415RReset, k5415REnable, k5415REnable, k5415REnable},
         {10, 10, 10, 10, 10, 10, 100, 80, 200, 200, 10, 10, 10},
         {0x7F, 0x00, 0x00}},
        {CHIP_FJORDK,
         fjordBlock(0x05, 0x11),
         padded(fjordBlock(0x07, 0x22), 100),
         {kFjordReadStart, kFjordReadEnd, kFjordStart, kFjordWriteDone, kFjordFinish,
          kFjordReadStart, kFjordReadEnd},
         {10, 10, 10, 80, 10, 200, 10, 10, 200},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        useChip(c.type);
        log_->clear();
        clock_.clearWaits();
        starts_ = 0;
        finishAnswer_ = c.finishAnswer;
        ScriptedHid hid(chipProfile.protoType);
        playChip(hid);
        hid.setRegs(chipProfile.cfgAddr, c.chipVersion);

        EXPECT_EQ(cfgUpdateWithFile(writeCfg(c.file).c_str(), false), 0);

        Bytes block = c.file;
        block.resize(4096, 0x00);
        EXPECT_EQ(cfgDataWritten(hid), block);
        EXPECT_EQ(cmdWrites(hid), c.commands);
        EXPECT_EQ(clock_.waits(), c.waits);
        EXPECT_EQ(restarts(hid), 1u);
        EXPECT_EQ(hid.events.back(), "close");
        EXPECT_EQ(hid.count("close"), 1u);
        EXPECT_EQ(countLine("    [Info] <cfgUpdateHelper> Chip cfg version(5) does not equal to "
                            "input cfg file(7).\n"),
                  1u);
        EXPECT_EQ(countLine("    [Info] <cfgUpdateWithConnection> Download cfg successfully.\n"),
                  1u);
        EXPECT_EQ(countLine("    [Info] <cfgUpdateHelper> Update cfg successfully. Cfg version is "
                            "0x07.\n"),
                  1u);
        EXPECT_EQ(countLine("   [Debug]  <cfgUpdateWithFile> Function ends:0.\n"), 1u);
    }
}

TEST_F(CfgUpdateTest, UnchangedVersionIsLeftAloneButResetAndEnabled) {
    useChip(CHIP_5415R);
    ScriptedHid hid(kTlcFramingV1);
    playChip(hid);
    const Bytes version{0x07, 0x01, 0x02, 0x0A, 0x00};
    hid.setRegs(chipProfile.cfgAddr, version);
    EXPECT_EQ(cfgUpdateWithFile(writeCfg(version).c_str(), false), 0);
    EXPECT_EQ(cmdWrites(hid), (std::vector<Bytes>{k5415RDisable, k5415RDisable, k5415RDisable,
                                                  k5415REnable, k5415REnable, k5415REnable}));
    EXPECT_TRUE(cfgDataWritten(hid).empty());
    EXPECT_EQ(restarts(hid), 1u);
    EXPECT_EQ(hid.events.back(), "close");
    EXPECT_EQ(countLine("    [Info] <cfgUpdateHelper> Chip cfg version(7) equals to input cfg "
                        "file(7), no need to update config.\n"),
              1u);
}

TEST_F(CfgUpdateTest, IgnoreVerSkipsThePreCheck) {
    useChip(CHIP_FJORDK);
    ScriptedHid hid(kTlcFramingV2);
    playChip(hid);
    const Bytes file = fjordBlock(0x07, 0x33);
    hid.setRegs(chipProfile.cfgAddr, file);  // same version as the file
    EXPECT_EQ(cfgUpdateWithFile(writeCfg(file).c_str(), true), 0);
    EXPECT_EQ(cmdWrites(hid), (std::vector<Bytes>{kFjordStart, kFjordWriteDone, kFjordFinish,
                                                  kFjordReadStart, kFjordReadEnd}));
    EXPECT_EQ(cfgDataWritten(hid).size(), 4096u);
    EXPECT_EQ(countLine("    [Info] <cfgUpdateHelper> Before updating cfg, check the checkSum.\n"),
              0u);
    EXPECT_EQ(countLine("    [Info] <cfgUpdateHelper> Chip cfg version(0) does not equal to input "
                        "cfg file(7).\n"),
              1u);
}

TEST_F(CfgUpdateTest, FinishStepPerFamily) {
    struct Case {
        const char* name;
        int32_t type;
        std::function<void(ScriptedHid&)> script;
        int32_t expected;
        const char* line;  // nullptr: none expected
    } cases[] = {
        {"5410 ready", CHIP_5410, [](ScriptedHid& h) { h.setRegs(0x60CC, {0xFF}); }, 0, nullptr},
        {"5410 not written", CHIP_5410, [](ScriptedHid& h) { h.failWritesTo(0x60CC); }, -5,
         "   [Error] <cfgUpdateSendFinish> 5410,Write send cfg finish cmd failed. ret = -1.\n"},
        {"5410 not ready", CHIP_5410, [](ScriptedHid& h) { h.setRegs(0x60CC, {0x7F}); }, -6,
         "   [Error] <cfgUpdateSendFinish> 5410,Chip write cfg finish cmd is NOT ready. ret = "
         "-1.\n"},
        {"5415R ready", CHIP_5415R,
         [](ScriptedHid& h) {
             h.setRegs(0x4160, {0x7F, 0x12, 0x34});
         },
         0,
         "    [Info] <cfgUpdateSendFinish> Chip write cfg finish cmd is sucess,0x4160:0x7f,0x12,"
         "0x34\n"},
        {"5415R alternative answer", CHIP_5415R,
         [](ScriptedHid& h) {
             h.setRegs(0x4160, {0x7E, 0x00, 0x07});
         },
         0,
         "    [Info] <cfgUpdateSendFinish> Chip write cfg finish cmd is sucess,0x4160:0x7e,0x00,"
         "0x07\n"},
        {"5415R almost the alternative", CHIP_5415R,
         [](ScriptedHid& h) {
             h.setRegs(0x4160, {0x7E, 0x00, 0x06});
         },
         -1,
         "   [Error] <cfgUpdateSendFinish> Chip write cfg finish cmd is NOT ready,0x4160:0x7e,"
         "0x00,0x06\n"},
        {"5415R not written", CHIP_5415R, [](ScriptedHid& h) { h.failWritesTo(0x4160); }, -5,
         "   [Error] <cfgUpdateSendFinish> 5415R,Write send cfg finish cmd failed. ret = -1.\n"},
        {"5415R unreadable", CHIP_5415R, [](ScriptedHid& h) { h.failReadAt(0x4160); }, -1, nullptr},
        {"fjord write-done not acknowledged", CHIP_FJORDH3,
         [](ScriptedHid& h) {
             h.setRegs(0x10180, {0x80, 0x00});
         },
         -1, "   [Error] <cfgUpdateSendFinish> read back write buf finished cmd failed.\n"},
        {"fjord finish not acknowledged", CHIP_FJORDK4,
         [](ScriptedHid& h) {
             // Write-done acknowledged; the finish command's three checks never are.
             h.answerAt(0x10174, {0x80, 0x80});
             for (int i = 0; i < 15; ++i)
                 h.answerAt(0x10174, {0x00, 0x80});
         },
         -2,
         "   [Error] <cfgUpdateSendFinish> Chip write cfg finish cmd is NOT ready. ret = -1.\n"},
        {"unknown chip", 0, [](ScriptedHid&) {}, -1,
         "   [Error] <cfgUpdateSendFinish> send cfg finish,unsupport this type:0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(c.type);
        log_->clear();
        ScriptedHid hid(c.type == 0 ? kTlcFramingV2 : chipProfile.protoType);
        c.script(hid);
        TlcConnection connection;
        EXPECT_EQ(cfgUpdateSendFinish(connection), c.expected);
        if (c.line != nullptr) {
            EXPECT_EQ(countLine(c.line), 1u);
        }
        if (c.type == CHIP_5410 || c.type == CHIP_5415R) {
            ASSERT_FALSE(cmdWrites(hid).empty());
            EXPECT_EQ(cmdWrites(hid)[0], c.type == CHIP_5410 ? k5410Finish : k5415RFinish);
        }
    }
}

TEST_F(CfgUpdateTest, FiveFailedAttemptsGiveMinusFive) {
    useChip(CHIP_5415R);
    ScriptedHid hid(kTlcFramingV1);
    finishAnswer_ = {0x7E, 0x00, 0x06};  // never ready
    playChip(hid);
    hid.setRegs(chipProfile.cfgAddr, {0x05, 0x01, 0x02, 0x08, 0x00});
    EXPECT_EQ(cfgUpdateWithFile(writeCfg({0x07, 0x01, 0x02, 0x0A, 0x00}).c_str(), false), -5);
    for (int remaining = 4; remaining >= 0; --remaining) {
        EXPECT_EQ(countLine("   [Error] <cfgUpdateHelper> Cannot update new cfg data. ret = -1. "
                            "Retry remaining: " +
                            std::to_string(remaining) + ".\n"),
                  1u);
    }
    EXPECT_EQ(countLine("   [Error] <cfgUpdateHelper> Update cfg failed.\n"), 1u);
    EXPECT_EQ(countLine("   [Debug]  <cfgUpdateWithFile> Function ends:-5.\n"), 1u);
    const std::vector<Bytes> commands = cmdWrites(hid);
    EXPECT_EQ(std::count(commands.begin(), commands.end(), k5415RStart), 5);
    // The reset write follows every attempt, failed or not.
    EXPECT_EQ(std::count(commands.begin(), commands.end(), k5415RReset), 5);
    EXPECT_EQ(std::count(clock_.waits().begin(), clock_.waits().end(), 200u), 11);
    EXPECT_EQ(restarts(hid), 1u);
    EXPECT_EQ(commands.back(), k5415REnable);
    EXPECT_EQ(hid.events.back(), "close");
}

TEST_F(CfgUpdateTest, VersionReadBackDecidesEachAttempt) {
    struct Case {
        const char* name;
        int keepFrom;        // first download the chip keeps
        bool failFirstRead;  // the first version read back fails
        const char* line;
    } cases[] = {
        {"download not taken", 2, false,
         "   [Error] <cfgUpdateHelper> After config update, chip cfg version(5) does not equal to "
         "cfg file version(7). Retry remaining: 4.\n"},
        {"version unreadable", 1, true,
         "   [Error] <cfgUpdateHelper> error reading version after update cfg,retry:4.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(CHIP_FJORDK);
        log_->clear();
        clock_.clearWaits();
        starts_ = 0;
        ScriptedHid hid(kTlcFramingV2);
        playChip(hid, c.keepFrom);
        hid.setRegs(chipProfile.cfgAddr, fjordBlock(0x05, 0x11));
        if (c.failFirstRead)
            hid.failReadAt(chipProfile.cfgAddr);
        EXPECT_EQ(cfgUpdateWithFile(writeCfg(fjordBlock(0x07, 0x22)).c_str(), true), 0);
        EXPECT_EQ(countLine(c.line), 1u);
        EXPECT_EQ(starts_, 2);
        // A wrong version waits before the next attempt; an unreadable one does not.
        const auto waits = clock_.waits();
        EXPECT_EQ(std::count(waits.begin(), waits.end(), 200u), c.failFirstRead ? 3 : 4);
    }
}

TEST_F(CfgUpdateTest, EarlyFailuresStillResetEnableCloseAndFree) {
    struct Case {
        const char* name;
        int32_t type;
        std::function<void(ScriptedHid&)> script;
        int32_t expected;
        const char* line;  // nullptr: none of its own
        size_t enableWrites;
    } cases[] = {
        {"open fails", CHIP_5415R,
         [](ScriptedHid& h) {
             h.openResults = {-1, -1, -1};
         },
         -1, nullptr, 3},
        {"disable fails", CHIP_5410,
         [](ScriptedHid& h) {
             for (int i = 0; i < 3; ++i)
                 h.failReadAt(0x60CC);
         },
         -1, "   [Error] <cfgUpdateHelper> cfgUpdateHelper disable report failed.\n", 3},
        {"version unreadable", CHIP_5415R,
         [](ScriptedHid& h) { h.failWritesTo(chipProfile.cfgAddr); }, -2,
         "   [Error] <cfgUpdateHelper> read cfg version failed at send cfg.\n", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(c.type);
        log_->clear();
        ScriptedHid hid(kTlcFramingV1);
        playChip(hid);
        c.script(hid);
        CfgImage image;
        ASSERT_EQ(image.load(writeCfg({0x07, 0x01, 0x02, 0x0A, 0x00}).c_str()), 0);
        EXPECT_EQ(cfgUpdateHelper(image, false), c.expected);
        if (c.line != nullptr) {
            EXPECT_EQ(countLine(c.line), 1u);
        }
        EXPECT_EQ(starts_, 0);
        EXPECT_EQ(restarts(hid), 1u);
        const std::vector<Bytes> commands = cmdWrites(hid);
        const Bytes enable = c.type == CHIP_5410 ? k5410Enable : k5415REnable;
        EXPECT_EQ(static_cast<size_t>(std::count(commands.begin(), commands.end(), enable)),
                  c.enableWrites);
        EXPECT_EQ(hid.events.back(), "close");
        EXPECT_FALSE(image.loaded);
        EXPECT_EQ(image.getCfgData(), nullptr);
        EXPECT_EQ(countLine("   [Debug]  <cfgUpdateHelper> Function ends.\n"), 1u);
    }
}

TEST_F(CfgUpdateTest, DownloadStepFailures) {
    struct Case {
        const char* name;
        int32_t type;
        std::function<void(ScriptedHid&)> script;
        bool loaded;
        int32_t expected;
        std::vector<std::string> lines;
        bool dataSent = false;
    } cases[] = {
        {"start not written",
         CHIP_5410,
         [](ScriptedHid& h) { h.failWritesTo(0x60CC); },
         true,
         -1,
         {"   [Error] <cfgUpdateStartUpdateCfg> Write send cfg cmd failed. ret = -1.\n",
          "   [Debug]  <cfgUpdateStartUpdateCfg> cfgUpdateStartUpdateCfg exit:-1.\n",
          "   [Error] <cfgUpdateWithConnection> start update cfg faild:-1.\n"}},
        {"start not acknowledged",
         CHIP_5415R,
         [](ScriptedHid& h) { h.setRegs(0x4160, {0x80}); },
         true,
         -2,
         {"   [Error] <cfgUpdateStartUpdateCfg> Chip write cfg cmd is NOT ready. ret = -1.\n",
          "   [Error] <cfgUpdateWithConnection> start update cfg faild:-2.\n"}},
        {"fjord start not acknowledged",
         CHIP_CORVINA,
         [](ScriptedHid& h) {
             h.setRegs(0x10174, {0x80, 0x00});
         },
         true,
         -2,
         {"   [Error] <cfgUpdateStartUpdateCfg> Chip write cfg cmd is NOT ready. ret = -1.\n"}},
        {"no data",
         CHIP_FJORDK,
         [](ScriptedHid& h) {
             h.setRegs(0x10174, {0x80, 0x80});
         },
         false,
         -3,
         {"   [Error] <cfgUpdateWithConnection> No valid cfg data.\n"}},
        {"data not written",
         CHIP_FJORDK,
         [](ScriptedHid& h) {
             h.setRegs(0x10174, {0x80, 0x80});
             h.failWritesTo(0x13B74);
         },
         true,
         -4,
         {"   [Error] <cfgUpdateWithConnection> Write cfg data to 0x13B74 failed. ret = -1.\n"},
         true},
        {"finish fails",
         CHIP_5410,
         [](ScriptedHid& h) {
             h.answerAt(0x60CC, {0x82});  // start acknowledged, finish never
         },
         true,
         -6,
         {"   [Error] <cfgUpdateWithConnection> update cfg,send finish cmd failed:-6.\n"},
         true},
        {"unknown chip",
         0,
         [](ScriptedHid&) {},
         true,
         -1,
         {"   [Error] <cfgUpdateStartUpdateCfg> cfgUpdateStartUpdateCfg unsupport this chip:0.\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        useChip(c.type);
        log_->clear();
        ScriptedHid hid(c.type == 0 ? kTlcFramingV2 : chipProfile.protoType);
        c.script(hid);
        CfgImageFjordK image;
        if (c.loaded) {
            ASSERT_EQ(image.load(writeCfg({0x07, 0x01}).c_str()), 0);
        }
        TlcConnection connection;
        EXPECT_EQ(cfgUpdateWithConnection(connection, image), c.expected);
        for (const std::string& line : c.lines)
            EXPECT_EQ(countLine(line), 1u) << line;
        EXPECT_EQ(countLine("   [Debug]  <cfgUpdateWithConnection> Function ends.\n"), 1u);
        EXPECT_EQ(!hid.writesTo(chipProfile.cfgAddr).empty(), c.dataSent);
    }
    EXPECT_EQ(countLine("   [Debug]  <cfgUpdateStartUpdateCfg> cfgUpdateStartUpdateCfg exit:-1.\n"),
              0u);  // no exit line for an unknown chip (the last case)
}

TEST_F(CfgUpdateTest, FileAndChipTypeProblems) {
    {
        useChip(0);
        ScriptedHid hid(kTlcFramingV2);
        EXPECT_EQ(cfgUpdateWithFile(writeCfg({0x07, 0x01}).c_str(), false), -1);
        EXPECT_EQ(countLine("   [Error] <cfgUpdateWithFile> cfgUpdateWithFile unsupport this chip "
                            "type:0.\n"),
                  1u);
        EXPECT_TRUE(hid.events.empty());
    }
    {
        useChip(CHIP_FJORDK);
        log_->clear();
        ScriptedHid hid(kTlcFramingV2);
        const std::string missing = dir_.file("missing.cfg");
        EXPECT_EQ(cfgUpdateWithFile(missing.c_str(), false), -3);
        EXPECT_EQ(countLine("   [Error] <cfgUpdateWithFile> Failed read cfg file: " + missing +
                            ". ret = -2.\n"),
                  1u);
        EXPECT_EQ(countLine("   [Debug]  <cfgUpdateWithFile> Function ends:-3.\n"), 1u);
        EXPECT_TRUE(hid.events.empty());
    }
}

}  // namespace
