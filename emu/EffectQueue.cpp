#include "emu/EffectQueue.h"

#include <cstddef>
#include <limits>

namespace emu {

namespace {

// Effects a flush runs at most: a chain of effects that keep adding new
// ones cannot hang it.
constexpr int kMaxFlushedEffects = 100000;

}  // namespace

void EffectQueue::add(uint64_t due, std::function<void()> fn) {
    effects_.push_back(Effect{due, order_++, std::move(fn)});
}

size_t EffectQueue::earliest(uint64_t limit) const {
    size_t best = effects_.size();
    for (size_t i = 0; i < effects_.size(); ++i) {
        const Effect& e = effects_[i];
        if (e.due > limit)
            continue;
        if (best == effects_.size() || e.due < effects_[best].due ||
            (e.due == effects_[best].due && e.order < effects_[best].order)) {
            best = i;
        }
    }
    return best;
}

void EffectQueue::runAt(size_t index) {
    Effect effect = std::move(effects_[index]);
    effects_.erase(effects_.begin() + static_cast<std::ptrdiff_t>(index));
    effect.fn();
}

void EffectQueue::runDue(uint64_t now) {
    for (size_t next = earliest(now); next != effects_.size(); next = earliest(now))
        runAt(next);
}

void EffectQueue::flush() {
    flushing_ = true;
    const uint64_t any = std::numeric_limits<uint64_t>::max();
    for (int guard = 0; guard < kMaxFlushedEffects && !effects_.empty(); ++guard)
        runAt(earliest(any));
    effects_.clear();
    flushing_ = false;
}

}  // namespace emu
