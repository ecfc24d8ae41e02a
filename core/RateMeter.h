#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvora {

// Rate of events over a sliding time window: frames per second (one event per frame) or bits per second
// (amounts in bits). Times are monotonic nanoseconds and expected to be non-decreasing. Used on the
// per-frame path, so expired events are dropped from the front only and the sum is kept running.
// A value type without locking: its owner serialises access.
class RateMeter {
  public:
    // `windowSeconds` must be finite and at least one nanosecond; anything else is a programming error
    // (std::invalid_argument), because a zero window would turn every rate into a division by zero.
    explicit RateMeter(double windowSeconds);

    void record(int amount, uint64_t time);

    // Drops every event older than `now - window` (nothing is older while `now < window`).
    void prune(uint64_t now);

    // Sum of the amounts in the window, per second over the full window length, whatever span the events
    // really cover. 0 without events.
    double rate(uint64_t now);

    // Number of events in the window, per second over the full window length.
    double eventRate(uint64_t now);

    uint64_t window() const { return window_; }
    size_t count() const { return events_.size() - head_; }

  private:
    struct Event {
        uint64_t time;
        int amount;
    };

    uint64_t window_;
    // Events from index `head_` on are live; the expired prefix is compacted away once it outweighs them,
    // keeping the storage.
    std::vector<Event> events_;
    size_t head_ = 0;
    int64_t sum_ = 0;
};

}  // namespace kelvora
