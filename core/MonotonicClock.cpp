#include "core/MonotonicClock.h"

#include <sys/time.h>
#include <time.h>

#include <limits>

namespace kelvora {

uint64_t MonotonicClock::now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t MonotonicClock::nanoseconds(int64_t value, int64_t numerator, int64_t denominator) {
    if (value <= 0 || numerator <= 0 || denominator <= 0) {
        return now();
    }
    // Exact in 128 bits: value and numerator are below 2^63 each, times 1e9 stays below 2^126.
    unsigned __int128 scaled = static_cast<unsigned __int128>(value) *
                               static_cast<unsigned __int128>(numerator) * 1'000'000'000u /
                               static_cast<unsigned __int128>(denominator);
    if (scaled == 0 || scaled > std::numeric_limits<uint64_t>::max()) {
        return now();
    }
    return static_cast<uint64_t>(scaled);
}

uint64_t MonotonicClock::nanoseconds(const timeval& time) {
    if (time.tv_sec < 0 || time.tv_usec < 0 || time.tv_usec >= 1'000'000) {
        return now();
    }
    return nanoseconds(static_cast<int64_t>(time.tv_sec) * 1'000'000 + time.tv_usec, 1, 1'000'000);
}

}  // namespace kelvora
