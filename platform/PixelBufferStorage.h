#pragma once

// Internal to the pixel buffer and its pool: not for use elsewhere.

#include "platform/PixelBuffer.h"

#include <cstdlib>
#include <memory>

namespace kelvora {

struct PixelBuffer::Storage {
    struct Free {
        void operator()(uint8_t* memory) const { std::free(memory); }
    };

    PixelFormat format = PixelFormat::bgra;
    int width = 0;
    int height = 0;
    std::array<uint8_t*, 2> planes{};
    std::array<int, 2> strides{};
    // Our own pixels, or null for wrapped ones, which `owner` keeps alive instead.
    std::unique_ptr<uint8_t, Free> memory;
    std::shared_ptr<const void> owner;

    // Fresh, 64-byte aligned memory for a picture; throws PixelBufferError.
    static std::unique_ptr<Storage> allocate(PixelFormat format, int width, int height);
};

}  // namespace kelvora
