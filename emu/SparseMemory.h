// A sparse 32-bit byte address space: the emulated chip's registers and its
// flash. Bytes never written read as the fill value (0 unless chosen).
// Addresses wrap modulo 2^32, as the chip's address arithmetic does. Ranges
// are copied a page at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace emu {

class SparseMemory {
  public:
    static constexpr uint32_t kPageSize = 256;
    using Page = std::array<uint8_t, kPageSize>;

    explicit SparseMemory(uint8_t fill = 0x00) : fill_(fill) {}

    uint8_t get(uint32_t addr) const;
    void set(uint32_t addr, uint8_t value);
    void read(uint32_t addr, uint8_t* out, size_t n) const;
    std::vector<uint8_t> read(uint32_t addr, size_t n) const;
    void write(uint32_t addr, const uint8_t* data, size_t n);
    void write(uint32_t addr, const std::vector<uint8_t>& data) {
        write(addr, data.data(), data.size());
    }
    void fill(uint32_t addr, size_t n, uint8_t value);

    void clear() { pages_.clear(); }
    bool empty() const { return pages_.empty(); }
    // Pages that were ever written, keyed by their base address.
    const std::map<uint32_t, Page>& pages() const { return pages_; }
    // Replaces one whole page (base must be page aligned); used by state loading.
    void setPage(uint32_t base, const Page& page) { pages_[base] = page; }

  private:
    // The page at `base`, made (filled with the fill value) when missing.
    Page& pageAt(uint32_t base);

    uint8_t fill_;
    std::map<uint32_t, Page> pages_;
};

}  // namespace emu
