#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "core/Bytes.h"
#include "core/ControlMessage.h"
#include "core/EncodedVideoFrame.h"
#include "core/ParameterSets.h"
#include "core/VideoCodec.h"
#include "platform/LogThrottle.h"
#include "receiver/session/DecodedFrame.h"
#include "receiver/session/DecoderError.h"

namespace kelvora {

class SerialQueue;

// Turns the encoded frames of one tier into NV12 pictures with libavcodec (slice threads, low delay).
//
// The decoder takes its format from the parameter sets that keyframes carry: the same sets and codec leave
// the running codec context alone, new sets of the same codec go to it in-band (libavcodec follows a new
// sequence parameter set by itself), and another codec opens a new context. Frames travel to libavcodec
// as Annex B, with the current parameter sets in front of every keyframe.
//
// Threads: `decode`, `invalidate` and the accessors belong to the owner's serial queue. Each decoder has a
// worker queue of its own ("decoder") that runs libavcodec and calls `output`: one result per frame at most,
// in frame order, errors found before decoding included. Owners hop from there to their own queue. The
// decoder must not be destroyed from inside `output` while another thread still uses it.
//
// Pictures are bounded in size (PictureSizeLimit): a keyframe whose sequence parameter set describes a larger
// picture is refused with pictureTooLarge before libavcodec sees it, libavcodec itself refuses to allocate a
// larger picture (max_pixels), and parameter sets inside a payload are left out (the wire carries them only
// in the frame's own list, where they are checked). A size that differs from the one the frames announce is
// logged, once per decoder.
//
// The frames waiting for the worker are bounded in count and bytes. A decoder slower than the stream would
// otherwise fall behind without end, in latency and in memory; at the bound it refuses frames, and having
// refused one it takes nothing but a keyframe, since every frame in between refers to one it never saw.
class VideoDecoder {
  public:
    using Result = std::variant<DecodedFrame, DecoderError>;
    using Output = std::function<void(Result)>;

    // Two seconds of 60 fps video. A healthy decoder needs a few milliseconds a frame and holds one or two;
    // even the burst that follows a network stall of a second (the most the receiver's orderer holds back)
    // stays well below. A backlog this long is seconds of latency that only a keyframe cures.
    static constexpr size_t kMaximumBacklogFrames = 120;
    // One message of the largest size the wire allows (frames count with their parameter sets). Seconds of
    // the highest bitrate the sender plans stay far below it; the count alone would let 120 such messages
    // in. A single frame above it still goes in when nothing waits, so that its keyframes are not refused
    // for ever.
    static constexpr size_t kMaximumBacklogBytes = ControlMessage::maximumPayloadLength;

    // `worker` runs libavcodec; without one the decoder makes its own. Tests hand in a queue they can hold
    // up.
    explicit VideoDecoder(Output output, std::shared_ptr<SerialQueue> worker = nullptr);
    // Drains the frames in flight, like `invalidate`.
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Decodes one frame; `arrivalTime` (monotonic ns) travels with the picture. Every outcome goes to
    // `output`: a picture, an error, or nothing when libavcodec drops the frame. Returns false, with nothing
    // going to `output`, for a frame refused because the backlog is full, and for every frame after such
    // a refusal until a keyframe is taken.
    bool decode(const EncodedVideoFrame& frame, uint64_t arrivalTime);

    // Waits until the frames in flight have gone through `output`, then closes the codec context and
    // forgets the format, so that only the next keyframe with parameter sets starts decoding again.
    void invalidate();

    bool hasSession() const { return session_ != nullptr; }
    std::optional<VideoCodec> currentCodec() const { return currentCodec_; }
    const std::vector<Bytes>& currentParameterSets() const { return currentParameterSets_; }
    // Codec contexts opened so far: tells a reconfiguration in place from a new session.
    uint64_t sessionsCreated() const { return sessionsCreated_; }

  private:
    class Session;
    // Frames handed to the worker that it has not started on.
    struct Backlog {
        std::atomic<size_t> frames{0};
        std::atomic<size_t> bytes{0};
    };
    // One frame's share of the backlog, given back when the worker starts on it (or drops it unstarted).
    class Ticket;

    // The frame's share, or null when it is refused.
    std::shared_ptr<Ticket> admit(const EncodedVideoFrame& frame);

    // Throws DecoderError: pictureTooLarge for a sequence parameter set beyond PictureSizeLimit, noFormat for
    // sets that cannot be read or that libavcodec refuses (the running context stays in both cases),
    // sessionCreation when a new context does not open. `announced` is the size the frame says it has.
    void configure(VideoCodec codec, const std::vector<Bytes>& parameterSets, VideoDimensions announced);
    void adopt(DecoderConfiguration configuration);
    // Lets go of the context and the format without waiting: the frames on their way to the worker hold
    // the context they were made for, so the owner's queue never waits for a decoder that is behind.
    void forgetSession();
    void report(DecoderError error, std::shared_ptr<Ticket> ticket);
    // A sender can send unusable sets with every keyframe: at most one line a second, with the count.
    void logUnusableParameterSets(VideoCodec codec, std::string_view why);

    std::shared_ptr<const Output> output_;
    std::shared_ptr<SerialQueue> worker_;
    std::shared_ptr<Backlog> backlog_ = std::make_shared<Backlog>();
    bool refusing_ = false;  // a frame was refused; only a keyframe is taken now
    std::shared_ptr<Session> session_;
    std::optional<DecoderConfiguration> configuration_;
    Bytes parameterSetsAnnexB_;  // the sets as they go in front of each keyframe
    std::vector<Bytes> currentParameterSets_;
    std::optional<VideoCodec> currentCodec_;
    uint64_t sessionsCreated_ = 0;
    bool reportedSizeMismatch_ = false;
    LogThrottle unusableSetsLog_{std::chrono::seconds(1)};
};

}  // namespace kelvora
