// The chip's delayed effects: what becomes visible some virtual time after a
// report (acknowledgements, ready values, frames). Effects run in due order,
// those due at the same time in the order they were added.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace emu {

class EffectQueue {
  public:
    // `fn` runs once the chip's time reaches `due`.
    void add(uint64_t due, std::function<void()> fn);
    // Runs every effect due at or before `now`, also those the effects add.
    void runDue(uint64_t now);
    // Runs every pending effect as if enough time had passed; while it runs,
    // flushing() is true (an effect that would schedule itself again does not).
    void flush();
    bool flushing() const { return flushing_; }
    // Drops every pending effect (the chip restarted).
    void clear() { effects_.clear(); }
    bool empty() const { return effects_.empty(); }

  private:
    struct Effect {
        uint64_t due = 0;
        uint64_t order = 0;
        std::function<void()> fn;
    };
    // Index of the earliest effect due at or before `limit`; size() when none.
    size_t earliest(uint64_t limit) const;
    // Removes the effect at `index` from the queue and runs it.
    void runAt(size_t index);

    std::vector<Effect> effects_;
    uint64_t order_ = 0;
    bool flushing_ = false;
};

}  // namespace emu
