#include "sender/pipeline/EncoderConfiguration.h"

#include <algorithm>
#include <cmath>

namespace kelvora {

namespace {

int evenSide(int side) {
    return std::clamp(side, EncoderConfiguration::minimumSide, EncoderConfiguration::maximumSide) & ~1;
}

}  // namespace

EncoderConfiguration EncoderConfiguration::sanitized() const {
    EncoderConfiguration safe = *this;
    safe.frameRate = std::clamp(frameRate, 1, 240);
    safe.bitrateKbps = std::clamp(bitrateKbps, minimumBitrateKbps, maximumBitrateKbps);
    safe.dimensions = {evenSide(dimensions.width), evenSide(dimensions.height)};
    if (!std::isfinite(keyframeInterval) || keyframeInterval <= 0) {
        safe.keyframeInterval = 2.0;
    } else {
        // Shorter than one frame means every frame; longer than an hour means practically never, and keeps
        // the frame count of the interval inside an int.
        safe.keyframeInterval = std::clamp(keyframeInterval, 1.0 / safe.frameRate, 3600.0);
    }
    return safe;
}

}  // namespace kelvora
