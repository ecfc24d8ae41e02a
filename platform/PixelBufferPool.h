#pragma once

#include "platform/PixelBuffer.h"

#include <cstddef>
#include <memory>

namespace kelvora {

// Recycles the pixel memory of one picture size and format. A buffer made by the pool returns its memory to
// the pool when its last copy is gone; the pool keeps at most `maximumRetained` idle buffers and frees the
// rest. Buffers may outlive the pool (their memory is then simply freed). Safe to use from any thread.
class PixelBufferPool {
  public:
    PixelBufferPool(PixelFormat format, int width, int height, size_t maximumRetained = 6);

    // A buffer of the pool's size and format, with whatever pixels it held before.
    PixelBuffer make();

    PixelFormat format() const { return format_; }
    int width() const { return width_; }
    int height() const { return height_; }

    // Idle buffers waiting to be reused.
    size_t idleCount() const;
    // Frees the idle buffers (the ones in use come back later as usual).
    void flush();

    // Shared by the pool and the buffers it made (internal).
    struct State;

  private:
    PixelFormat format_;
    int width_;
    int height_;
    std::shared_ptr<State> state_;
};

}  // namespace kelvora
