#include "emu/SparseMemory.h"

namespace emu {

uint8_t SparseMemory::get(uint32_t addr) const {
    auto it = pages_.find(addr & ~(kPageSize - 1));
    return it == pages_.end() ? fill_ : it->second[addr & (kPageSize - 1)];
}

void SparseMemory::set(uint32_t addr, uint8_t value) {
    const uint32_t base = addr & ~(kPageSize - 1);
    auto it = pages_.find(base);
    if (it == pages_.end()) {
        Page page;
        page.fill(fill_);
        it = pages_.emplace(base, page).first;
    }
    it->second[addr & (kPageSize - 1)] = value;
}

void SparseMemory::read(uint32_t addr, uint8_t* out, size_t n) const {
    for (size_t i = 0; i < n; ++i) {
        out[i] = get(addr + static_cast<uint32_t>(i));
    }
}

std::vector<uint8_t> SparseMemory::read(uint32_t addr, size_t n) const {
    std::vector<uint8_t> out(n);
    read(addr, out.data(), n);
    return out;
}

void SparseMemory::write(uint32_t addr, const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        set(addr + static_cast<uint32_t>(i), data[i]);
    }
}

void SparseMemory::fill(uint32_t addr, size_t n, uint8_t value) {
    for (size_t i = 0; i < n; ++i) {
        set(addr + static_cast<uint32_t>(i), value);
    }
}

}  // namespace emu
