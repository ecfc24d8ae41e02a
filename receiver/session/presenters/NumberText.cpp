#include "receiver/session/presenters/NumberText.h"

#include <array>
#include <charconv>
#include <cmath>

namespace kelvora {
namespace {

constexpr const char* kNoValue = "\u2013";

}  // namespace

std::string fixedText(double value, int decimals) {
    if (!std::isfinite(value)) {
        return kNoValue;
    }
    decimals = decimals < 0 ? 0 : (decimals > 17 ? 17 : decimals);
    // 309 integer digits at most, a sign, a point and the decimals.
    std::array<char, 352> buffer{};
    const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                      std::chars_format::fixed, decimals);
    return std::string(buffer.data(), result.ptr);
}

std::string roundedText(double value) {
    // 2^63 is exactly representable; anything at or beyond it does not fit a long long.
    if (!std::isfinite(value) || std::fabs(value) >= 9223372036854775808.0) {
        return kNoValue;
    }
    return std::to_string(std::llround(value));
}

}  // namespace kelvora
