// The chip's register space as a read request sees it: the sparse registers,
// with the configuration window showing the active configuration (older
// families while no session runs, fjord family during a read session) or the
// configuration being downloaded, and read overrides set up by tests. Also
// the identity registers (product id text, version id, sensor id).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "chip/ChipProfile.h"
#include "emu/SparseMemory.h"

namespace emu {

// Largest configuration a download may write (bytes from cfgAddr).
constexpr size_t kMaxConfigSize = 65536;

// True when `addr` lies in the `size` bytes from `base` (no wrap past 2^32).
inline bool inWindow(uint32_t addr, uint32_t base, size_t size) {
    return static_cast<uint64_t>(static_cast<uint32_t>(addr - base)) < size;
}

enum class CfgSession { idle, downloading, written, reading };

class RegisterMap {
  public:
    RegisterMap(int32_t type, const ChipProfile& profile);

    SparseMemory memory;
    std::vector<uint8_t> config;   // the active configuration
    std::vector<uint8_t> pending;  // the configuration being downloaded
    CfgSession session = CfgSession::idle;

    // Back to a fresh chip's registers: identity, configuration `fresh`.
    void reset(const std::vector<uint8_t>& fresh);
    // True while a configuration download is under way.
    bool downloading() const {
        return session == CfgSession::downloading || session == CfgSession::written;
    }
    uint8_t viewByte(uint32_t addr) const;
    std::vector<uint8_t> view(uint32_t addr, size_t n) const;
    // A register write: bytes in the configuration window of a download go
    // to the pending configuration, the rest to the registers.
    void store(uint32_t addr, const uint8_t* data, size_t n);

    void setProductId(const std::string& text);  // up to 8 characters
    std::string productId() const;
    void setVersionId(const std::array<uint8_t, 4>& vid);
    std::array<uint8_t, 4> versionId() const;
    void setSensorId(uint8_t sid) { memory.set(sidAddr_, sid); }
    uint8_t sensorId() const { return memory.get(sidAddr_); }

    // The next `times` reads at `addr` answer `bytes` (kForever: until cleared).
    void addOverride(uint32_t addr, const std::vector<uint8_t>& bytes, int times);
    void clearOverrides() { overrides_.clear(); }
    // Lays the override of a read at `addr` over `data`; false when none.
    bool applyOverride(uint32_t addr, std::vector<uint8_t>* data);

  private:
    // True when some of the n bytes from addr (wrapping modulo 2^32) lie in
    // the `size` bytes from cfgAddr.
    bool meetsWindow(uint32_t addr, size_t n, size_t size) const;

    struct Override {
        std::vector<uint8_t> bytes;
        int remaining = 1;  // kForever: sticky
    };

    bool fjord_;
    uint32_t cfgAddr_;
    uint32_t pidAddr_;
    uint32_t vidAddr_;
    uint32_t sidAddr_;
    std::map<uint32_t, std::deque<Override>> overrides_;
};

}  // namespace emu
