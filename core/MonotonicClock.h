#pragma once

#include <cstdint>
#include <functional>

struct timeval;

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

    // A presentation time of `value * numerator / denominator` seconds in nanoseconds, truncated toward zero:
    // an FFmpeg time stamp with its stream's time base, or a capture time given as a fraction. A time that
    // is not usable (no time stamp, zero, negative, a non-positive time base, beyond the clock's range)
    // gives the current reading instead, so a frame without a time is stamped on arrival.
    static uint64_t nanoseconds(int64_t value, int64_t numerator, int64_t denominator);

    // A V4L2 buffer time stamp (CLOCK_MONOTONIC as seconds and microseconds); unusable ones as above.
    static uint64_t nanoseconds(const timeval& time);

    static Clock system() { return &MonotonicClock::now; }
};

}  // namespace kelvora
