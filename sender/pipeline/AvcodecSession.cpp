#include "sender/pipeline/AvcodecSession.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

#include "core/Log.h"
#include "core/Nal.h"
#include "sender/pipeline/EncoderError.h"

namespace kelvora {

namespace {

std::string averrorText(int status) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(status, text, sizeof text);
    return text;
}

// The first render node on which a VAAPI device opens; null without one.
AVBufferRef* openVaapiDevice() {
    for (int node = 128; node < 136; ++node) {
        std::string path = "/dev/dri/renderD" + std::to_string(node);
        if (::access(path.c_str(), R_OK | W_OK) != 0)
            continue;
        AVBufferRef* device = nullptr;
        if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, path.c_str(), nullptr, 0) == 0)
            return device;
    }
    return nullptr;
}

// Whether no later picture refers to this slice: nal_ref_idc 0 in H.264, a sub-layer non-reference type
// (even VCL types below 16) in HEVC.
bool isNonReferenceSlice(VideoCodec codec, ByteView unit) {
    auto type = nal::type(codec, unit);
    if (!type)
        return false;
    if (codec == VideoCodec::h264) {
        bool slice = *type >= 1 && *type <= 5;
        return !slice || (unit[0] & 0x60) == 0;
    }
    bool slice = *type < 32;
    return !slice || (*type < 16 && *type % 2 == 0);
}

}  // namespace

struct AvcodecSession::Impl {
    Library library = Library::vaapi;
    EncoderConfiguration configuration;
    bool lowLatency = false;
    const AVCodec* codec = nullptr;
    AVCodecContext* context = nullptr;
    AVBufferRef* device = nullptr;
    AVFrame* software = nullptr;  // NV12 view (VAAPI) or planar copy (libx265)
    AVPacket* packet = nullptr;
    std::optional<KeyframeSchedule> schedule;
    int appliedKbps = 0;

    ~Impl() {
        avcodec_free_context(&context);
        av_frame_free(&software);
        av_packet_free(&packet);
        av_buffer_unref(&device);
    }

    // Opens an encoder for the configuration at `kbps` in place of the one before (if any). Returns 0 or
    // the library's negative status, with a text for the log.
    int open(int kbps, std::string& failure) {
        avcodec_free_context(&context);
        context = avcodec_alloc_context3(codec);
        if (!context) {
            failure = "kein Speicher";
            return AVERROR(ENOMEM);
        }
        AVCodecContext* c = context;
        const bool hevc = configuration.codec == VideoCodec::hevc;
        const int width = configuration.dimensions.width;
        const int height = configuration.dimensions.height;
        const int64_t bitsPerSecond = int64_t(kbps) * 1000;
        c->width = width;
        c->height = height;
        c->time_base = {1, 1'000'000};
        c->framerate = {configuration.frameRate, 1};
        c->gop_size = configuration.intraOnly
                          ? 1
                          : std::max(1, int(configuration.keyframeInterval * configuration.frameRate));
        c->max_b_frames = 0;
        c->bit_rate = bitsPerSecond;
        if (lowLatency) {
            c->rc_max_rate = bitsPerSecond;
            c->rc_buffer_size = int(std::max(bitsPerSecond / 10, bitsPerSecond / configuration.frameRate));
        } else {
            c->rc_max_rate = bitsPerSecond + bitsPerSecond / 2;
            c->rc_buffer_size = int(bitsPerSecond + bitsPerSecond / 2);
        }
        c->color_primaries = AVCOL_PRI_BT709;
        c->color_trc = AVCOL_TRC_BT709;
        c->colorspace = AVCOL_SPC_BT709;
        c->color_range = AVCOL_RANGE_MPEG;
        c->profile = hevc ? FF_PROFILE_HEVC_MAIN : FF_PROFILE_H264_HIGH;

        AVDictionary* options = nullptr;
        if (library == Library::x265) {
            c->pix_fmt = AV_PIX_FMT_YUV420P;
            av_dict_set(&options, "preset", "ultrafast", 0);
            av_dict_set(&options, "tune", "zerolatency", 0);
            av_dict_set(&options, "forced-idr", "1", 0);
            av_dict_set(&options, "x265-params", "repeat-headers=1:aud=0:info=0:scenecut=0:log-level=error",
                        0);
        } else {
            c->pix_fmt = AV_PIX_FMT_VAAPI;
            AVBufferRef* frames = av_hwframe_ctx_alloc(device);
            if (!frames) {
                failure = "kein Speicher";
                return AVERROR(ENOMEM);
            }
            auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
            framesContext->format = AV_PIX_FMT_VAAPI;
            framesContext->sw_format = AV_PIX_FMT_NV12;
            framesContext->width = width;
            framesContext->height = height;
            framesContext->initial_pool_size = 8;
            if (int status = av_hwframe_ctx_init(frames); status < 0) {
                av_buffer_unref(&frames);
                failure = averrorText(status);
                return status;
            }
            c->hw_frames_ctx = frames;
            av_dict_set(&options, "rc_mode", lowLatency ? "CBR" : "VBR", 0);
            av_dict_set(&options, "async_depth", "1", 0);
            av_dict_set(&options, "aud", "0", 0);
        }
        int status = avcodec_open2(c, codec, &options);
        av_dict_free(&options);
        if (status < 0) {
            failure = std::string(codec->name) + ": " + averrorText(status);
            return status;
        }
        appliedKbps = kbps;
        return 0;
    }
};

AvcodecSession::AvcodecSession(const EncoderConfiguration& configuration, bool lowLatency, Library library)
    : impl_(std::make_unique<Impl>()),
      codec_(configuration.codec),
      lowLatency_(lowLatency),
      requestedKbps_(configuration.bitrateKbps) {
    Impl& s = *impl_;
    s.library = library;
    s.configuration = configuration;
    s.lowLatency = lowLatency;
    const bool hevc = configuration.codec == VideoCodec::hevc;
    const char* name = library == Library::x265 ? "libx265" : (hevc ? "hevc_vaapi" : "h264_vaapi");
    s.codec = avcodec_find_encoder_by_name(name);
    if (!s.codec)
        throw EncoderError::sessionCreation(AVERROR_ENCODER_NOT_FOUND, std::string(name) + " fehlt");

    if (library == Library::vaapi) {
        s.device = openVaapiDevice();
        if (!s.device)
            throw EncoderError::sessionCreation(AVERROR(ENODEV), "kein VAAPI-Gerät");
    }
    s.software = av_frame_alloc();
    s.packet = av_packet_alloc();
    if (!s.software || !s.packet)
        throw EncoderError::sessionCreation(AVERROR(ENOMEM));
    s.software->width = configuration.dimensions.width;
    s.software->height = configuration.dimensions.height;
    if (library == Library::x265) {
        s.software->format = AV_PIX_FMT_YUV420P;
        if (int status = av_frame_get_buffer(s.software, 0); status < 0)
            throw EncoderError::sessionCreation(status, averrorText(status));
    } else {
        s.software->format = AV_PIX_FMT_NV12;
    }
    std::string failure;
    if (int status = s.open(configuration.bitrateKbps, failure); status < 0)
        throw EncoderError::sessionCreation(status, failure);
    s.schedule.emplace(configuration);
}

AvcodecSession::~AvcodecSession() = default;

std::string AvcodecSession::name() const {
    return impl_->codec->name;
}

bool AvcodecSession::probeHardware(VideoCodec codec, bool lowLatency) {
    EncoderConfiguration probe;
    probe.codec = codec;
    probe.dimensions = VideoDimensions::hd1080();
    try {
        AvcodecSession session(probe, lowLatency, Library::vaapi);
        return true;
    } catch (const EncoderError&) {
        return false;
    }
}

void AvcodecSession::requestBitrate(int kbps) {
    requestedKbps_.store(kbps);
}

int AvcodecSession::encode(const Picture& picture, int64_t presentationMicros, bool forceKeyframe,
                           std::vector<Sample>& out) {
    Impl& s = *impl_;
    const int64_t pts = s.schedule->presentation(presentationMicros);
    forceKeyframe = forceKeyframe || s.schedule->isDue(pts);
    // Neither library takes a new bitrate on an open encoder, so the encoder is opened anew, which starts
    // with a keyframe. A small change waits for a keyframe that comes anyway; a large one cannot wait.
    if (int wanted = requestedKbps_.load(); wanted != s.appliedKbps) {
        const bool large = std::abs(int64_t(wanted) - s.appliedKbps) * 10 >= s.appliedKbps;
        if (large || forceKeyframe) {
            const int before = s.appliedKbps;
            std::string failure;
            if (int status = s.open(wanted, failure); status < 0) {
                Log::encoder().error("Encoder mit {} kbit/s nicht neu geöffnet: {}", wanted, failure);
                return status;
            }
            Log::encoder().debug("Encoder-Bitrate {} → {} kbit/s, Encoder neu geöffnet", before, wanted);
            forceKeyframe = true;
        }
    }
    AVCodecContext* c = s.context;
    AVFrame* input = nullptr;
    AVFrame* hardware = nullptr;
    if (s.library == Library::x265) {
        if (int status = av_frame_make_writable(s.software); status < 0)
            return status;
        for (int row = 0; row < c->height; ++row)
            std::memcpy(s.software->data[0] + size_t(row) * s.software->linesize[0],
                        picture.luma + size_t(row) * picture.lumaStride, size_t(c->width));
        for (int row = 0; row < c->height / 2; ++row) {
            const uint8_t* pairs = picture.chroma + size_t(row) * picture.chromaStride;
            uint8_t* cb = s.software->data[1] + size_t(row) * s.software->linesize[1];
            uint8_t* cr = s.software->data[2] + size_t(row) * s.software->linesize[2];
            for (int x = 0; x < c->width / 2; ++x) {
                cb[x] = pairs[2 * x];
                cr[x] = pairs[2 * x + 1];
            }
        }
        input = s.software;
    } else {
        s.software->data[0] = const_cast<uint8_t*>(picture.luma);
        s.software->linesize[0] = picture.lumaStride;
        s.software->data[1] = const_cast<uint8_t*>(picture.chroma);
        s.software->linesize[1] = picture.chromaStride;
        hardware = av_frame_alloc();
        if (!hardware)
            return AVERROR(ENOMEM);
        int status = av_hwframe_get_buffer(c->hw_frames_ctx, hardware, 0);
        if (status >= 0)
            status = av_hwframe_transfer_data(hardware, s.software, 0);
        if (status < 0) {
            av_frame_free(&hardware);
            return status;
        }
        input = hardware;
    }

    input->pts = pts;
    input->pict_type = forceKeyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    int status = avcodec_send_frame(c, input);
    av_frame_free(&hardware);
    if (status < 0)
        return status;

    for (;;) {
        status = avcodec_receive_packet(c, s.packet);
        if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
            return 0;
        if (status < 0)
            return status;
        ByteView annexB(s.packet->data, size_t(s.packet->size));
        Sample sample;
        sample.keyframe = (s.packet->flags & AV_PKT_FLAG_KEY) != 0;
        sample.disposable = true;
        for (ByteView unit : nal::splitAnnexB(annexB)) {
            if (nal::isParameterSet(codec_, unit))
                sample.parameterSets.emplace_back(unit.begin(), unit.end());
            else if (!nal::isAccessUnitDelimiter(codec_, unit))
                sample.disposable = sample.disposable && isNonReferenceSlice(codec_, unit);
        }
        sample.payload = nal::toLengthPrefixed(annexB, codec_);
        if (sample.keyframe)
            s.schedule->keyframeAt(s.packet->pts);
        av_packet_unref(s.packet);
        out.push_back(std::move(sample));
    }
}

}  // namespace kelvora
