#pragma once

#include <memory>
#include <vector>

#include "platform/PixelBuffer.h"
#include "platform/PixelBufferPool.h"
#include "platform/PixelTransfer.h"
#include "sender/pipeline/ParallelLoop.h"

namespace kelvora {

// Every tier encodes NV12. A source picture in BGRA (the test pattern draws BGRA) is converted once, at its
// own size, before it is handed to the tiers: converted by each tier's encoder, every tier paid for the same
// conversion again, and the smaller tiers scaled from four bytes a pixel instead of one and a half.
//
// The conversion runs in horizontal bands on the fan-out's threads, so the main tier's encoder starts a few
// milliseconds earlier at 1080p. Each band converts two rows more on either side and keeps only its own, so
// that the chroma filter sees the same neighbours as in one whole conversion: the result is the same picture.
//
// Not thread-safe: one source thread converts at a time.
class Nv12Intake {
  public:
    explicit Nv12Intake(size_t bands);

    // One band per processor this process may run on (its affinity, which `taskset` narrows, not the
    // machine's count), eight at most: the encoders wait for the picture, so those processors are idle then.
    static size_t bandsForThisProcess();

    // A BGRA picture becomes a pooled NV12 picture of the same size; any other passes unchanged (the
    // encoders convert what they get). Throws PixelBufferError when the picture cannot be converted.
    PixelBuffer convert(const PixelBuffer& picture, ParallelLoop& loop);

  private:
    struct Band {
        PixelTransfer transfer;  // a scaler is never shared between threads
        std::unique_ptr<PixelBufferPool> scratch;
    };
    std::vector<std::unique_ptr<Band>> bands_;
    std::unique_ptr<PixelBufferPool> pool_;
};

}  // namespace kelvora
