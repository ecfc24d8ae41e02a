#pragma once

// Real codecs for tests: libx264 encoding NV12 pictures to Annex B access units, and libavcodec decoding
// them back. Header-only so that each test program that needs them can include it.

#include "core/Bytes.h"
#include "platform/PixelBuffer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <x264.h>
}

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace kelvora::testsupport {

struct EncodedAccessUnit {
    Bytes annexB;
    bool keyframe = false;
};

class X264TestEncoder {
  public:
    X264TestEncoder(int width, int height, bool repeatHeaders = true, int keyframeInterval = 30) {
        x264_param_t param;
        x264_param_default_preset(&param, "ultrafast", "zerolatency");
        param.i_width = width;
        param.i_height = height;
        param.i_csp = X264_CSP_NV12;
        param.i_fps_num = 30;
        param.i_fps_den = 1;
        param.i_threads = 1;
        param.b_annexb = 1;
        param.b_aud = 1;
        param.b_repeat_headers = repeatHeaders ? 1 : 0;
        param.i_keyint_max = keyframeInterval;
        param.rc.i_rc_method = X264_RC_CQP;
        param.rc.i_qp_constant = 18;
        param.i_log_level = X264_LOG_ERROR;
        param.vui.b_fullrange = 0;
        param.vui.i_colmatrix = 1;  // BT.709
        x264_param_apply_profile(&param, "high");
        encoder_ = x264_encoder_open(&param);
        if (encoder_ == nullptr) {
            throw std::runtime_error("x264_encoder_open failed");
        }
    }
    ~X264TestEncoder() { x264_encoder_close(encoder_); }
    X264TestEncoder(const X264TestEncoder&) = delete;
    X264TestEncoder& operator=(const X264TestEncoder&) = delete;

    // SPS, PPS and SEI, as an encoder's global header.
    Bytes headers() {
        x264_nal_t* nals = nullptr;
        int count = 0;
        int size = x264_encoder_headers(encoder_, &nals, &count);
        return Bytes(nals[0].p_payload, nals[0].p_payload + size);
    }

    EncodedAccessUnit encode(const PixelBuffer& nv12, bool forceKeyframe = false) {
        x264_picture_t in;
        x264_picture_init(&in);
        in.img.i_csp = X264_CSP_NV12;
        in.img.i_plane = 2;
        for (int plane = 0; plane < 2; ++plane) {
            in.img.plane[plane] = nv12.data(plane);
            in.img.i_stride[plane] = nv12.stride(plane);
        }
        in.i_pts = pts_++;
        in.i_type = forceKeyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;
        x264_picture_t out;
        x264_nal_t* nals = nullptr;
        int count = 0;
        int size = x264_encoder_encode(encoder_, &nals, &count, &in, &out);
        if (size <= 0) {
            throw std::runtime_error("x264 produced no frame");
        }
        return {Bytes(nals[0].p_payload, nals[0].p_payload + size), out.b_keyframe != 0};
    }

  private:
    x264_t* encoder_ = nullptr;
    int64_t pts_ = 0;
};

class AvTestDecoder {
  public:
    explicit AvTestDecoder(AVCodecID codec = AV_CODEC_ID_H264) {
        const AVCodec* decoder = avcodec_find_decoder(codec);
        context_.reset(avcodec_alloc_context3(decoder));
        context_->thread_count = 1;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        if (avcodec_open2(context_.get(), decoder, nullptr) < 0) {
            throw std::runtime_error("avcodec_open2 failed");
        }
    }

    // Every picture the decoder gives for this Annex B access unit (zero-latency streams give one).
    std::vector<std::shared_ptr<AVFrame>> decode(const Bytes& annexB) {
        std::vector<std::shared_ptr<AVFrame>> frames;
        std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                              [](AVPacket* p) { av_packet_free(&p); });
        if (av_new_packet(packet.get(), static_cast<int>(annexB.size())) < 0) {
            throw std::runtime_error("av_new_packet failed");
        }
        std::memcpy(packet->data, annexB.data(), annexB.size());
        if (avcodec_send_packet(context_.get(), packet.get()) < 0) {
            return frames;
        }
        while (true) {
            std::shared_ptr<AVFrame> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
            if (avcodec_receive_frame(context_.get(), frame.get()) < 0) {
                break;
            }
            frames.push_back(std::move(frame));
        }
        return frames;
    }

  private:
    struct Free {
        void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
    };
    std::unique_ptr<AVCodecContext, Free> context_;
};

}  // namespace kelvora::testsupport
