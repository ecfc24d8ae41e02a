#include "core/MonotonicClock.h"

#include <time.h>

namespace kelvora {

uint64_t MonotonicClock::now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(ts.tv_nsec);
}

}  // namespace kelvora
