// A scripted HID interface for device-level tests. It installs itself into
// *getHidInterface(), records every report written and every call, and
// answers read calls from a script:
//   1. raw input reports queued with queueReport() / queueReadFailure(), in order;
//   2. otherwise the answer to the register read request written last: the
//      next answer queued for that address with answerAt(), else the bytes of
//      the register memory set with setRegs() (zero where unset).
// Answers are built in the framing given at construction.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tlc/TlcConnection.h"

namespace testsupport {

using Bytes = std::vector<uint8_t>;

// One decoded register frame (request or write) as seen on the wire.
struct WireFrame {
    uint8_t op = 0xFF;  // 0x00 write, 0x01 read
    uint32_t addr = 0;
    int len = 0;
    Bytes payload;  // write frames: the `len` data bytes
};

class ScriptedHid {
  public:
    explicit ScriptedHid(int32_t framing);
    ~ScriptedHid();
    ScriptedHid(const ScriptedHid&) = delete;
    ScriptedHid& operator=(const ScriptedHid&) = delete;

    // --- script ---
    std::deque<int> openResults;  // one per open call; 0 once empty
    int closeResult = 0;
    // Result of write call number `index` (0-based, counting every write).
    void failWrite(size_t index, int result = -3) { writeFailures_[index] = result; }
    // Every write to a register frame at `addr` fails (read requests included).
    void failWritesTo(uint32_t addr, int result = -3) { failingAddrs_[addr] = result; }
    void queueReport(const Bytes& report) { raw_.push_back({0, report}); }
    void queueReadFailure(int result = -3) { raw_.push_back({result, {}}); }
    // Next answer to a read request at addr: the data, with the length field
    // set to data.size() unless lengthField >= 0.
    void answerAt(uint32_t addr, const Bytes& data, int lengthField = -1);
    // Next read call for a request at addr fails with `result`.
    void failReadAt(uint32_t addr, int result = -3);
    void setRegs(uint32_t addr, const Bytes& bytes);
    // Called after every register write frame (op 0x00) that was accepted, so
    // a test can play the chip (acknowledge a command, keep written data).
    std::function<void(const WireFrame&)> onRegisterWrite;

    // A response report of this framing carrying `data` and a length field.
    Bytes response(const Bytes& data, int lengthField) const;

    // --- record ---
    std::vector<Bytes> writes;        // bytes of every write, `length` of them
    std::vector<std::string> events;  // "open", "close", "write", "read" in order
    std::vector<int> readLengths;     // length asked by every read call
    WireFrame frame(size_t writeIndex) const;
    // Register frames written so far (all writes decoded as frames).
    std::vector<WireFrame> frames() const;
    // Payloads of the register writes (op 0) to addr, in order.
    std::vector<Bytes> writesTo(uint32_t addr) const;
    // Number of read requests (op 1) for addr.
    size_t readRequestsAt(uint32_t addr) const;
    size_t count(const std::string& event) const;

    int32_t framing() const { return framing_; }

  private:
    struct Reply {
        int result = 0;
        Bytes report;
    };
    static int onOpen(void*);
    static int onClose(void*);
    static int onWrite(uint8_t* buffer, int length, void*);
    static int onRead(uint8_t* buffer, int length, void*);
    int write(const uint8_t* buffer, int length);
    int read(uint8_t* buffer, int length);

    int32_t framing_;
    std::map<size_t, int> writeFailures_;
    std::map<uint32_t, int> failingAddrs_;
    std::deque<Reply> raw_;
    std::map<uint32_t, std::deque<Reply>> answers_;
    std::map<uint32_t, uint8_t> regs_;
};

// The captured log lines with the source line numbers removed:
// "   [Error] <readReg> Read reg failed. ret = -2.\n".
std::vector<std::string> logLines();
// How many captured lines (without line numbers) equal `line` exactly.
size_t countLine(const std::string& line);

}  // namespace testsupport
