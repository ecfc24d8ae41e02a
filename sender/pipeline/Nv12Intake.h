#pragma once

#include <memory>

#include "platform/PixelBuffer.h"
#include "platform/PixelBufferPool.h"
#include "platform/PixelTransfer.h"

namespace kelvora {

// Every tier encodes NV12. A source picture in BGRA (the test pattern draws BGRA) is converted once, at its
// own size, before it is handed to the tiers: converted by each tier's encoder, every tier paid for the same
// conversion again, and the smaller tiers scaled from four bytes a pixel instead of one and a half.
//
// Not thread-safe: one source thread converts at a time.
class Nv12Intake {
  public:
    // A BGRA picture becomes a pooled NV12 picture of the same size; any other passes unchanged (the
    // encoders convert what they get). Throws PixelBufferError when the picture cannot be converted.
    PixelBuffer convert(const PixelBuffer& picture);

  private:
    PixelTransfer transfer_;
    std::unique_ptr<PixelBufferPool> pool_;
};

}  // namespace kelvora
