#pragma once

#include <cstdint>
#include <cstring>

#include "platform/PixelBuffer.h"

namespace kelvora::testing {

// An NV12 picture of one grey: its luma value tells pictures apart once they are converted or sampled.
inline PixelBuffer uniformPicture(int width, int height, uint8_t luma) {
    PixelBuffer buffer = PixelBuffer::make(PixelFormat::nv12, width, height);
    for (int plane = 0; plane < 2; ++plane) {
        for (int y = 0; y < buffer.planeHeight(plane); ++y) {
            std::memset(buffer.data(plane) + static_cast<size_t>(y) * buffer.stride(plane),
                        plane == 0 ? luma : 128,
                        static_cast<size_t>(buffer.planeWidth(plane)) * buffer.bytesPerSample(plane));
        }
    }
    return buffer;
}

}  // namespace kelvora::testing
