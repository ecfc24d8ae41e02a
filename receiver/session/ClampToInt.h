#pragma once

#include <algorithm>
#include <cstdint>

namespace kelvora {

// A count or rate the session keeps in 64 bits, for a field of int (reports, statistics, meters): saturates
// instead of wrapping.
inline int clampToInt(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

}  // namespace kelvora
