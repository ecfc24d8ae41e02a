#include "sender/pipeline/X264Session.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

extern "C" {
#include <x264.h>
}

#include "core/Log.h"
#include "core/MonotonicClock.h"
#include "platform/Processors.h"
#include "sender/pipeline/EncoderError.h"
#include "sender/pipeline/EncoderSpeedGovernor.h"
#include "sender/pipeline/H264FrameNumbers.h"

namespace kelvora {

namespace {

void forwardLog(void*, int level, const char* format, va_list arguments) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string line(text);
    while (!line.empty() && line.back() == '\n')
        line.pop_back();
    if (level <= X264_LOG_ERROR) {
        Log::encoder().error("libx264: {}", line);
    } else {
        Log::encoder().debug("libx264: {}", line);
    }
}

void applyRateControl(x264_param_t& param, int kbps, int frameRate, bool lowLatency) {
    param.rc.i_rc_method = X264_RC_ABR;
    param.rc.i_bitrate = kbps;
    if (lowLatency) {
        param.rc.i_vbv_max_bitrate = kbps;
        param.rc.i_vbv_buffer_size = std::max(kbps / 10, kbps / frameRate);
    } else {
        param.rc.i_vbv_max_bitrate = kbps + kbps / 2;
        param.rc.i_vbv_buffer_size = kbps + kbps / 2;
    }
}

// Slice threads for one picture. libx264 takes one per processor; beyond four the hand-offs between them
// cost more than the smaller slices save while other tiers encode beside it (1080p at 60 frames/s on eight
// processors: 8 ms at the median and 11 ms at the 95th percentile with eight, 6 and 8.5 ms with four).
int sliceThreads() {
    return std::min(usableProcessorCount(), 4);
}

// The search settings of `preset` that libx264 lets a running encoder change. What the stream's parameter
// sets fix (CABAC, the 8x8 transform, weighted prediction) stays as opened, and sub-pixel refinement stays
// at 1 or more: from 0 a running encoder cannot come back.
void applySpeed(x264_param_t& param, const char* preset) {
    x264_param_t fresh;
    if (x264_param_default_preset(&fresh, preset, "zerolatency") < 0)
        return;
    auto& analyse = param.analyse;
    analyse.intra = fresh.analyse.intra;
    analyse.inter = fresh.analyse.inter;
    analyse.i_me_method = fresh.analyse.i_me_method;
    analyse.i_me_range = fresh.analyse.i_me_range;
    analyse.i_subpel_refine = std::max(1, fresh.analyse.i_subpel_refine);
    analyse.i_trellis = fresh.analyse.i_trellis;
    analyse.b_mixed_references = fresh.analyse.b_mixed_references;
    analyse.b_fast_pskip = fresh.analyse.b_fast_pskip;
    analyse.b_chroma_me = fresh.analyse.b_chroma_me;
    analyse.b_dct_decimate = fresh.analyse.b_dct_decimate;
}

}  // namespace

struct X264Session::Impl {
    x264_param_t param{};
    x264_t* encoder = nullptr;
    int appliedKbps = 0;
    std::optional<KeyframeSchedule> schedule;
    // frame_num wraps after this many reference pictures; the smallest H.264 allows when unknown.
    int64_t frameNumberPeriod = 16;
    // Counts frame_num on past libx264's small period, with long-term references.
    std::optional<h264::FrameNumberWidener> widener;
    // Recent reference pictures of the current keyframe's chain: presentation time and how many reference
    // pictures the keyframe had before it (the picture's frame_num before the wrap).
    std::deque<std::pair<int64_t, int64_t>> references;
    std::optional<EncoderSpeedGovernor> speed;

    // Returns whether libx264 took the level's search settings.
    bool applyLevel(int level) {
        x264_param_t changed = param;
        applySpeed(changed, EncoderSpeedGovernor::levels[size_t(level)]);
        if (x264_encoder_reconfig(encoder, &changed) != 0) {
            Log::encoder().warn("libx264 nimmt die Tempostufe {} nicht an",
                                EncoderSpeedGovernor::levels[size_t(level)]);
            return false;
        }
        x264_encoder_parameters(encoder, &param);
        return true;
    }

    void adaptSpeed(double encodeMs, std::atomic<int>& published) {
        const std::optional<int> level = speed->note(encodeMs);
        if (!level || !applyLevel(*level))
            return;
        published.store(*level);
        Log::encoder().info(
            "libx264 {}x{}: Tempostufe {} (Median {:.1f} ms je Bild bei {:.1f} ms Bildabstand)",
            param.i_width, param.i_height, EncoderSpeedGovernor::levels[size_t(*level)],
            speed->lastMedianMs(), 1000.0 / double(param.i_fps_num));
    }

    ~Impl() {
        if (encoder)
            x264_encoder_close(encoder);
    }
};

X264Session::X264Session(const EncoderConfiguration& configuration, bool lowLatency)
    : impl_(std::make_unique<Impl>()),
      lowLatency_(lowLatency),
      longTermReferences_(configuration.longTermReferences && !configuration.intraOnly),
      requestedKbps_(configuration.bitrateKbps) {
    x264_param_t& p = impl_->param;
    if (x264_param_default_preset(&p, preset, "zerolatency") < 0)
        throw EncoderError::sessionCreation(-1, "libx264 kennt das Preset nicht");
    p.pf_log = forwardLog;
    p.i_log_level = X264_LOG_WARNING;
    p.i_width = configuration.dimensions.width;
    p.i_height = configuration.dimensions.height;
    p.i_csp = X264_CSP_NV12;
    p.i_threads = sliceThreads();
    p.i_fps_num = uint32_t(configuration.frameRate);
    p.i_fps_den = 1;
    // Rate control counts frames at the configured rate (the tier's own rate): variable-rate input would
    // cost one frame of delay. The encoder raises the bitrate by the ratio when pacing thins the frames out
    // further; keyframes keep their interval in seconds through the schedule.
    p.b_vfr_input = 0;
    if (configuration.intraOnly) {
        p.i_keyint_max = 1;
    } else {
        p.i_keyint_max = std::max(1, int(configuration.keyframeInterval * configuration.frameRate));
    }
    p.i_keyint_min = 1;
    p.i_scenecut_threshold = 0;  // keyframes only on schedule or on request
    p.i_bframe = 0;              // also a condition of going back to an older reference
    if (longTermReferences_)
        p.i_dpb_size = referencePictures(configuration.frameRate, configuration.dimensions);
    p.rc.i_lookahead = 0;
    p.i_sync_lookahead = 0;
    p.rc.b_mb_tree = 0;
    p.b_cabac = 1;
    p.b_annexb = 0;
    p.b_aud = 0;
    p.b_repeat_headers = 1;  // SPS and PPS travel with every IDR and are lifted out of the payload below
    p.vui.b_fullrange = 0;
    p.vui.i_colorprim = 1;  // ITU-R BT.709
    p.vui.i_transfer = 1;
    p.vui.i_colmatrix = 1;
    applyRateControl(p, configuration.bitrateKbps, configuration.frameRate, lowLatency);
    if (x264_param_apply_profile(&p, "high") < 0)
        throw EncoderError::sessionCreation(-1, "libx264 lehnt das High-Profil ab");
    impl_->encoder = x264_encoder_open(&p);
    if (!impl_->encoder)
        throw EncoderError::sessionCreation(-1, "x264_encoder_open fehlgeschlagen");
    x264_encoder_parameters(impl_->encoder, &p);
    x264_nal_t* headers = nullptr;
    int headerCount = 0;
    if (x264_encoder_headers(impl_->encoder, &headers, &headerCount) >= 0) {
        for (int i = 0; i < headerCount; ++i) {
            if (headers[i].i_type != NAL_SPS || headers[i].i_payload <= 5)
                continue;
            // Past the 4-byte length.
            ByteView sps(headers[i].p_payload + 4, size_t(headers[i].i_payload - 4));
            std::optional<Bytes> widened;
            if (longTermReferences_) {
                impl_->widener = h264::FrameNumberWidener::forSequence(sps);
                if (impl_->widener) {
                    widened = impl_->widener->sequence(sps);
                    sps = *widened;
                } else {
                    Log::encoder().warn("libx264 {}x{}: frame_num nicht erweiterbar", p.i_width, p.i_height);
                }
            }
            if (auto summary = h264::readSequence(sps)) {
                impl_->frameNumberPeriod = int64_t(1) << summary->log2MaxFrameNumber;
                Log::encoder().info(
                    "libx264 {}x{} @ {} fps: Level {}.{}, {} Referenzbilder (Puffer {}), "
                    "frame_num modulo {}",
                    p.i_width, p.i_height, configuration.frameRate, summary->level / 10, summary->level % 10,
                    summary->referenceFrames, summary->maxDecFrameBuffering.value_or(-1),
                    impl_->frameNumberPeriod);
            }
        }
    }
    impl_->appliedKbps = configuration.bitrateKbps;
    impl_->schedule.emplace(configuration);
    impl_->speed.emplace(1000.0 / double(p.i_fps_num));
}

X264Session::~X264Session() = default;

void X264Session::resumeSpeedLevel(int level) {
    Impl& s = *impl_;
    const EncoderSpeedGovernor resumed(1000.0 / double(s.param.i_fps_num), level);
    if (resumed.level() == s.speed->level() || !s.applyLevel(resumed.level()))
        return;
    s.speed.emplace(resumed);
    speedLevel_.store(resumed.level());
    Log::encoder().info("libx264 {}x{}: Tempostufe {} der vorigen Sitzung übernommen", s.param.i_width,
                        s.param.i_height, EncoderSpeedGovernor::levels[size_t(resumed.level())]);
}

bool X264Session::invalidateAfter(int64_t presentationMicros) {
    Impl& s = *impl_;
    if (!longTermReferences_)
        return false;
    // libx264 ignores a picture before its last IDR without saying so; the caller must know.
    auto keyframe = s.schedule->lastKeyframe();
    if (!keyframe || presentationMicros < *keyframe)
        return false;
    // A viewer's decoder fills the frames it missed in with placeholders counted by frame_num, and where
    // these cross the wrap of frame_num libavcodec orders every later picture before the ones it already
    // showed and shows none of them until the count catches up, some thirty pictures later. Such a gap is
    // left to a keyframe.
    auto acknowledged = std::find_if(s.references.begin(), s.references.end(),
                                     [&](const auto& entry) { return entry.first == presentationMicros; });
    if (acknowledged == s.references.end() || s.references.empty() ||
        acknowledged->second / s.frameNumberPeriod != s.references.back().second / s.frameNumberPeriod)
        return false;
    // Every picture presented at or after the given time is dropped from the references.
    return x264_encoder_invalidate_reference(s.encoder, presentationMicros + 1) == 0;
}

void X264Session::requestBitrate(int kbps) {
    requestedKbps_.store(kbps);
}

int X264Session::encode(const Picture& picture, int64_t presentationMicros, bool forceKeyframe,
                        std::vector<Sample>& out) {
    Impl& s = *impl_;
    int wanted = requestedKbps_.load();
    if (wanted != s.appliedKbps) {
        x264_param_t changed = s.param;
        applyRateControl(changed, wanted, int(s.param.i_fps_num), lowLatency_);
        if (x264_encoder_reconfig(s.encoder, &changed) == 0) {
            s.param = changed;
        } else {
            Log::encoder().debug("Encoder-Eigenschaft AverageBitRate nicht gesetzt (-1)");
        }
        s.appliedKbps = wanted;
    }

    int64_t pts = s.schedule->presentation(presentationMicros);
    forceKeyframe = forceKeyframe || s.schedule->isDue(pts);

    x264_picture_t input;
    x264_picture_init(&input);
    input.img.i_csp = X264_CSP_NV12;
    input.img.i_plane = 2;
    input.img.plane[0] = const_cast<uint8_t*>(picture.luma);
    input.img.i_stride[0] = picture.lumaStride;
    input.img.plane[1] = const_cast<uint8_t*>(picture.chroma);
    input.img.i_stride[1] = picture.chromaStride;
    input.i_pts = pts;
    input.i_type = forceKeyframe ? X264_TYPE_IDR : X264_TYPE_AUTO;

    x264_nal_t* nals = nullptr;
    int count = 0;
    x264_picture_t output;
    const uint64_t started = MonotonicClock::now();
    int size = x264_encoder_encode(s.encoder, &nals, &count, &input, &output);
    if (size < 0)
        return size;
    s.adaptSpeed(MonotonicClock::milliseconds(started, MonotonicClock::now()), speedLevel_);
    if (size == 0)
        return 0;

    Sample sample;
    sample.keyframe = output.b_keyframe != 0;
    sample.disposable = true;
    sample.payload.reserve(size_t(size));
    for (int i = 0; i < count; ++i) {
        const x264_nal_t& nal = nals[i];
        switch (nal.i_type) {
            case NAL_SPS:
            case NAL_PPS: {
                // Without start codes x264 puts the 4-byte length where the start code would be.
                const ByteView unit(nal.p_payload + 4, size_t(nal.i_payload - 4));
                std::optional<Bytes> widened;
                if (s.widener && nal.i_type == NAL_SPS)
                    widened = s.widener->sequence(unit);
                sample.parameterSets.push_back(widened ? std::move(*widened)
                                                       : Bytes(unit.begin(), unit.end()));
                break;
            }
            case NAL_AUD:
            case NAL_FILLER:
                break;
            default:
                if (nal.i_type == NAL_SLICE || nal.i_type == NAL_SLICE_IDR) {
                    sample.disposable = sample.disposable && nal.i_ref_idc == NAL_PRIORITY_DISPOSABLE;
                    if (s.widener) {
                        const Bytes unit =
                            s.widener->slice(ByteView(nal.p_payload + 4, size_t(nal.i_payload - 4)));
                        const uint32_t length = uint32_t(unit.size());
                        const uint8_t prefix[4] = {uint8_t(length >> 24), uint8_t(length >> 16),
                                                   uint8_t(length >> 8), uint8_t(length)};
                        sample.payload.insert(sample.payload.end(), prefix, prefix + 4);
                        sample.payload.insert(sample.payload.end(), unit.begin(), unit.end());
                        break;
                    }
                }
                sample.payload.insert(sample.payload.end(), nal.p_payload, nal.p_payload + nal.i_payload);
        }
    }
    sample.presentationMicros = output.i_pts;
    if (sample.keyframe) {
        s.schedule->keyframeAt(output.i_pts);
        s.references.clear();
    }
    if (!sample.disposable) {
        const int64_t index = s.references.empty() ? 0 : s.references.back().second + 1;
        s.references.emplace_back(output.i_pts, index);
        if (s.references.size() > size_t(4 * maximumReferencePictures))
            s.references.pop_front();
    }
    out.push_back(std::move(sample));
    return 0;
}

}  // namespace kelvora
