// The pause between attempts to reach a converter or serial port that cannot be reached:
// 0.5 s, doubling with each failed attempt up to 30 s, and from the start again once it
// answers. Watching a dead converter thus costs a few attempts a minute, not a busy loop.
#pragma once

#include <cstdint>

namespace tarvel {

class Backoff {
  public:
    static constexpr uint32_t kFirstMs = 500;
    static constexpr uint32_t kLastMs = 30000;

    // The pause before the next attempt: 500, 1000, 2000, ... 16000, 30000, 30000, ...
    uint32_t Next() {
        const uint32_t pause = next_;
        next_ = next_ >= kLastMs / 2 ? kLastMs : next_ * 2;
        return pause;
    }
    // The converter or port answered.
    void Reset() { next_ = kFirstMs; }

  private:
    uint32_t next_ = kFirstMs;
};

} // namespace tarvel
