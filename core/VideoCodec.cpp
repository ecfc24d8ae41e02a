#include "core/VideoCodec.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace kelvora {

std::optional<VideoCodec> videoCodecFromRaw(uint8_t rawValue) {
    switch (rawValue) {
        case 1:
            return VideoCodec::h264;
        case 2:
            return VideoCodec::hevc;
        default:
            return std::nullopt;
    }
}

std::optional<VideoCodec> videoCodecFromLenient(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower == "h264" || lower == "avc")
        return VideoCodec::h264;
    if (lower == "hevc" || lower == "h265")
        return VideoCodec::hevc;
    return std::nullopt;
}

std::string_view videoCodecName(VideoCodec codec) {
    return codec == VideoCodec::hevc ? "hevc" : "h264";
}

std::string_view videoCodecDisplayName(VideoCodec codec) {
    return codec == VideoCodec::hevc ? "HEVC" : "H.264";
}

VideoCodec json::Coder<VideoCodec>::from(const Json& value) {
    auto raw = json::from<uint8_t>(value);
    auto codec = videoCodecFromRaw(raw);
    if (!codec)
        fail("unknown codec " + std::to_string(raw));
    return *codec;
}

}  // namespace kelvora
