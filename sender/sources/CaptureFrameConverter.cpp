#include "sender/sources/CaptureFrameConverter.h"

#include "core/Log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>

namespace kelvora {

namespace {

// Where a picture of `source` size lands inside `frame`: as large as fits with the same shape, centred,
// on even coordinates so that NV12's chroma pairs stay aligned.
struct Placement {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

Placement fit(int sourceWidth, int sourceHeight, int frameWidth, int frameHeight) {
    Placement placement{0, 0, frameWidth, frameHeight};
    const int64_t across = static_cast<int64_t>(sourceWidth) * frameHeight;
    const int64_t down = static_cast<int64_t>(frameWidth) * sourceHeight;
    if (across > down) {
        placement.height = static_cast<int>(down / sourceWidth) & ~1;
    } else if (across < down) {
        placement.width = static_cast<int>(across / sourceHeight) & ~1;
    }
    placement.width = std::max(placement.width, 2);
    placement.height = std::max(placement.height, 2);
    placement.x = ((frameWidth - placement.width) / 2) & ~1;
    placement.y = ((frameHeight - placement.height) / 2) & ~1;
    return placement;
}

void fillBlack(const PixelBuffer& buffer) {
    for (int row = 0; row < buffer.planeHeight(0); ++row) {
        std::memset(buffer.data(0) + static_cast<size_t>(row) * buffer.stride(0), 16, buffer.planeWidth(0));
    }
    for (int row = 0; row < buffer.planeHeight(1); ++row) {
        std::memset(buffer.data(1) + static_cast<size_t>(row) * buffer.stride(1), 128,
                    static_cast<size_t>(buffer.planeWidth(1)) * 2);
    }
}

}  // namespace

CaptureFrameConverter::CaptureFrameConverter(std::optional<VideoDimensions> outputSize)
    : outputSize_(outputSize) {}

CaptureFrameConverter::~CaptureFrameConverter() {
    avcodec_free_context(&decoder_);
    av_frame_free(&decoded_);
    av_packet_free(&packet_);
}

bool CaptureFrameConverter::canConvert(uint32_t pixelFormat) {
    return pixelFormat == V4L2_PIX_FMT_YUYV || pixelFormat == V4L2_PIX_FMT_NV12 ||
           pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG;
}

PixelBuffer CaptureFrameConverter::convert(const CapturedPicture& picture) {
    if (picture.data == nullptr || picture.width < 1 || picture.height < 1 ||
        picture.width > PixelBuffer::kMaximumDimension || picture.height > PixelBuffer::kMaximumDimension) {
        return {};
    }
    PictureView view;
    view.width = picture.width;
    view.height = picture.height;
    view.fullRange = picture.fullRange;
    view.matrix = picture.matrix;
    // The driver's sizes are checked against the bytes it actually filled before anything reads them.
    const auto rows = static_cast<size_t>(picture.height);
    switch (picture.pixelFormat) {
        case V4L2_PIX_FMT_YUYV: {
            const size_t stride = picture.bytesPerLine > 0 ? static_cast<size_t>(picture.bytesPerLine)
                                                           : static_cast<size_t>(picture.width) * 2;
            if (stride < static_cast<size_t>(picture.width) * 2 || picture.size < stride * rows) {
                return {};
            }
            view.format = AV_PIX_FMT_YUYV422;
            view.planes[0] = const_cast<uint8_t*>(picture.data);
            view.strides[0] = static_cast<int>(stride);
            break;
        }
        case V4L2_PIX_FMT_NV12: {
            const size_t stride = picture.bytesPerLine > 0 ? static_cast<size_t>(picture.bytesPerLine)
                                                           : static_cast<size_t>(picture.width);
            const size_t chromaRows = (rows + 1) / 2;
            if (stride < static_cast<size_t>(picture.width) || picture.size < stride * (rows + chromaRows)) {
                return {};
            }
            view.format = AV_PIX_FMT_NV12;
            view.planes[0] = const_cast<uint8_t*>(picture.data);
            view.planes[1] = const_cast<uint8_t*>(picture.data) + stride * rows;
            view.strides[0] = static_cast<int>(stride);
            view.strides[1] = static_cast<int>(stride);
            break;
        }
        case V4L2_PIX_FMT_MJPEG:
        case V4L2_PIX_FMT_JPEG:
            return convertJpeg(picture);
        default:
            return {};
    }
    return place(view);
}

PixelBuffer CaptureFrameConverter::convertJpeg(const CapturedPicture& picture) {
    if (decoder_ == nullptr) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        if (codec == nullptr) {
            return {};
        }
        decoder_ = avcodec_alloc_context3(codec);
        decoded_ = av_frame_alloc();
        packet_ = av_packet_alloc();
        if (decoder_ == nullptr || decoded_ == nullptr || packet_ == nullptr) {
            return {};
        }
        decoder_->thread_count = 1;
        decoder_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        if (avcodec_open2(decoder_, codec, nullptr) < 0) {
            avcodec_free_context(&decoder_);
            return {};
        }
    }
    jpeg_.assign(picture.data, picture.data + picture.size);
    jpeg_.resize(picture.size + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    av_packet_unref(packet_);
    packet_->data = jpeg_.data();
    packet_->size = static_cast<int>(picture.size);
    if (avcodec_send_packet(decoder_, packet_) < 0) {
        return {};
    }
    av_frame_unref(decoded_);
    if (avcodec_receive_frame(decoder_, decoded_) < 0) {
        return {};
    }
    // A JPEG of another size than the device announced is still a picture; its own size counts.
    PixelBuffer buffer = place(PictureView::of(*decoded_));
    av_frame_unref(decoded_);
    return buffer;
}

PixelBuffer CaptureFrameConverter::place(const PictureView& source) {
    const int width = outputSize_ ? outputSize_->width : source.width;
    const int height = outputSize_ ? outputSize_->height : source.height;
    try {
        if (!pool_ || pool_->width() != width || pool_->height() != height) {
            pool_ = std::make_unique<PixelBufferPool>(PixelFormat::nv12, width, height);
        }
        PixelBuffer buffer = pool_->make();
        PictureView destination = PictureView::of(buffer);
        destination.fullRange = false;
        destination.matrix = ColorMatrix::bt709;
        const Placement placement = fit(source.width, source.height, width, height);
        if (placement.width != width || placement.height != height) {
            fillBlack(buffer);
            destination.width = placement.width;
            destination.height = placement.height;
            destination.planes[0] += static_cast<size_t>(placement.y) * destination.strides[0] + placement.x;
            destination.planes[1] +=
                static_cast<size_t>(placement.y / 2) * destination.strides[1] + placement.x;
        }
        transfer_.transfer(source, destination);
        return buffer;
    } catch (const PixelBufferError& error) {
        Log::capture().debug("Capture-Bild verworfen: {}", error.what());
        return {};
    }
}

}  // namespace kelvora
