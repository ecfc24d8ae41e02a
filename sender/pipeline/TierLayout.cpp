#include "sender/pipeline/TierLayout.h"

#include <algorithm>
#include <cmath>

namespace kelvora {

namespace {

constexpr int proxyWidth = 640;
constexpr int middleWidth = 1280;
constexpr int smallestScaledHeight = 180;
constexpr int proxyFloorKbps = 300;
constexpr int proxyStartKbps = 500;
constexpr int middleDefaultKbps = 2500;

EncoderConfiguration commonConfiguration(const SenderSettings& settings, const TierInputs& inputs) {
    EncoderConfiguration configuration;
    configuration.codec = inputs.codec;
    configuration.dimensions = inputs.dimensions;
    configuration.frameRate = inputs.frameRate;
    configuration.keyframeInterval = settings.keyframeInterval;
    configuration.temporalLayering = settings.temporalLayering;
    configuration.longTermReferences = settings.longTermReferences;
    configuration.intraOnly = false;
    configuration.lowLatencyRateControl = true;
    return configuration;
}

}  // namespace

int TierLayout::normalMainBitrateKbps(const SenderSettings& settings, VideoDimensions dimensions,
                                      int frameRate) {
    if (settings.automaticBitrate) {
        return SenderSettings::automaticBitrateKbps(dimensions.width, dimensions.height, frameRate, false);
    }
    return settings.bitrateKbps;
}

int TierLayout::effectiveMainBitrateKbps(const SenderSettings& settings, VideoDimensions dimensions,
                                         int frameRate) {
    if (!settings.studioMode) {
        return normalMainBitrateKbps(settings, dimensions, frameRate);
    }
    if (settings.automaticBitrate) {
        return SenderSettings::automaticBitrateKbps(dimensions.width, dimensions.height, frameRate, true);
    }
    return settings.studioBitrateKbps;
}

VideoDimensions TierLayout::scaledDimensions(int width, int height, int targetWidth) {
    if (targetWidth >= width) {
        return {width, height};
    }
    const double exact = double(height) * double(targetWidth) / double(std::max(width, 1));
    // The 180-line floor keeps wide pictures watchable, but a picture flatter than that is taken at its own
    // height: lifting it to 180 lines would make the tier larger than its source (3000×100 would become
    // 5400×180).
    const int newHeight = std::min(std::max(int(std::lround(exact)), smallestScaledHeight), height);
    return VideoDimensions{width, height}.scaled(newHeight);
}

std::optional<VideoDimensions> TierLayout::middleDimensions(int width, int height) {
    if (width <= middleWidth) {
        return std::nullopt;
    }
    return scaledDimensions(width, height, middleWidth);
}

std::optional<double> TierLayout::reducedFrameRate(int frameRate) {
    if (frameRate <= 30) {
        return std::nullopt;
    }
    return double(frameRate) / double(int(double(frameRate) / 30.0));
}

std::optional<double> TierLayout::frameRateLimit(uint8_t tier, const SenderSettings& settings,
                                                 int frameRate) {
    const double rate = std::max(frameRate, 1);
    double limit = rate;
    if (tier == mainTier) {
        if (settings.maximumFrameRate && *settings.maximumFrameRate > 0 &&
            *settings.maximumFrameRate < rate) {
            limit = rate / double(std::max(int(rate / *settings.maximumFrameRate), 1));
        }
    } else if (tier == proxyTier || !settings.studioMode) {
        limit = reducedFrameRate(frameRate).value_or(rate);
    }
    if (limit >= rate - 0.5) {
        return std::nullopt;
    }
    return limit;
}

TierPlanner::Profile TierLayout::profile(const SenderSettings& settings, VideoDimensions dimensions,
                                         int frameRate) {
    if (!settings.studioMode) {
        return TierPlanner::normalProfile();
    }
    return TierPlanner::studioProfile(effectiveMainBitrateKbps(settings, dimensions, frameRate),
                                      normalMainBitrateKbps(settings, dimensions, frameRate));
}

std::string TierLayout::tierName(uint8_t tier, bool studioMode) {
    switch (tier) {
        case mainTier:
            return studioMode ? "Studio (I-Frames)" : "Hauptstream";
        case middleTier:
            return studioMode ? "1080p komprimiert" : "Zwischenstufe";
        default:
            return "Proxy-Stream";
    }
}

EncoderConfiguration TierLayout::mainConfiguration(const SenderSettings& settings, const TierInputs& inputs) {
    EncoderConfiguration configuration = commonConfiguration(settings, inputs);
    configuration.bitrateKbps = effectiveMainBitrateKbps(settings, inputs.dimensions, inputs.frameRate);
    configuration.intraOnly = settings.studioMode;
    configuration.lowLatencyRateControl = !settings.fullBitrateEncoder;
    return configuration;
}

std::optional<EncoderConfiguration> TierLayout::proxyConfiguration(const SenderSettings& settings,
                                                                   const TierInputs& inputs) {
    if (!settings.adaptiveBitrate || !settings.proxyStream) {
        return std::nullopt;
    }
    EncoderConfiguration configuration = commonConfiguration(settings, inputs);
    configuration.dimensions =
        scaledDimensions(inputs.dimensions.width, inputs.dimensions.height, proxyWidth);
    const int planned =
        inputs.proxyClientKbps ? std::max(*inputs.proxyClientKbps, proxyFloorKbps) : proxyStartKbps;
    configuration.bitrateKbps = std::min(planned, settings.proxyBitrateKbps);
    return configuration;
}

std::optional<EncoderConfiguration> TierLayout::middleConfiguration(const SenderSettings& settings,
                                                                    const TierInputs& inputs) {
    std::optional<VideoDimensions> dimensions;
    if (settings.studioMode) {
        dimensions = inputs.dimensions;
    } else if (settings.middleTier) {
        dimensions = middleDimensions(inputs.dimensions.width, inputs.dimensions.height);
    }
    if (!dimensions) {
        return std::nullopt;
    }
    EncoderConfiguration configuration = commonConfiguration(settings, inputs);
    configuration.dimensions = *dimensions;
    if (inputs.middleKbps) {
        configuration.bitrateKbps = *inputs.middleKbps;
    } else if (settings.studioMode) {
        configuration.bitrateKbps = normalMainBitrateKbps(settings, inputs.dimensions, inputs.frameRate);
    } else {
        configuration.bitrateKbps = middleDefaultKbps;
    }
    return configuration;
}

}  // namespace kelvora
