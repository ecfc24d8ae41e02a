#pragma once

#include <cstdint>
#include <functional>

namespace kelvora {

// A source of "now" in monotonic nanoseconds. Everything with time thresholds takes one, so that tests can
// drive time by hand.
using Clock = std::function<uint64_t()>;

// The time base of the whole system: CLOCK_MONOTONIC in nanoseconds. V4L2 buffer timestamps and
// std::chrono::steady_clock run on the same clock, so capture times need no conversion.
struct MonotonicClock {
    static uint64_t now();

    // The signed difference `to - from` in milliseconds: an earlier `to` gives a negative result instead of
    // wrapping around.
    static double milliseconds(uint64_t from, uint64_t to) {
        return static_cast<double>(static_cast<int64_t>(to - from)) / 1e6;
    }

    static Clock system() { return &MonotonicClock::now; }
};

}  // namespace kelvora
