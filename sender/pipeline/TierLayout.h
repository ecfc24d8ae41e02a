#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"
#include "sender/pipeline/EncoderConfiguration.h"
#include "sender/pipeline/SenderSettings.h"
#include "sender/server/TierPlanner.h"

namespace kelvora {

// What the tier encoders depend on besides the settings: the picture the output works from and what the
// planner last asked of the proxy and middle tiers.
struct TierInputs {
    VideoCodec codec = VideoCodec::h264;
    VideoDimensions dimensions = VideoDimensions::hd1080();
    int frameRate = 30;
    std::optional<int> proxyClientKbps;
    std::optional<int> middleKbps;

    bool operator==(const TierInputs&) const = default;
};

// Which tiers run, at which sizes, rates and bitrates. Tier 0 is the main stream (the intra-only studio
// stream in studio mode), tier 1 the middle tier (the compressed full-size stream in studio mode), tier 2
// the proxy. Pure functions of the settings and the current picture, so that the pipeline only has to
// apply what they say.
class TierLayout {
  public:
    TierLayout() = delete;

    static constexpr uint8_t mainTier = 0;
    static constexpr uint8_t middleTier = 1;
    static constexpr uint8_t proxyTier = 2;

    // The main bitrate outside studio mode: the automatic rule on the picture the output works from (not the
    // settings' resolution), or the configured bitrate.
    static int normalMainBitrateKbps(const SenderSettings& settings, VideoDimensions dimensions,
                                     int frameRate);
    // The main tier's bitrate: in studio mode the automatic studio rule or the studio bitrate.
    static int effectiveMainBitrateKbps(const SenderSettings& settings, VideoDimensions dimensions,
                                        int frameRate);

    // The picture scaled down to `targetWidth` (never up), at least 180 high unless the picture itself is
    // flatter, even sides; never larger than the picture.
    static VideoDimensions scaledDimensions(int width, int height, int targetWidth);
    // The middle tier's size: scaled to 1280 wide; none for pictures of at most 1280 width.
    static std::optional<VideoDimensions> middleDimensions(int width, int height);
    // The rate the proxy and the middle tier run at: the full rate up to 30 frames per second, above that
    // the rate divided by a whole factor so that it lands near 30 (60 -> 30, 50 -> 50, 120 -> 30).
    static std::optional<double> reducedFrameRate(int frameRate);
    // The rate a tier runs at when the network holds nothing back, where it lies below `frameRate`: the main
    // tier's at the settings' maximum (divided evenly, so 60 with a maximum of 25 gives 30), the proxy's and
    // outside studio mode the middle tier's near 30. Its encoder opens its sessions at this rate; frame-rate
    // adaptation paces below it.
    static std::optional<double> frameRateLimit(uint8_t tier, const SenderSettings& settings, int frameRate);

    // The planner's thresholds for these settings.
    static TierPlanner::Profile profile(const SenderSettings& settings, VideoDimensions dimensions,
                                        int frameRate);
    // "Hauptstream", "Zwischenstufe", "Proxy-Stream" (studio mode: "Studio (I-Frames)", "1080p komprimiert").
    static std::string tierName(uint8_t tier, bool studioMode);

    // The main encoder's configuration; tier 0 always runs.
    static EncoderConfiguration mainConfiguration(const SenderSettings& settings, const TierInputs& inputs);
    // The proxy's configuration, or none when it does not run (it needs adaptive bitrate and the proxy
    // stream). A planner rate is raised to at least 300 kbit/s; without one the proxy starts at 500.
    static std::optional<EncoderConfiguration> proxyConfiguration(const SenderSettings& settings,
                                                                  const TierInputs& inputs);
    // The middle tier's configuration, or none when it does not run: in studio mode always, at full size;
    // otherwise when switched on and the picture is wider than 1280.
    static std::optional<EncoderConfiguration> middleConfiguration(const SenderSettings& settings,
                                                                   const TierInputs& inputs);
};

}  // namespace kelvora
