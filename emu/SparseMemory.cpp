#include "emu/SparseMemory.h"

#include <algorithm>
#include <cstring>

namespace emu {

namespace {

constexpr uint32_t kOffsetMask = SparseMemory::kPageSize - 1;

// Calls visit(base, offset, done, piece) for each page the n bytes from
// addr touch: `piece` bytes from `offset` in the page at `base`, which are
// bytes done..done+piece of the range. Addresses wrap modulo 2^32.
template <typename Visit>
void forEachPage(uint32_t addr, size_t n, Visit visit) {
    size_t done = 0;
    while (done < n) {
        const uint32_t at = addr + static_cast<uint32_t>(done);
        const uint32_t offset = at & kOffsetMask;
        const size_t piece = std::min<size_t>(n - done, SparseMemory::kPageSize - offset);
        visit(at - offset, offset, done, piece);
        done += piece;
    }
}

}  // namespace

SparseMemory::Page& SparseMemory::pageAt(uint32_t base) {
    auto it = pages_.lower_bound(base);
    if (it == pages_.end() || it->first != base) {
        Page page;
        page.fill(fill_);
        it = pages_.emplace_hint(it, base, page);
    }
    return it->second;
}

uint8_t SparseMemory::get(uint32_t addr) const {
    auto it = pages_.find(addr & ~kOffsetMask);
    return it == pages_.end() ? fill_ : it->second[addr & kOffsetMask];
}

void SparseMemory::set(uint32_t addr, uint8_t value) {
    pageAt(addr & ~kOffsetMask)[addr & kOffsetMask] = value;
}

void SparseMemory::read(uint32_t addr, uint8_t* out, size_t n) const {
    forEachPage(addr, n, [&](uint32_t base, uint32_t offset, size_t done, size_t piece) {
        auto it = pages_.find(base);
        if (it == pages_.end())
            std::memset(out + done, fill_, piece);
        else
            std::memcpy(out + done, it->second.data() + offset, piece);
    });
}

std::vector<uint8_t> SparseMemory::read(uint32_t addr, size_t n) const {
    std::vector<uint8_t> out(n);
    read(addr, out.data(), n);
    return out;
}

void SparseMemory::write(uint32_t addr, const uint8_t* data, size_t n) {
    forEachPage(addr, n, [&](uint32_t base, uint32_t offset, size_t done, size_t piece) {
        std::memcpy(pageAt(base).data() + offset, data + done, piece);
    });
}

void SparseMemory::fill(uint32_t addr, size_t n, uint8_t value) {
    forEachPage(addr, n, [&](uint32_t base, uint32_t offset, size_t, size_t piece) {
        std::memset(pageAt(base).data() + offset, value, piece);
    });
}

}  // namespace emu
