#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

namespace kelvora {

// Keeps the log line about a repeated event (a refused connection, a dropped frame) to at most one per
// interval, so that a peer cannot flood the log: count() takes each event and, when a line is due, answers
// how many events that line speaks for (this one and those passed over since the last line). Times are
// monotonic nanoseconds of the caller's clock. One owner, on one queue.
class LogThrottle {
  public:
    explicit LogThrottle(std::chrono::nanoseconds interval) : interval_(interval.count()) {}

    std::optional<int64_t> count(uint64_t now) {
        ++pending_;
        if (last_ != 0 && static_cast<int64_t>(now - last_) < interval_) {
            return std::nullopt;
        }
        // A clock reading of 0 would read as "never logged".
        last_ = now == 0 ? 1 : now;
        return std::exchange(pending_, 0);
    }

  private:
    int64_t interval_;
    uint64_t last_ = 0;
    int64_t pending_ = 0;
};

}  // namespace kelvora
