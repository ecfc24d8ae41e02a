#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Bytes.h"
#include "sender/pipeline/EncoderCapabilities.h"
#include "sender/pipeline/EncoderConfiguration.h"

namespace kelvora {

// Which encoder library a tier uses. `automatic` takes libx264 for H.264 and a VAAPI hardware encoder for
// HEVC; the others force one library (tests force libx265 to exercise the HEVC path without a GPU).
enum class EncoderBackend { automatic, x264, vaapi, x265 };

// One open encoder for one fixed configuration. Calls of `encode` come from one thread at a time;
// `requestBitrate` may come from any thread and takes effect on the next encoded picture.
class CompressionSession {
  public:
    // An NV12 picture (video range) of the session's size.
    struct Picture {
        const uint8_t* luma = nullptr;
        int lumaStride = 0;
        const uint8_t* chroma = nullptr;  // interleaved Cb/Cr, half height
        int chromaStride = 0;
    };

    // One compressed picture in the form the wire carries.
    struct Sample {
        // 4-byte big-endian length before each NAL unit; no start codes, no AUD, no parameter sets.
        Bytes payload;
        // H.264 SPS, PPS; HEVC VPS, SPS, PPS; present on keyframes.
        std::vector<Bytes> parameterSets;
        bool keyframe = false;
        // No later picture references this one.
        bool disposable = false;
        // The presentation time the session gave the picture: what `invalidateAfter` takes.
        int64_t presentationMicros = 0;
    };

    virtual ~CompressionSession() = default;

    // Encodes one picture (presentation time in microseconds) and appends what came out. Returns 0, or the
    // library's negative status; after a failure the session is not used again.
    virtual int encode(const Picture& picture, int64_t presentationMicros, bool forceKeyframe,
                       std::vector<Sample>& out) = 0;
    virtual void requestBitrate(int kbps) = 0;
    // Whether the session can go back to an older reference picture on request (`invalidateAfter`).
    virtual bool offersLongTermReferences() const { return false; }
    // Makes the session forget every picture presented after `presentationMicros`, so that the next one
    // references only that picture or older ones, or is a keyframe when none of them is left. Called on the
    // encoding thread between two pictures. False when the session cannot (the picture is not in its chain).
    virtual bool invalidateAfter(int64_t /*presentationMicros*/) { return false; }
    virtual bool isLowLatencyActive() const = 0;
    // How far a software session has cut its search to keep up with the frame rate (0: not at all). Read
    // from any thread.
    virtual int speedLevel() const { return 0; }
    // Starts from the speed level an earlier session of the same picture size ended at, so that a reopened
    // encoder does not fall behind again before it steps up. Called before the first picture.
    virtual void resumeSpeedLevel(int /*level*/) {}
    virtual VideoCodec codec() const = 0;
    // The library that runs the session, for the log ("libx264", "hevc_vaapi", ...).
    virtual std::string name() const = 0;

    // Opens a session for a sanitized configuration; throws EncoderError::sessionCreation.
    static std::unique_ptr<CompressionSession> make(const EncoderConfiguration& configuration,
                                                    bool lowLatency, EncoderBackend backend);
    // What this computer can do, probed on first use and fixed for the life of the process.
    static const EncoderCapabilities& capabilities();
};

// Keeps keyframes at most the configured interval apart in presentation time, whatever the frame count
// says, so that a tier whose pictures are thinned out still refreshes in time; and makes presentation times
// strictly increasing, as encoders need (two captures in the same microsecond must not stall one).
class KeyframeSchedule {
  public:
    explicit KeyframeSchedule(const EncoderConfiguration& configuration);

    // The presentation time to use for a picture captured at `micros`.
    int64_t presentation(int64_t micros);
    bool isDue(int64_t presentation) const;
    void keyframeAt(int64_t presentation);
    // Presentation time of the last keyframe, none before the first.
    std::optional<int64_t> lastKeyframe() const {
        return hadKeyframe_ ? std::optional<int64_t>(lastKeyframe_) : std::nullopt;
    }

  private:
    int64_t intervalMicros_;
    int64_t lastKeyframe_ = 0;
    bool hadKeyframe_ = false;
    int64_t lastPresentation_ = INT64_MIN;
};

}  // namespace kelvora
