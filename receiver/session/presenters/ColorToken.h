#pragma once

#include <string_view>

namespace kelvora {

// The named colours a presenter can hand a view. The theme gives each its light and dark value; a
// presenter only ever names one.
enum class ColorToken { gray, orange, red, liveRed, green, blue, purple, yellow };

// The token's name as the theme knows it ("liveRed").
std::string_view colorTokenName(ColorToken token);

}  // namespace kelvora
