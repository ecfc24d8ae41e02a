#include "sender/server/SimpleH264Encoder.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

extern "C" {
#include <x264.h>
}

#include "core/Log.h"

namespace kelvora {

namespace {

void forwardLog(void*, int level, const char* format, va_list arguments) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string line(text);
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    if (level <= X264_LOG_ERROR) {
        Log::encoder().error("Einfacher Stream: libx264: {}", line);
    } else {
        Log::encoder().debug("Einfacher Stream: libx264: {}", line);
    }
}

void applyBitrate(x264_param_t& param, int kbps) {
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = kbps;
    param.rc.i_vbv_max_bitrate = kbps + kbps / 2;
    param.rc.i_vbv_buffer_size = kbps;
}

// x264's rate control shares the bitrate out among the pictures per second it was opened with, whatever
// the time stamps say; the encoder is opened anew when the pictures really come at another rate.
constexpr int assumedFrameRate = 30;
constexpr size_t rateWindow = 31;
constexpr size_t fewestForRate = 10;
constexpr double rateTolerance = 0.15;
// 1 Gbit/s; keeps the VBV arithmetic far from overflowing whatever the caller asks for.
constexpr int maximumKbps = 1'000'000;

}  // namespace

struct SimpleH264Encoder::Impl {
    x264_param_t param{};
    x264_t* encoder = nullptr;
    int appliedKbps = 0;
    int64_t lastPts = std::numeric_limits<int64_t>::min();
    std::optional<int64_t> lastKeyframePts;
    std::deque<int64_t> recentPts;

    ~Impl() {
        if (encoder) {
            x264_encoder_close(encoder);
        }
    }

    // Opens (or reopens) the encoder for `frameRate` pictures per second; false when x264 refuses.
    bool openAt(int frameRate) {
        x264_param_t changed = param;
        changed.i_fps_num = static_cast<uint32_t>(frameRate);
        changed.i_fps_den = 1;
        x264_t* made = x264_encoder_open(&changed);
        if (!made) {
            return false;
        }
        if (encoder) {
            x264_encoder_close(encoder);
        }
        encoder = made;
        x264_encoder_parameters(encoder, &changed);
        param = changed;
        return true;
    }
};

int SimpleH264Encoder::frameRate(const std::deque<int64_t>& presentationTimes) {
    if (presentationTimes.size() < fewestForRate) {
        return 0;
    }
    const double span = static_cast<double>(presentationTimes.back() - presentationTimes.front());
    const double rate = static_cast<double>(presentationTimes.size() - 1) * 1e9 / std::max(span, 1.0);
    return static_cast<int>(std::lround(std::clamp(rate, 1.0, 240.0)));
}

std::unique_ptr<SimpleH264Encoder> SimpleH264Encoder::open(int width, int height, int bitrateKbps) {
    auto impl = std::make_unique<Impl>();
    x264_param_t& p = impl->param;
    if (x264_param_default_preset(&p, "veryfast", "zerolatency") < 0) {
        return nullptr;
    }
    p.pf_log = forwardLog;
    p.i_log_level = X264_LOG_WARNING;
    p.i_width = width;
    p.i_height = height;
    p.i_csp = X264_CSP_NV12;
    // Rate control counts pictures at a nominal rate: following the time stamps instead would hold every
    // picture back until the next one arrives. Time stamps still pass through, in nanoseconds.
    p.b_vfr_input = 0;
    p.i_timebase_num = 1;
    p.i_timebase_den = 1'000'000'000;
    p.i_fps_num = assumedFrameRate;
    p.i_fps_den = 1;
    // Keyframes come from the time rule in encode() and from requests, never from scene cuts.
    p.i_keyint_max = X264_KEYINT_MAX_INFINITE;
    p.i_keyint_min = 1;
    p.i_scenecut_threshold = 0;
    p.i_bframe = 0;
    p.rc.i_lookahead = 0;
    p.i_sync_lookahead = 0;
    p.b_annexb = 0;
    p.b_aud = 0;
    p.b_repeat_headers = 1;
    p.vui.b_fullrange = 0;
    p.vui.i_colorprim = 1;
    p.vui.i_transfer = 1;
    p.vui.i_colmatrix = 1;
    applyBitrate(p, std::clamp(bitrateKbps, 1, maximumKbps));
    if (x264_param_apply_profile(&p, "high") < 0) {
        return nullptr;
    }
    if (!impl->openAt(assumedFrameRate)) {
        return nullptr;
    }
    impl->appliedKbps = std::clamp(bitrateKbps, 1, maximumKbps);
    return std::unique_ptr<SimpleH264Encoder>(new SimpleH264Encoder(std::move(impl), bitrateKbps));
}

SimpleH264Encoder::SimpleH264Encoder(std::unique_ptr<Impl> impl, int bitrateKbps)
    : impl_(std::move(impl)), requestedKbps_(bitrateKbps) {}

SimpleH264Encoder::~SimpleH264Encoder() = default;

std::optional<SimpleH264Encoder::Frame> SimpleH264Encoder::encode(const PixelBuffer& picture, uint64_t timeNs,
                                                                  bool forceKeyframe) {
    Impl& s = *impl_;
    if (!picture || picture.format() != PixelFormat::nv12 || picture.width() != s.param.i_width ||
        picture.height() != s.param.i_height) {
        return std::nullopt;
    }
    const int wanted = std::clamp(requestedKbps_.load(), 1, maximumKbps);
    if (wanted != s.appliedKbps) {
        x264_param_t changed = s.param;
        applyBitrate(changed, wanted);
        if (x264_encoder_reconfig(s.encoder, &changed) == 0) {
            s.param = changed;
        }
        s.appliedKbps = wanted;
    }

    // The library wants strictly increasing times; two pictures stamped alike must not stall it.
    const int64_t requested = static_cast<int64_t>(std::min<uint64_t>(timeNs, INT64_MAX));
    const int64_t pts =
        s.lastPts == std::numeric_limits<int64_t>::min() ? requested : std::max(requested, s.lastPts + 1);
    s.lastPts = pts;

    s.recentPts.push_back(pts);
    if (s.recentPts.size() > rateWindow) {
        s.recentPts.pop_front();
    }
    const int rate = frameRate(s.recentPts);
    const int opened = static_cast<int>(s.param.i_fps_num / std::max(1u, s.param.i_fps_den));
    if (rate > 0 && std::abs(rate - opened) > rateTolerance * opened) {
        if (s.openAt(rate)) {
            Log::encoder().debug("Einfacher Stream: {} Bilder/s statt {}, Encoder neu geöffnet", rate,
                                 opened);
            // A new encoder starts with a keyframe; the receivers need its parameter sets.
            forceKeyframe = true;
        }
    }
    if (!s.lastKeyframePts || pts - *s.lastKeyframePts >= maximumKeyframeDistanceNs) {
        forceKeyframe = true;
    }

    x264_picture_t input;
    x264_picture_init(&input);
    input.img.i_csp = X264_CSP_NV12;
    input.img.i_plane = 2;
    input.img.plane[0] = picture.data(0);
    input.img.i_stride[0] = picture.stride(0);
    input.img.plane[1] = picture.data(1);
    input.img.i_stride[1] = picture.stride(1);
    input.i_pts = pts;
    input.i_type = forceKeyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;

    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t output;
    const int size = x264_encoder_encode(s.encoder, &nals, &count, &input, &output);
    if (size <= 0) {
        return std::nullopt;
    }
    Frame frame;
    frame.isKeyframe = output.b_keyframe != 0;
    frame.presentationTime = output.i_pts < 0 ? 0 : static_cast<uint64_t>(output.i_pts);
    frame.data.reserve(static_cast<size_t>(size));
    for (int i = 0; i < count; ++i) {
        const x264_nal_t& nal = nals[i];
        switch (nal.i_type) {
            case NAL_SPS:
            case NAL_PPS:
                // Without start codes the 4-byte length stands where the start code would be.
                frame.parameterSets.emplace_back(nal.p_payload + 4, nal.p_payload + nal.i_payload);
                break;
            case NAL_AUD:
            case NAL_FILLER:
                break;
            default:
                frame.data.insert(frame.data.end(), nal.p_payload, nal.p_payload + nal.i_payload);
        }
    }
    if (frame.isKeyframe) {
        s.lastKeyframePts = output.i_pts;
    } else {
        frame.parameterSets.clear();
    }
    return frame;
}

}  // namespace kelvora
