#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "core/Bytes.h"
#include "core/EncodedVideoFrame.h"
#include "core/ParameterSets.h"
#include "core/VideoCodec.h"
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
class VideoDecoder {
  public:
    using Result = std::variant<DecodedFrame, DecoderError>;
    using Output = std::function<void(Result)>;

    explicit VideoDecoder(Output output);
    // Drains the frames in flight, like `invalidate`.
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Decodes one frame; `arrivalTime` (monotonic ns) travels with the picture. Every outcome goes to
    // `output`: a picture, an error, or nothing when libavcodec drops the frame.
    void decode(const EncodedVideoFrame& frame, uint64_t arrivalTime);

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

    // Throws DecoderError: noFormat for sets that libavcodec refuses (the running context stays),
    // sessionCreation when a new context does not open.
    void configure(VideoCodec codec, const std::vector<Bytes>& parameterSets);
    void adopt(DecoderConfiguration configuration);
    void report(DecoderError error);

    std::shared_ptr<const Output> output_;
    std::unique_ptr<SerialQueue> worker_;
    std::shared_ptr<Session> session_;
    std::optional<DecoderConfiguration> configuration_;
    Bytes parameterSetsAnnexB_;  // the sets as they go in front of each keyframe
    std::vector<Bytes> currentParameterSets_;
    std::optional<VideoCodec> currentCodec_;
    uint64_t sessionsCreated_ = 0;
};

}  // namespace kelvora
