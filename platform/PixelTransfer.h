#pragma once

#include "platform/PixelBuffer.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

#include <array>
#include <cstdint>

struct AVFrame;
struct SwsContext;

namespace kelvora {

// Which matrix turns a YUV picture into RGB.
enum class ColorMatrix : uint8_t { bt709, bt601 };

// A picture in any layout libswscale knows, described without owning it: a capture device's YUYV frame, a
// decoder's frame, one of our buffers. The planes are only read when the view is a source.
struct PictureView {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    int width = 0;
    int height = 0;
    std::array<uint8_t*, 4> planes{};
    std::array<int, 4> strides{};
    // YUV only: 0...255 instead of the video range.
    bool fullRange = false;
    ColorMatrix matrix = ColorMatrix::bt709;

    static PictureView of(const PixelBuffer& buffer);
    // A decoded frame, with its range and matrix (BT.601 for SD matrices, BT.709 otherwise).
    static PictureView of(const AVFrame& frame);
};

AVPixelFormat avPixelFormat(PixelFormat format);

// How carefully a transfer rounds. `exact` keeps flat areas at their exact level and every pixel's own
// chroma: what an encoder or a byte comparison needs. `display` is for pictures that are only looked at:
// plain bilinear lets libswscale take its SIMD paths, at a cost of a level or so and chroma shared by pixel
// pairs.
enum class TransferQuality : uint8_t { exact, display };

// Converts and scales pictures through libswscale: any size to any size, between NV12, BGRA and the
// formats of capture devices and decoders. Keeps the scaler of the last call for the next one, so a
// stream of equal pictures builds it once. One instance per thread or queue; not safe to share.
class PixelTransfer {
  public:
    explicit PixelTransfer(TransferQuality quality = TransferQuality::exact);
    ~PixelTransfer();
    PixelTransfer(const PixelTransfer&) = delete;
    PixelTransfer& operator=(const PixelTransfer&) = delete;

    // Fills all of `destination` from all of `source`, scaling when the sizes differ. Throws
    // PixelBufferError when libswscale cannot convert between the two layouts or the views are not usable.
    void transfer(const PictureView& source, const PictureView& destination);
    void transfer(const PixelBuffer& source, const PixelBuffer& destination);

  private:
    struct Key {
        AVPixelFormat sourceFormat;
        int sourceWidth;
        int sourceHeight;
        bool sourceFullRange;
        ColorMatrix sourceMatrix;
        AVPixelFormat destinationFormat;
        int destinationWidth;
        int destinationHeight;
        bool destinationFullRange;
        ColorMatrix destinationMatrix;
        bool operator==(const Key&) const = default;
    };

    TransferQuality quality_;
    SwsContext* context_ = nullptr;
    Key key_{};
};

}  // namespace kelvora
