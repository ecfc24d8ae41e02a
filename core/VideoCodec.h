#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/Json.h"

namespace kelvora {

// The compression of a stream. The raw value is its number in every JSON record and its byte in the
// encoded-frame format.
enum class VideoCodec : uint8_t { h264 = 1, hevc = 2 };

inline constexpr std::array<VideoCodec, 2> allVideoCodecs{VideoCodec::h264, VideoCodec::hevc};

// Exactly 1 and 2; nothing for any other byte.
std::optional<VideoCodec> videoCodecFromRaw(uint8_t rawValue);
// Free text as a service announcement may carry it: "h264"/"avc" and "hevc"/"h265", any case.
std::optional<VideoCodec> videoCodecFromLenient(std::string_view text);
// "h264" or "hevc": the announcement's form.
std::string_view videoCodecName(VideoCodec codec);
// "H.264" or "HEVC".
std::string_view videoCodecDisplayName(VideoCodec codec);

namespace json {
template <>
struct Coder<VideoCodec> {
    static VideoCodec from(const Json& value);
    static Json to(VideoCodec codec) { return Json(static_cast<uint8_t>(codec)); }
};
}  // namespace json

}  // namespace kelvora
