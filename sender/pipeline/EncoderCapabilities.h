#pragma once

#include "core/VideoCodec.h"

namespace kelvora {

// What this computer's real-time encoders can do, probed once per process. H.264 always has libx264;
// HEVC is offered only where a hardware encoder opens.
struct EncoderCapabilities {
    bool hevcHardware = false;
    bool h264LowLatency = false;
    bool hevcLowLatency = false;

    bool supportsLowLatency(VideoCodec codec) const {
        return codec == VideoCodec::hevc ? hevcLowLatency : h264LowLatency;
    }

    bool operator==(const EncoderCapabilities&) const = default;
};

}  // namespace kelvora
