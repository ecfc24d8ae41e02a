#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

namespace kelvora {

// Figures that reach us from viewers, or that are derived from them in floating point, must never wrap or
// hit undefined conversions. These helpers keep such arithmetic inside the target type.

// Converts a double to an integer type, truncating toward zero; out-of-range values stick to the bounds and
// NaN becomes 0.
template <class Int>
constexpr Int clampedInt(double value) {
    static_assert(std::is_integral_v<Int>);
    if (std::isnan(value)) {
        return 0;
    }
    constexpr double lowest = static_cast<double>(std::numeric_limits<Int>::min());
    constexpr double highest = static_cast<double>(std::numeric_limits<Int>::max());
    if (value <= lowest) {
        return std::numeric_limits<Int>::min();
    }
    if (value >= highest) {
        return std::numeric_limits<Int>::max();
    }
    return static_cast<Int>(value);
}

// a + b, sticking at the type's bounds instead of wrapping.
template <class Int>
constexpr Int saturatingAdd(Int a, Int b) {
    static_assert(std::is_integral_v<Int>);
    Int sum{};
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<Int>::max() : std::numeric_limits<Int>::min();
    }
    return sum;
}

// A viewer's count as something we can add up: negative counts are nonsense and count as nothing.
template <class Int>
constexpr Int nonNegative(Int value) {
    return value < 0 ? Int{0} : value;
}

}  // namespace kelvora
