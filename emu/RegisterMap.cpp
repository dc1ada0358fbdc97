#include "emu/RegisterMap.h"

#include <algorithm>

#include "chip/CfgBlock.h"
#include "emu/Faults.h"

namespace emu {

RegisterMap::RegisterMap(int32_t type, const ChipProfile& profile)
    : fjord_(familyOf(type).cfg == CfgKind::fjord),
      cfgAddr_(profile.cfgAddr),
      pidAddr_(profile.pidAddr),
      vidAddr_(profile.vidAddr),
      sidAddr_(profile.sidAddr) {}

void RegisterMap::reset(const std::vector<uint8_t>& fresh) {
    memory.clear();
    config = fresh;
    pending.clear();
    session = CfgSession::idle;
    if (fjord_) {
        // Outside a read session the configuration window holds no valid block.
        memory.fill(cfgAddr_, kCfgBlockBytesFjord, 0xFF);
    }
}

uint8_t RegisterMap::viewByte(uint32_t addr) const {
    if (fjord_) {
        if (session == CfgSession::reading && inWindow(addr, cfgAddr_, config.size()))
            return config[addr - cfgAddr_];
    } else if (session == CfgSession::idle &&
               inWindow(addr, cfgAddr_, std::min(config.size(), kCfgAreaBytesLegacy))) {
        return config[addr - cfgAddr_];
    }
    if (downloading() && inWindow(addr, cfgAddr_, pending.size()))
        return pending[addr - cfgAddr_];
    return memory.get(addr);
}

bool RegisterMap::meetsWindow(uint32_t addr, size_t n, size_t size) const {
    const uint64_t distance = static_cast<uint32_t>(addr - cfgAddr_);
    return distance < size || static_cast<uint64_t>(n) > (uint64_t{1} << 32) - distance;
}

std::vector<uint8_t> RegisterMap::view(uint32_t addr, size_t n) const {
    std::vector<uint8_t> out(n);
    // Away from the configuration window every byte is a register byte.
    if (!meetsWindow(addr, n, std::max(config.size(), pending.size()))) {
        memory.read(addr, out.data(), n);
        return out;
    }
    for (size_t i = 0; i < n; ++i)
        out[i] = viewByte(addr + static_cast<uint32_t>(i));
    return out;
}

void RegisterMap::store(uint32_t addr, const uint8_t* data, size_t n) {
    const bool toPending = downloading();
    if (!toPending || !meetsWindow(addr, n, kMaxConfigSize)) {
        memory.write(addr, data, n);
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        const uint32_t a = addr + static_cast<uint32_t>(i);
        if (toPending && inWindow(a, cfgAddr_, kMaxConfigSize)) {
            const size_t offset = a - cfgAddr_;
            if (pending.size() <= offset)
                pending.resize(offset + 1, 0x00);
            pending[offset] = data[i];
        } else {
            memory.set(a, data[i]);
        }
    }
}

void RegisterMap::setProductId(const std::string& text) {
    uint8_t bytes[8] = {0};
    for (size_t i = 0; i < 8 && i < text.size(); ++i)
        bytes[i] = static_cast<uint8_t>(text[i]);
    memory.write(pidAddr_, bytes, sizeof bytes);
}

std::string RegisterMap::productId() const {
    std::string text;
    for (uint32_t i = 0; i < 8; ++i) {
        const uint8_t c = memory.get(pidAddr_ + i);
        if (c == 0)
            break;
        text += static_cast<char>(c);
    }
    return text;
}

void RegisterMap::setVersionId(const std::array<uint8_t, 4>& vid) {
    memory.write(vidAddr_, vid.data(), vid.size());
}

std::array<uint8_t, 4> RegisterMap::versionId() const {
    std::array<uint8_t, 4> vid{};
    memory.read(vidAddr_, vid.data(), vid.size());
    return vid;
}

void RegisterMap::addOverride(uint32_t addr, const std::vector<uint8_t>& bytes, int times) {
    if (times == 0 || times < kForever)
        return;
    overrides_[addr].push_back(Override{bytes, times});
}

bool RegisterMap::applyOverride(uint32_t addr, std::vector<uint8_t>* data) {
    auto it = overrides_.find(addr);
    if (it == overrides_.end() || it->second.empty())
        return false;
    Override& o = it->second.front();
    std::copy_n(o.bytes.begin(), std::min(o.bytes.size(), data->size()), data->begin());
    if (o.remaining != kForever && --o.remaining <= 0)
        it->second.pop_front();
    if (it->second.empty())
        overrides_.erase(it);
    return true;
}

}  // namespace emu
