// The update runs stay at the protocol's floor: on every family, a firmware
// update with configuration and a configuration-only update exchange exactly
// the reports the protocol needs for the sample files, and wait exactly the
// waits it prescribes. The floor is derived here step by step from the
// framing (payload per report), the image's sub-firmware table and the
// configuration's block size; the emulated chip counts the reports.
// One more status poll per block, or a retry on the happy path, fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "cfg/CfgImage.h"
#include "chip/ChipProfile.h"
#include "fw/FwImage.h"
#include "tests/FaultMatrixSupport.h"

namespace {

using matrix::Mode;

// What a run puts on the wire and the waits it makes, in order.
struct Traffic {
    int sent = 0;
    int received = 0;
    std::vector<uint32_t> waits;

    Traffic& operator+=(const Traffic& other) {
        sent += other.sent;
        received += other.received;
        // One at a time: MinGW's g++ 12 warns falsely (stringop-overflow)
        // on a range insert here.
        for (const uint32_t ms : other.waits)
            waits.push_back(ms);
        return *this;
    }
};

constexpr uint32_t kFlashBlock = 4096;
constexpr uint32_t kDefaultFwFlag = 0x0C;

// ---- framing ----
uint32_t writePayload(int32_t type) {
    return type == CHIP_FJORDK8 ? 256 : matrix::isLegacy(type) ? 55 : 53;
}
Traffic registerWrite(int32_t type, uint32_t bytes) {
    return {static_cast<int>((bytes + writePayload(type) - 1) / writePayload(type)), 0, {}};
}
// Every command, status field, Pid and Vid fits one report and one answer.
Traffic command() {
    return {1, 0, {}};
}
Traffic shortRead() {
    return {1, 1, {}};
}
Traffic wait(uint32_t ms) {
    return {0, 0, {ms}};
}
template <typename... Steps>
Traffic seq(const Steps&... steps) {
    Traffic t;
    (t += ... += steps);
    return t;
}

// ---- protocol steps, each at its first-attempt success ----
Traffic disableReport(int32_t type) {
    switch (type) {
        case CHIP_5410:  // three commands 10 ms apart, 10, query, 50, answer
            return seq(command(), wait(10), command(), wait(10), command(), wait(10), wait(10),
                       command(), wait(50), shortRead());
        case CHIP_5415R:
            return seq(command(), wait(10), command(), wait(10), command(), wait(10));
        case CHIP_FJORDH3:  // command, 50, query, 50, command status, report status
            return seq(command(), wait(50), command(), wait(50), shortRead(), shortRead());
        case CHIP_CORVINA:  // the command status is polled after the command too
            return seq(command(), wait(50), shortRead(), command(), wait(50), shortRead(),
                       shortRead());
        default:
            return {};
    }
}
Traffic enableReport(int32_t type) {
    if (matrix::isLegacy(type))
        return seq(command(), wait(10), command(), wait(10), command(), wait(10));
    return disableReport(type);
}
Traffic identity() {  // Pid, Vid, sensor id
    return seq(shortRead(), shortRead(), shortRead());
}
Traffic resetChip() {
    return seq(command(), wait(200));
}
Traffic ackedCommand(uint32_t waitMs) {
    return seq(command(), wait(waitMs), shortRead());
}
Traffic cfgVersion(int32_t type) {
    if (matrix::isLegacy(type))
        return shortRead();
    // read start, the two 32-byte halves of the block, read end
    return seq(ackedCommand(10), shortRead(), shortRead(), ackedCommand(10));
}
// Buffer write, load-flash command, 80, acknowledgement, status cleared.
Traffic flashBlock(int32_t type, uint32_t length) {
    return seq(registerWrite(type, length), command(), wait(80), shortRead(),
               registerWrite(type, 1));
}
Traffic flashData(int32_t type, uint32_t length) {
    Traffic t;
    for (uint32_t done = 0; done < length; done += kFlashBlock)
        t += flashBlock(type, std::min(kFlashBlock, length - done));
    return t;
}

// The sub-firmwares the default flag selects, and the configuration block.
std::vector<uint32_t> selectedSubFirmwareLengths(int32_t type) {
    std::unique_ptr<FwImage> image = createFwImage(type);
    EXPECT_EQ(image->load(matrix::sampleFirmware(type).c_str()), 0);
    std::vector<uint32_t> lengths;
    for (int32_t i = 0; i < image->getFwSubFwNum(); ++i) {
        if (kDefaultFwFlag & (1u << (image->getFwSubFwType(i) % 32)))
            lengths.push_back(image->getFwSubFwLen(i));
    }
    return lengths;
}
uint32_t configBlockSize(int32_t type) {
    std::unique_ptr<CfgImage> cfg = createCfgImage(type);
    EXPECT_EQ(cfg->load(matrix::sampleConfig(type).c_str()), 0);
    return cfg->cfgSize;
}

Traffic cfgDownload(int32_t type, uint32_t cfgSize) {
    const Traffic data = registerWrite(type, cfgSize);
    switch (type) {
        case CHIP_5410:  // start, 100, ready check; data; finish, 80, ready check
        case CHIP_5415R:
            return seq(command(), wait(100), shortRead(), data, command(), wait(80), shortRead());
        default:  // start, data, write done, finish
            return seq(ackedCommand(10), data, ackedCommand(80), ackedCommand(10));
    }
}

// Configuration-only update: disable, version, one attempt (disable,
// download, 200, [5415R: session end], version), reset, enable.
Traffic configUpdate(int32_t type) {
    const Traffic sessionEnd = type == CHIP_5415R ? command() : Traffic{};
    return seq(disableReport(type), cfgVersion(type), disableReport(type),
               cfgDownload(type, configBlockSize(type)), wait(200), sessionEnd, cfgVersion(type),
               resetChip(), enableReport(type));
}

// Firmware update: disable, identity; the download (switch to patch, 250,
// disable, patch check, enter update [fjord: RAM check], 100, blocks, [fjord:
// configuration blocks], restart); 500, disable, identity, enable. The
// 5410 and 5415R take the configuration in a configuration update after it.
Traffic firmwareUpdateWithConfig(int32_t type) {
    const bool legacy = matrix::isLegacy(type);
    Traffic blocks;
    for (const uint32_t length : selectedSubFirmwareLengths(type))
        blocks += flashData(type, length);
    if (!legacy)
        blocks += flashData(type, configBlockSize(type));
    const Traffic ramCheck = legacy ? Traffic{} : seq(registerWrite(type, 5), shortRead());
    const Traffic download = seq(command(), wait(250), disableReport(type), shortRead(), command(),
                                 ramCheck, wait(100), blocks, resetChip());
    const Traffic firmware = seq(disableReport(type), identity(), download, wait(500),
                                 disableReport(type), identity(), enableReport(type));
    return legacy ? seq(firmware, configUpdate(type)) : firmware;
}

// The reports the emulated chip took, the read requests it answered and the
// waits of the run, against the floor.
void expectTraffic(int32_t type, Mode mode, const Traffic& floor,
                   const emu::FaultRule* fault = nullptr) {
    matrix::InProcessRun run(type);
    if (fault != nullptr) {
        EXPECT_TRUE(run.chip().addFault(*fault));
    }
    EXPECT_EQ(run.run(matrix::modeArgs(mode, type)).status, 0);
    EXPECT_EQ(run.chip().outputReports(), floor.sent);
    EXPECT_EQ(run.chip().readRequests(), floor.received);
    EXPECT_EQ(run.clock().waits(), floor.waits);
}

// Then a first block whose flash is not acknowledged once: the failed
// attempt adds its buffer write, its command, its 80 ms and the five status
// reads of the acknowledgement check, and nothing else.
TEST(UpdateFloorTest, UpdatesExchangeTheProtocolMinimumAndWaitThePrescribedWaits) {
    for (const int32_t type : matrix::allFamilies()) {
        for (const Mode mode : {Mode::firmwareConfig, Mode::config}) {
            if (!matrix::modeApplies(mode, type))
                continue;
            SCOPED_TRACE(std::string(emu::familyName(type)) + " " + matrix::modeName(mode));
            expectTraffic(
                type, mode,
                mode == Mode::config ? configUpdate(type) : firmwareUpdateWithConfig(type));
        }
        SCOPED_TRACE(std::string(emu::familyName(type)) + " one block retry");
        const uint32_t firstBlock = std::min(kFlashBlock, selectedSubFirmwareLengths(type).at(0));
        const Traffic failed = seq(registerWrite(type, firstBlock), command(), wait(80),
                                   shortRead(), shortRead(), shortRead(), shortRead(), shortRead());
        Traffic floor = firmwareUpdateWithConfig(type);
        // The attempt comes before the block's successful one: its 80 ms is
        // the first of the block waits, which all read 80.
        const auto firstBlockWait = std::find(floor.waits.begin(), floor.waits.end(), uint32_t{80});
        ASSERT_NE(firstBlockWait, floor.waits.end());
        floor.waits.insert(firstBlockWait, failed.waits.begin(), failed.waits.end());
        floor.sent += failed.sent;
        floor.received += failed.received;
        const emu::FaultRule fault = emu::faults::withholdAck(emu::ChipCommand::flashBlock, 1);
        expectTraffic(type, Mode::firmwareConfig, floor, &fault);
    }
}

}  // namespace
