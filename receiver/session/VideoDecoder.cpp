#include "receiver/session/VideoDecoder.h"

#include "core/Log.h"
#include "core/MonotonicClock.h"
#include "core/Nal.h"
#include "core/WireError.h"
#include "platform/PixelBufferPool.h"
#include "platform/PixelTransfer.h"
#include "platform/SerialQueue.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <atomic>
#include <cstring>
#include <deque>
#include <utility>

namespace kelvora {
namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using Packet = std::unique_ptr<AVPacket, PacketFree>;

// The frame as one Annex B packet for libavcodec, `prefix` (the parameter sets, already Annex B) in front.
// Every NAL length of the payload is checked against the bytes that are left: a length that runs past the
// end, or a payload without a unit, gives no packet. Parameter sets inside the payload are left out: only
// the checked ones of the frame's list reach libavcodec.
Packet makePacket(VideoCodec codec, ByteView payload, ByteView prefix) {
    std::vector<ByteView> units;
    try {
        units = nal::splitLengthPrefixed(payload);
    } catch (const WireError&) {
        return nullptr;
    }
    std::erase_if(units, [codec](ByteView unit) { return nal::isParameterSet(codec, unit); });
    if (units.empty()) {
        return nullptr;
    }
    size_t size = prefix.size();
    for (ByteView unit : units) {
        size += sizeof kStartCode + unit.size();
    }
    if (size > static_cast<size_t>(INT32_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) {
        return nullptr;
    }
    Packet packet(av_packet_alloc());
    // av_new_packet zeroes the padding behind the data, which libavcodec's bit readers rely on.
    if (!packet || av_new_packet(packet.get(), static_cast<int>(size)) < 0) {
        return nullptr;
    }
    uint8_t* out = packet->data;
    if (!prefix.empty()) {
        std::memcpy(out, prefix.data(), prefix.size());
        out += prefix.size();
    }
    for (ByteView unit : units) {
        std::memcpy(out, kStartCode, sizeof kStartCode);
        std::memcpy(out + sizeof kStartCode, unit.data(), unit.size());
        out += sizeof kStartCode + unit.size();
    }
    return packet;
}

}  // namespace

// One open codec context with what it needs to turn its pictures into NV12 buffers. Created on the owner's
// queue, used only on the worker; the last job that holds it frees it.
class VideoDecoder::Session {
  public:
    static std::shared_ptr<Session> open(VideoCodec codec) {
        const AVCodec* decoder =
            avcodec_find_decoder(codec == VideoCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
        if (decoder == nullptr) {
            throw DecoderError::sessionCreation(AVERROR_DECODER_NOT_FOUND);
        }
        auto session = std::shared_ptr<Session>(new Session);
        session->context_ = avcodec_alloc_context3(decoder);
        session->picture_ = av_frame_alloc();
        if (session->context_ == nullptr || session->picture_ == nullptr) {
            throw DecoderError::sessionCreation(AVERROR(ENOMEM));
        }
        AVCodecContext& context = *session->context_;
        // Slices of one picture in parallel, never several pictures: frame threads would hold back one
        // picture per thread.
        context.thread_type = FF_THREAD_SLICE;
        context.thread_count = 0;
        context.flags |= AV_CODEC_FLAG_LOW_DELAY;
        // A damaged picture is an error, not a concealed picture: the owner then waits for (or asks for) a
        // keyframe instead of showing smeared blocks until the next one.
        context.err_recognition |= AV_EF_EXPLODE;
        // Sets that slipped past the check (or a size libavcodec derives otherwise) still get no picture
        // buffer beyond the bound.
        context.max_pixels = PictureSizeLimit::maximumPixels;
        const int status = avcodec_open2(&context, decoder, nullptr);
        if (status < 0) {
            throw DecoderError::sessionCreation(status);
        }
        return session;
    }

    ~Session() {
        avcodec_free_context(&context_);
        av_frame_free(&picture_);
    }

    // A context that failed other than on bad data (memory, internal state) takes no more frames.
    bool isBroken() const { return broken_; }

    void decode(AVPacket& packet, const FrameTiming& timing, const Output& output) {
        const int64_t sequence = nextSequence_++;
        packet.pts = sequence;
        int status = avcodec_send_packet(context_, &packet);
        if (status < 0) {
            fail(status);
            output(DecoderError::decode(status));
            return;
        }
        pending_.push_back({sequence, timing});
        // Timings of frames libavcodec dropped silently; with low delay there are none to keep longer.
        while (pending_.size() > kMaximumPending) {
            pending_.pop_front();
        }
        bool answered = false;
        for (;;) {
            status = avcodec_receive_frame(context_, picture_);
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) {
                break;
            }
            if (status < 0) {
                fail(status);
                if (!answered) {
                    std::erase_if(pending_,
                                  [sequence](const auto& entry) { return entry.first == sequence; });
                    output(DecoderError::decode(status));
                }
                break;
            }
            if (picture_->pts == sequence) {
                answered = true;
            }
            deliver(output);
            av_frame_unref(picture_);
        }
    }

  private:
    static constexpr size_t kMaximumPending = 16;

    Session() = default;

    void fail(int status) {
        if (status != AVERROR_INVALIDDATA) {
            broken_ = true;
        }
    }

    // Hands the picture on with the timing of its frame; a picture whose frame is unknown is dropped, so
    // that no frame gets two results.
    void deliver(const Output& output) {
        while (!pending_.empty() && pending_.front().first < picture_->pts) {
            pending_.pop_front();
        }
        if (pending_.empty() || pending_.front().first != picture_->pts) {
            return;
        }
        const FrameTiming timing = pending_.front().second;
        pending_.pop_front();
        try {
            if (!pool_ || pool_->width() != picture_->width || pool_->height() != picture_->height) {
                pool_.emplace(PixelFormat::nv12, picture_->width, picture_->height);
            }
            PixelBuffer buffer = pool_->make();
            transfer_.transfer(PictureView::of(*picture_), PictureView::of(buffer));
            output(DecodedFrame{std::move(buffer), timing});
        } catch (const PixelBufferError& error) {
            ViewerLog::decoder().error("Bild nicht umwandelbar: {}", error.what());
            output(DecoderError::decode(AVERROR(EINVAL)));
        }
    }

    AVCodecContext* context_ = nullptr;
    AVFrame* picture_ = nullptr;
    std::atomic<bool> broken_{false};
    int64_t nextSequence_ = 0;
    std::deque<std::pair<int64_t, FrameTiming>> pending_;
    std::optional<PixelBufferPool> pool_;
    PixelTransfer transfer_;
};

class VideoDecoder::Ticket {
  public:
    Ticket(std::shared_ptr<Backlog> backlog, size_t bytes) : backlog_(std::move(backlog)), bytes_(bytes) {
        backlog_->frames += 1;
        backlog_->bytes += bytes_;
    }
    ~Ticket() {
        backlog_->bytes -= bytes_;
        backlog_->frames -= 1;
    }
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;

  private:
    std::shared_ptr<Backlog> backlog_;
    size_t bytes_;
};

VideoDecoder::VideoDecoder(Output output, std::shared_ptr<SerialQueue> worker)
    : output_(std::make_shared<const Output>(std::move(output))),
      worker_(worker ? std::move(worker) : std::make_shared<SerialQueue>(SerialQueue::labelFor("decoder"))) {}

VideoDecoder::~VideoDecoder() {
    invalidate();
}

bool VideoDecoder::decode(const EncodedVideoFrame& frame, uint64_t arrivalTime) {
    std::shared_ptr<Ticket> ticket = admit(frame);
    if (!ticket) {
        return false;
    }
    if (session_ && session_->isBroken()) {
        // The worker found the context unusable: drop it, so that the next keyframe builds a new one.
        forgetSession();
    }
    if (frame.isKeyframe() && !frame.parameterSets.empty() &&
        !(currentCodec_ == frame.codec && currentParameterSets_ == frame.parameterSets)) {
        try {
            configure(frame.codec, frame.parameterSets, frame.dimensions);
        } catch (const DecoderError& error) {
            report(error, std::move(ticket));
            return true;
        }
    }
    // A frame of another codec than the running context's would be read as garbage by it.
    if (!session_ || !configuration_ || currentCodec_ != frame.codec) {
        report(DecoderError::noFormat(), std::move(ticket));
        return true;
    }
    Packet packet = makePacket(frame.codec, frame.payload,
                               frame.isKeyframe() ? ByteView(parameterSetsAnnexB_) : ByteView());
    if (!packet) {
        report(DecoderError::decode(-1), std::move(ticket));
        return true;
    }
    FrameTiming timing{frame.frameNumber,
                       frame.captureTime,
                       arrivalTime,
                       frame.dimensions,
                       frame.codec,
                       frame.targetBitrateKbps,
                       frame.flags.contains(EncodedVideoFrame::Flags::testPattern)};
    // std::function needs a copyable job; the packet rides along in a shared box.
    std::shared_ptr<AVPacket> box(packet.release(), PacketFree{});
    worker_->async([session = session_, box, timing, output = output_, ticket = std::move(ticket)]() mutable {
        ticket.reset();  // no longer waiting
        session->decode(*box, timing, *output);
    });
    return true;
}

std::shared_ptr<VideoDecoder::Ticket> VideoDecoder::admit(const EncodedVideoFrame& frame) {
    if (refusing_ && !frame.isKeyframe()) {
        return nullptr;
    }
    const size_t bytes = frame.dataByteCount();
    // Only the worker changes the backlog meanwhile, and it only takes away from it.
    const size_t frames = backlog_->frames.load();
    const bool fits = frames == 0 || (frames < kMaximumBacklogFrames &&
                                      backlog_->bytes.load() + bytes <= kMaximumBacklogBytes);
    refusing_ = !fits;
    return fits ? std::make_shared<Ticket>(backlog_, bytes) : nullptr;
}

void VideoDecoder::invalidate() {
    worker_->sync([] {});
    forgetSession();
}

void VideoDecoder::forgetSession() {
    session_.reset();
    configuration_.reset();
    parameterSetsAnnexB_.clear();
    currentParameterSets_.clear();
    currentCodec_.reset();
}

void VideoDecoder::logUnusableParameterSets(VideoCodec codec, std::string_view why) {
    if (const auto count = unusableSetsLog_.count(MonotonicClock::now())) {
        ViewerLog::decoder().error("Parametersätze unbrauchbar ({}): {} ({} seit der letzten Meldung)",
                                   videoCodecDisplayName(codec), why, *count);
    }
}

void VideoDecoder::configure(VideoCodec codec, const std::vector<Bytes>& parameterSets,
                             VideoDimensions announced) {
    const auto sizes = ParameterSets::pictureSizes(codec, parameterSets);
    for (const std::optional<PictureSize>& size : sizes) {
        if (!size) {
            logUnusableParameterSets(codec, "Bildgröße nicht lesbar");
            throw DecoderError::noFormat();
        }
        if (!PictureSizeLimit::allows(size->coded)) {
            throw DecoderError::pictureTooLarge(size->coded);
        }
    }
    if (!sizes.empty() && sizes.front()->visible != announced &&
        !std::exchange(reportedSizeMismatch_, true)) {
        ViewerLog::decoder().warn("Bildgröße laut Parametersätzen {}, angekündigt {}",
                                  sizes.front()->visible.description(), announced.description());
    }
    DecoderConfiguration configuration;
    try {
        configuration = ParameterSets::makeDecoderConfiguration(codec, parameterSets);
    } catch (const ParameterSetError& error) {
        // Damaged sets change nothing: a running context goes on with the sets it has.
        logUnusableParameterSets(codec, error.what());
        throw DecoderError::noFormat();
    }
    if (session_ && currentCodec_ == codec) {
        // libavcodec takes new sets of its codec in-band, in front of the keyframe.
        adopt(std::move(configuration));
        return;
    }
    forgetSession();
    session_ = Session::open(codec);
    adopt(std::move(configuration));
    ++sessionsCreated_;
    ViewerLog::decoder().info("Decoder bereit: {}", videoCodecDisplayName(codec));
}

void VideoDecoder::adopt(DecoderConfiguration configuration) {
    parameterSetsAnnexB_ = configuration.annexB();
    currentParameterSets_ = configuration.parameterSets;
    currentCodec_ = configuration.codec;
    configuration_ = std::move(configuration);
}

void VideoDecoder::report(DecoderError error, std::shared_ptr<Ticket> ticket) {
    worker_->async([error, output = output_, ticket = std::move(ticket)]() mutable {
        ticket.reset();
        (*output)(error);
    });
}

}  // namespace kelvora
