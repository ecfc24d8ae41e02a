#include "sender/sources/NDIFrameConverter.h"

#include "core/Log.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

#include <limits>

namespace kelvora {

std::optional<AVPixelFormat> NDIFrameConverter::pixelFormat(uint32_t fourCC) {
    if (fourCC == ndi::fourCC("UYVY")) {
        return AV_PIX_FMT_UYVY422;
    }
    if (fourCC == ndi::fourCC("BGRA")) {
        return AV_PIX_FMT_BGRA;
    }
    if (fourCC == ndi::fourCC("BGRX")) {
        return AV_PIX_FMT_BGR0;
    }
    if (fourCC == ndi::fourCC("RGBA")) {
        return AV_PIX_FMT_RGBA;
    }
    if (fourCC == ndi::fourCC("RGBX")) {
        return AV_PIX_FMT_RGB0;
    }
    return std::nullopt;
}

int64_t NDIFrameConverter::rowBytes(uint32_t fourCC, int width) {
    // UYVY packs two pixels into four bytes.
    return fourCC == ndi::fourCC("UYVY") ? (static_cast<int64_t>(width) + 1) / 2 * 4
                                         : static_cast<int64_t>(width) * 4;
}

PixelBuffer NDIFrameConverter::convert(const NDIVideoFrame& frame) {
    const auto format = pixelFormat(frame.fourCC);
    if (frame.data == nullptr || frame.xres < 1 || frame.yres < 1 || !format ||
        frame.xres > PixelBuffer::kMaximumDimension || frame.yres > PixelBuffer::kMaximumDimension) {
        return {};
    }
    // The stride comes from another program over the network: one that does not cover a row would make
    // the conversion read rows into each other or run off the end of the picture.
    const int64_t stride = frame.lineStrideInBytes;
    if (stride < rowBytes(frame.fourCC, frame.xres) ||
        stride * frame.yres > std::numeric_limits<int32_t>::max()) {
        if (!loggedBadStride_) {
            Log::capture().warn("NDI-Bild verworfen: Zeilenlänge {} passt nicht zu {} Pixeln Breite ({})",
                                frame.lineStrideInBytes, frame.xres, av_get_pix_fmt_name(*format));
            loggedBadStride_ = true;
        }
        return {};
    }
    PictureView source;
    source.format = *format;
    source.width = frame.xres;
    source.height = frame.yres;
    source.planes[0] = frame.data;
    source.strides[0] = frame.lineStrideInBytes;
    // NDI sends standard-definition YUV with the SD matrix and everything larger with BT.709.
    source.matrix = frame.yres < 720 ? ColorMatrix::bt601 : ColorMatrix::bt709;
    try {
        if (!pool_ || pool_->width() != frame.xres || pool_->height() != frame.yres) {
            pool_.reset();
            pool_ = std::make_unique<PixelBufferPool>(PixelFormat::nv12, frame.xres, frame.yres);
            ++poolsMade_;
        }
        PixelBuffer buffer = pool_->make();
        transfer_.transfer(source, PictureView::of(buffer));
        return buffer;
    } catch (const PixelBufferError& error) {
        Log::capture().debug("NDI-Bild verworfen: {}", error.what());
        return {};
    }
}

}  // namespace kelvora
