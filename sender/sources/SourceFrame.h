#pragma once

#include "core/VideoDimensions.h"
#include "platform/PixelBuffer.h"

#include <cstdint>

namespace kelvora {

// One picture from a video source, on its way to the pipeline's encoders and previews.
struct SourceFrame {
    // NV12 video range from cameras, NDI and video files; BGRA from the test pattern. The frame shares the
    // pixels with whoever else holds the buffer; nobody writes into them after the source handed them on.
    PixelBuffer pixelBuffer;
    // When the picture was captured, in MonotonicClock nanoseconds; every latency figure starts here.
    uint64_t captureTime = 0;
    // Only pictures of the test pattern; carried into the encoded frame's flag.
    bool isTestPattern = false;

    // The picture's own size, whatever size was asked for.
    VideoDimensions dimensions() const {
        return pixelBuffer ? VideoDimensions{pixelBuffer.width(), pixelBuffer.height()} : VideoDimensions{};
    }
};

}  // namespace kelvora
