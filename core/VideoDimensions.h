#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/Json.h"

namespace kelvora {

// A picture size in pixels.
struct VideoDimensions {
    int width = 0;
    int height = 0;

    // The largest side a peer may announce; anything larger is refused when decoding so that sizes taken
    // from the network can be multiplied without overflow.
    static constexpr int maximumSide = 65535;

    static constexpr VideoDimensions hd720() { return {1280, 720}; }
    static constexpr VideoDimensions hd1080() { return {1920, 1080}; }
    static constexpr VideoDimensions uhd2160() { return {3840, 2160}; }

    // "1920×1080" (multiplication sign, no blanks).
    std::string description() const;
    // By height alone: "720p", "1080p", ..., "480p", "0p".
    std::string label() const;
    int64_t pixelCount() const { return static_cast<int64_t>(width) * static_cast<int64_t>(height); }
    // Keeps the aspect ratio; width and height are made even, as encoders need. A size without height is
    // returned unchanged.
    VideoDimensions scaled(int toHeight) const;

    bool operator==(const VideoDimensions&) const = default;

    static VideoDimensions fromJson(const Json& object);
    Json toJson() const;
    // One side under `key` of a peer's object: an integer in 0...maximumSide, else WireError::invalidPayload.
    static int sideFromJson(const Json& object, std::string_view key);
};

}  // namespace kelvora

template <>
struct std::hash<kelvora::VideoDimensions> {
    size_t operator()(const kelvora::VideoDimensions& d) const noexcept {
        return std::hash<int64_t>{}((static_cast<int64_t>(d.width) << 32) ^ static_cast<uint32_t>(d.height));
    }
};
