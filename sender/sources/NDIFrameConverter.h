#pragma once

#include "platform/PixelBuffer.h"
#include "platform/PixelBufferPool.h"
#include "platform/PixelTransfer.h"
#include "sender/sources/NDIFunctionTable.h"

#include <memory>
#include <optional>

namespace kelvora {

// Copies received NDI pictures (UYVY, BGRA/BGRX, RGBA/RGBX) into pooled NV12 video-range buffers of the
// same size, converting on the way. The pool follows the picture size. One per receive thread.
class NDIFrameConverter {
  public:
    NDIFrameConverter() = default;
    NDIFrameConverter(const NDIFrameConverter&) = delete;
    NDIFrameConverter& operator=(const NDIFrameConverter&) = delete;

    // A null buffer for a picture that is skipped: no data, no size, a layout not in the table, a line
    // stride that does not cover a row, or a failed conversion. The frame's memory is only read during
    // the call.
    PixelBuffer convert(const NDIVideoFrame& frame);

    // How a FourCC is read; nothing for the ones that are skipped.
    static std::optional<AVPixelFormat> pixelFormat(uint32_t fourCC);
    // Bytes one row of `width` pixels takes in that layout.
    static int64_t rowBytes(uint32_t fourCC, int width);

    // Pools made so far (a new one for every change of size).
    int poolsMade() const { return poolsMade_; }

  private:
    std::unique_ptr<PixelBufferPool> pool_;
    PixelTransfer transfer_;
    int poolsMade_ = 0;
    bool loggedBadStride_ = false;
};

}  // namespace kelvora
