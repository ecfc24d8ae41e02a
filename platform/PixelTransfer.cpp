#include "platform/PixelTransfer.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <string>

namespace kelvora {
namespace {

bool isYuv(AVPixelFormat format) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    return descriptor != nullptr && (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0 &&
           descriptor->nb_components >= 3;
}

const int* coefficients(ColorMatrix matrix) {
    return sws_getCoefficients(matrix == ColorMatrix::bt601 ? SWS_CS_ITU601 : SWS_CS_ITU709);
}

// The "J" formats are full-range YUV under an old name; libswscale wants the plain name and the range.
AVPixelFormat withoutJpegAlias(AVPixelFormat format, bool& fullRange) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            fullRange = true;
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            fullRange = true;
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            fullRange = true;
            return AV_PIX_FMT_YUV444P;
        default:
            return format;
    }
}

void checkView(const PictureView& view, const char* role) {
    if (view.width < 1 || view.height < 1 || view.width > PixelBuffer::kMaximumDimension ||
        view.height > PixelBuffer::kMaximumDimension || view.planes[0] == nullptr) {
        throw PixelBufferError(std::string("unusable ") + role + " picture of " + std::to_string(view.width) +
                               "x" + std::to_string(view.height));
    }
}

}  // namespace

AVPixelFormat avPixelFormat(PixelFormat format) {
    return format == PixelFormat::nv12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_BGRA;
}

PictureView PictureView::of(const PixelBuffer& buffer) {
    PictureView view;
    view.format = avPixelFormat(buffer.format());
    view.width = buffer.width();
    view.height = buffer.height();
    for (int plane = 0; plane < buffer.planeCount(); ++plane) {
        view.planes[plane] = buffer.data(plane);
        view.strides[plane] = buffer.stride(plane);
    }
    return view;
}

PictureView PictureView::of(const AVFrame& frame) {
    PictureView view;
    view.format = static_cast<AVPixelFormat>(frame.format);
    view.width = frame.width;
    view.height = frame.height;
    for (int plane = 0; plane < 4; ++plane) {
        view.planes[plane] = frame.data[plane];
        view.strides[plane] = frame.linesize[plane];
    }
    view.fullRange = frame.color_range == AVCOL_RANGE_JPEG;
    view.matrix = frame.colorspace == AVCOL_SPC_BT470BG || frame.colorspace == AVCOL_SPC_SMPTE170M
                      ? ColorMatrix::bt601
                      : ColorMatrix::bt709;
    return view;
}

PixelTransfer::PixelTransfer(TransferQuality quality) : quality_(quality) {}

PixelTransfer::~PixelTransfer() {
    sws_freeContext(context_);
}

void PixelTransfer::transfer(const PixelBuffer& source, const PixelBuffer& destination) {
    transfer(PictureView::of(source), PictureView::of(destination));
}

void PixelTransfer::transfer(const PictureView& source, const PictureView& destination) {
    checkView(source, "source");
    checkView(destination, "destination");
    Key key{source.format,         source.width,       source.height,     source.fullRange,
            source.matrix,         destination.format, destination.width, destination.height,
            destination.fullRange, destination.matrix};
    key.sourceFormat = withoutJpegAlias(key.sourceFormat, key.sourceFullRange);
    key.destinationFormat = withoutJpegAlias(key.destinationFormat, key.destinationFullRange);

    if (context_ == nullptr || !(key == key_)) {
        sws_freeContext(context_);
        context_ = nullptr;
        if (!sws_isSupportedInput(key.sourceFormat) || !sws_isSupportedOutput(key.destinationFormat)) {
            throw PixelBufferError(std::string("cannot convert ") +
                                   (av_get_pix_fmt_name(key.sourceFormat) ?: "?") + " to " +
                                   (av_get_pix_fmt_name(key.destinationFormat) ?: "?"));
        }
        // RGB sides are always full range; libswscale ignores the matrix there.
        bool sourceRange = isYuv(key.sourceFormat) ? key.sourceFullRange : true;
        bool destinationRange = isYuv(key.destinationFormat) ? key.destinationFullRange : true;
        context_ = sws_alloc_context();
        if (context_ == nullptr) {
            throw PixelBufferError("libswscale could not allocate a scaler");
        }
        // The ranges must be known before initialisation: with equal sizes libswscale otherwise picks a
        // plain copy between YUV layouts that would leave full-range levels as they are.
        // Bilinear with accurate rounding where pictures are encoded or compared: it keeps flat areas at
        // their exact level (the timecode strip relies on that). Pictures only shown on screen skip the
        // accurate rounding and full chroma interpolation, which cost libswscale its SIMD paths (several
        // times slower).
        av_opt_set_int(context_, "srcw", key.sourceWidth, 0);
        av_opt_set_int(context_, "srch", key.sourceHeight, 0);
        av_opt_set_int(context_, "src_format", key.sourceFormat, 0);
        av_opt_set_int(context_, "src_range", sourceRange ? 1 : 0, 0);
        av_opt_set_int(context_, "dstw", key.destinationWidth, 0);
        av_opt_set_int(context_, "dsth", key.destinationHeight, 0);
        av_opt_set_int(context_, "dst_format", key.destinationFormat, 0);
        av_opt_set_int(context_, "dst_range", destinationRange ? 1 : 0, 0);
        const int64_t flags = quality_ == TransferQuality::exact
                                  ? SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT
                                  : SWS_BILINEAR;
        av_opt_set_int(context_, "sws_flags", flags, 0);
        if (sws_init_context(context_, nullptr, nullptr) < 0) {
            sws_freeContext(context_);
            context_ = nullptr;
            throw PixelBufferError("libswscale refused the conversion");
        }
        sws_setColorspaceDetails(context_, coefficients(key.sourceMatrix), sourceRange ? 1 : 0,
                                 coefficients(key.destinationMatrix), destinationRange ? 1 : 0, 0, 1 << 16,
                                 1 << 16);
        key_ = key;
    }
    const uint8_t* const* sourcePlanes = source.planes.data();
    int rows = sws_scale(context_, sourcePlanes, source.strides.data(), 0, source.height,
                         destination.planes.data(), destination.strides.data());
    if (rows <= 0) {
        throw PixelBufferError("libswscale failed to convert the picture");
    }
}

}  // namespace kelvora
