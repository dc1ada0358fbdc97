// The device-side fuzz targets (device_answers, hidraw_answers) and their
// seed generator share this: a plan of device operations read from the head
// of an input, the run of those operations, and how a fake device turns the
// rest of the input into answer reports.
//
// Plan (kPlanSize bytes, zeros where the input is shorter):
//   0      chip type 1 + b % 7
//   1      framing of the session's own connection: b % 8 = 1, 2, 3 that
//          version, 4 an unknown one (99), else the chip profile's
//   2      operations, bit by bit: 0x01 register reads, 0x02
//          getBasicProperties, 0x04 getCfgVerWithConnection, 0x08 report
//          disable/enable, 0x10 the four property queries, 0x20 touch data,
//          0x40 readReg, 0x80 a firmware update (small image with a
//          configuration, version checks off)
//   3      every b-th report written fails (0: none)
//   4, 5   touch data rows, columns
//   6      touch data: bits 0-2 raw/base/diff, bit 3 decimal, bit 4 two frames
//   7      number of register reads (b % 4), then 4 x (u32 address, u16 length)
//          (length bit 15 set: the negated low 11 bits; else the low 11 bits)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"

namespace fuzz {

constexpr size_t kPlanSize = 8 + 4 * 6;

struct RegisterRead {
    uint32_t addr = 0;
    int32_t len = 0;
};

struct SessionPlan {
    int32_t chipType = 3;
    int32_t framing = 0;  // 0: the chip profile's protoType
    uint8_t ops = 0;
    uint8_t writeFailEvery = 0;
    int32_t rows = 0;
    int32_t cols = 0;
    uint8_t touch = 0;
    std::vector<RegisterRead> reads;  // at most 4
};

SessionPlan readPlan(ByteReader& in);
std::vector<uint8_t> encodePlan(const SessionPlan& plan);

// Runs the plan's operations over the HID interface in force. Chip type and
// chip profile must already be set.
void runSession(const SessionPlan& plan);

// What a fake device handed over: one entry per input report the reader
// accepted, with the request written last before it and the report as the
// reader's buffer holds it. A register read that succeeds is checked against
// these: one request per chunk at the right address and length, and the
// data of each answer in the right place of the caller's buffer.
struct Delivery {
    std::vector<uint8_t> request;
    std::vector<uint8_t> report;
};
std::vector<Delivery>& deliveries();

// The family name the command line takes for a chip type ("" when unknown).
const char* familyName(int32_t type);
// A small image of a chip type's family: two sub-firmwares of the types the
// update flashes by default, the first starting with the identity block
// (Pid "FUZZ").
std::vector<uint8_t> sampleImage(int32_t type);
// Writes into dir fw-<family>.bin for every family, cfg.cfg (64 bytes that
// no family's check passes) and cfg-<family>.cfg (64 bytes that its passes).
void writeSampleFiles(const std::string& dir);

// Answer control byte (low two bits) of the fake devices.
enum class AnswerKind : uint8_t {
    wellFormed = 0,  // the data bytes of the request, length field right
    raw = 1,         // a whole report straight from the input
    fail = 2,        // the transfer fails
    wrongLength = 3  // as wellFormed, length field (u16) from the input
};

// The data length asked for by the last request written (a register read
// frame of any framing), 0 when it was something else.
int requestedLength(const std::vector<uint8_t>& lastRequest);

// Fills `length` bytes at `report` as a response of the framing that
// `length` implies (268: version 3, else versions 1/2): report id, length
// field `lengthField`, and up to `dataLen` data bytes from the input.
void fillAnswer(uint8_t* report, size_t length, int lengthField, int dataLen, ByteReader& in);

// Most data bytes a response of `length` bytes carries.
int answerCapacity(size_t length);

}  // namespace fuzz
