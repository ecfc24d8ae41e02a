#include "receiver/session/TestStreams.h"

#include "core/Nal.h"
#include "core/ParameterSets.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <cstring>
#include <stdexcept>

namespace kelvora::test {

TestEncoder::TestEncoder(VideoDimensions size, uint8_t tier, VideoCodec codec) {
    av_log_set_level(AV_LOG_ERROR);  // the encoders' statistics on closing are noise here
    frame_.codec = codec;
    frame_.tier = tier;
    frame_.dimensions = size;
    frame_.targetBitrateKbps = 2500;
    const AVCodec* encoder = avcodec_find_encoder_by_name(codec == VideoCodec::h264 ? "libx264" : "libx265");
    context_ = avcodec_alloc_context3(encoder);
    context_->width = size.width;
    context_->height = size.height;
    context_->pix_fmt = AV_PIX_FMT_YUV420P;
    context_->time_base = {1, 30};
    context_->gop_size = 1000;
    context_->max_b_frames = 0;
    context_->thread_count = 1;
    av_opt_set(context_->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context_->priv_data, "tune", "zerolatency", 0);
    if (codec == VideoCodec::hevc) {
        av_opt_set(context_->priv_data, "x265-params", "log-level=error:repeat-headers=1:pools=none", 0);
    }
    picture_ = av_frame_alloc();
    picture_->format = AV_PIX_FMT_YUV420P;
    picture_->width = size.width;
    picture_->height = size.height;
    packet_ = av_packet_alloc();
    if (avcodec_open2(context_, encoder, nullptr) < 0 || av_frame_get_buffer(picture_, 0) < 0) {
        throw std::runtime_error("test encoder did not open");
    }
}

TestEncoder::~TestEncoder() {
    // Drained to the end, so that the encoder closes cleanly.
    avcodec_send_frame(context_, nullptr);
    while (avcodec_receive_packet(context_, packet_) == 0) {
        av_packet_unref(packet_);
    }
    av_packet_free(&packet_);
    av_frame_free(&picture_);
    avcodec_free_context(&context_);
}

EncodedVideoFrame TestEncoder::encode(uint64_t captureTime, bool forceKeyframe) {
    av_frame_make_writable(picture_);
    for (int y = 0; y < picture_->height; ++y) {
        for (int x = 0; x < picture_->width; ++x) {
            picture_->data[0][y * picture_->linesize[0] + x] = 16 + (x + y + 3 * frame_.frameNumber) % 200;
        }
        std::memset(picture_->data[1] + y / 2 * picture_->linesize[1], 90, picture_->width / 2);
        std::memset(picture_->data[2] + y / 2 * picture_->linesize[2], 170, picture_->width / 2);
    }
    picture_->pts = static_cast<int64_t>(frame_.frameNumber);
    picture_->pict_type = forceKeyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (avcodec_send_frame(context_, picture_) < 0 || avcodec_receive_packet(context_, packet_) < 0) {
        throw std::runtime_error("test encoder gave no frame");
    }
    const ByteView annexB(packet_->data, static_cast<size_t>(packet_->size));
    EncodedVideoFrame frame = frame_;
    frame.frameNumber = ++frame_.frameNumber;
    frame.captureTime = captureTime;
    frame.encodeDoneTime = captureTime + encodeDelayNs;
    const bool keyframe = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
    frame.flags = keyframe ? EncodedVideoFrame::Flags::keyframe : EncodedVideoFrame::Flags();
    frame.referenceFrameNumber = keyframe ? frame.frameNumber : frame.frameNumber - 1;
    if (keyframe) {
        frame.parameterSets = ParameterSets::extract(annexB, frame.codec);
    }
    frame.payload = nal::toLengthPrefixed(annexB, frame.codec);
    av_packet_unref(packet_);
    return frame;
}

}  // namespace kelvora::test
