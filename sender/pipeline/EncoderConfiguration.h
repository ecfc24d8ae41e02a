#pragma once

#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"

namespace kelvora {

// What one tier encoder is asked to do. A change in anything but the bitrate needs a new compression
// session; the bitrate changes on the running one.
struct EncoderConfiguration {
    VideoCodec codec = VideoCodec::h264;
    VideoDimensions dimensions = VideoDimensions::hd1080();
    int frameRate = 30;
    int bitrateKbps = 6000;
    // Seconds between keyframes.
    double keyframeInterval = 2.0;
    // Ask for a base layer at half the frame rate.
    bool temporalLayering = false;
    // Ask for long-term references, so that a lost frame can be repaired without a full keyframe.
    bool longTermReferences = false;
    // Every frame a keyframe (studio mode).
    bool intraOnly = false;
    bool lowLatencyRateControl = true;

    bool operator==(const EncoderConfiguration&) const = default;

    static constexpr int minimumBitrateKbps = 100;
    static constexpr int maximumBitrateKbps = 2'000'000;
    static constexpr int minimumSide = 16;
    static constexpr int maximumSide = 16384;

    // The configuration as an encoder can run it. Values come from stored settings that nobody validated,
    // so a damaged record must not divide by zero or stop the encoder: frame rate at least 1, a positive
    // finite keyframe interval (2 s when there is none), even sides of at least 16, and a bitrate of at
    // least 100 kbit/s.
    EncoderConfiguration sanitized() const;
};

}  // namespace kelvora
