#pragma once

#include "core/VideoDimensions.h"
#include "platform/PixelBuffer.h"
#include "platform/PixelBufferPool.h"
#include "platform/PixelTransfer.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace kelvora {

// One picture as a V4L2 buffer holds it.
struct CapturedPicture {
    uint32_t pixelFormat = 0;  // YUYV, NV12, MJPEG or JPEG
    int width = 0;
    int height = 0;
    // Bytes from one row to the next of the first plane (NV12's chroma rows follow the luma rows with
    // the same stride); unused for JPEG.
    int bytesPerLine = 0;
    const uint8_t* data = nullptr;
    size_t size = 0;
    // What the device says of its YUV levels and matrix (JPEG pictures carry their own).
    bool fullRange = false;
    ColorMatrix matrix = ColorMatrix::bt601;
};

// Turns a device's pictures into pooled NV12 video-range buffers: YUYV and NV12 through libswscale, MJPEG
// through libavcodec's decoder first. With a fixed output size whose shape differs from the picture, the
// picture is scaled to fit inside it, centred, with black bars. Used on one queue only.
class CaptureFrameConverter {
  public:
    // Without an output size every buffer has the picture's own size.
    explicit CaptureFrameConverter(std::optional<VideoDimensions> outputSize = std::nullopt);
    ~CaptureFrameConverter();
    CaptureFrameConverter(const CaptureFrameConverter&) = delete;
    CaptureFrameConverter& operator=(const CaptureFrameConverter&) = delete;

    // A null buffer when the picture cannot be used: too few bytes for its size, a corrupt JPEG, a layout
    // this converter does not know. The picture's memory is only read during the call.
    PixelBuffer convert(const CapturedPicture& picture);

    static bool canConvert(uint32_t pixelFormat);

  private:
    PixelBuffer place(const PictureView& source);
    PixelBuffer convertJpeg(const CapturedPicture& picture);

    std::optional<VideoDimensions> outputSize_;
    std::unique_ptr<PixelBufferPool> pool_;
    PixelTransfer transfer_;
    AVCodecContext* decoder_ = nullptr;
    AVFrame* decoded_ = nullptr;
    AVPacket* packet_ = nullptr;
    // JPEG data copied behind libavcodec's required zero padding.
    std::vector<uint8_t> jpeg_;
};

}  // namespace kelvora
