#pragma once

#include <cstdint>
#include <optional>

namespace kelvora {

// How badly a media channel is backed up. Ordered: none < moderate < severe (a scoped enum compares by its
// raw value).
enum class SinkCongestion : uint8_t { none = 0, moderate = 1, severe = 2 };

// The level for a raw value, or nothing outside 0...2.
constexpr std::optional<SinkCongestion> sinkCongestion(int rawValue) {
    if (rawValue < 0 || rawValue > 2) {
        return std::nullopt;
    }
    return static_cast<SinkCongestion>(rawValue);
}

}  // namespace kelvora
