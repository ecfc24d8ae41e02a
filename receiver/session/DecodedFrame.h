#pragma once

#include <cstdint>

#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"
#include "platform/PixelBuffer.h"

namespace kelvora {

// What travels with a decoded picture: where it came from and when.
struct FrameTiming {
    uint64_t frameNumber = 0;
    uint64_t captureTime = 0;    // the sender's capture time, monotonic ns of the sender
    uint64_t arrivalTime = 0;    // when the frame was handed to the decoder, monotonic ns of this machine
    VideoDimensions dimensions;  // as the frame announced them
    VideoCodec codec = VideoCodec::h264;
    uint32_t targetBitrateKbps = 0;
    bool isTestPattern = false;

    bool operator==(const FrameTiming&) const = default;
};

// One decoded picture: NV12, video range.
struct DecodedFrame {
    PixelBuffer pixelBuffer;
    FrameTiming frame;

    bool operator==(const DecodedFrame& other) const {
        return pixelBuffer.sharesPixelsWith(other.pixelBuffer) && frame == other.frame;
    }
};

}  // namespace kelvora
