#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/EncodedVideoFrame.h"
#include "platform/PixelBuffer.h"
#include "sender/pipeline/CompressionSession.h"
#include "sender/pipeline/EncoderCapabilities.h"
#include "sender/pipeline/EncoderConfiguration.h"

namespace kelvora {

// The encoder of one tier. The pipeline hands it every source picture; it thins the frame rate to its
// target, refuses work when the encoder falls behind (three pictures in flight), letterboxes the picture
// to the configured size, forces keyframes on request, and turns every compressed picture into an
// EncodedVideoFrame with frame and reference numbers, flags, times and parameter sets.
//
// Threads: `encode` comes from the source's thread (several tiers in parallel, one picture at a time per
// encoder); keyframe requests, acknowledgements, the target frame rate and configuration changes from the
// server queue. The compression runs on the encoder's own worker thread, which also calls the output
// handler. One mutex guards all state; it is held while a picture is prepared (including creating a
// session) and while an output is numbered, never while compressing or calling the output handler.
//
// A session is rebuilt when anything but the bitrate changes; pictures still in flight in a detached
// session produce nothing, so no stale frame is numbered into the new chain. Frame numbers come from a
// sequence that the pipeline may share between the encoders a tier has over its life, so that viewers
// never see numbering start again.
//
// Long-term references (libx264 only): the viewers acknowledge frames they hold completely; a keyframe
// request then becomes a refresh, a frame that predicts only from the newest acknowledged frame and goes
// out flagged refresh with that frame as its reference. Where the session cannot go back that far it
// answers with a keyframe, which is then one in every respect. Other sessions take the keyframe way.
//
// Destroying the encoder waits for the worker to finish the picture it is compressing (unless that
// happens on the worker itself, inside the output handler); pictures still queued are dropped. Do not
// destroy it while holding a lock that the output handler takes.
class VideoEncoder {
  public:
    using OutputHandler = std::function<void(EncodedVideoFrame)>;

    // The last frame number given out for one tier.
    class FrameNumbers {
      public:
        uint64_t last() const { return last_.load(); }
        uint64_t next() { return last_.fetch_add(1) + 1; }

      private:
        std::atomic<uint64_t> last_{0};
    };

    struct Timing {
        // Median capture-to-submit milliseconds.
        std::optional<double> waitMs;
        // Median submit-to-output milliseconds.
        std::optional<double> hardwareMs;
        // Codec of the frames really produced.
        std::optional<VideoCodec> outputCodec;
        bool operator==(const Timing&) const = default;
    };

    // Opens a compression session in place of the library `backend` names (throws EncoderError).
    using SessionFactory =
        std::function<std::unique_ptr<CompressionSession>(const EncoderConfiguration&, bool lowLatency)>;

    struct Options {
        EncoderBackend backend = EncoderBackend::automatic;
        // Shared with the tier's earlier and later encoders; a fresh sequence when none is given.
        std::shared_ptr<FrameNumbers> frameNumbers;
        // When set, sessions come from here instead; for sessions that wrap a library's.
        SessionFactory makeSession = nullptr;
    };

    VideoEncoder(uint8_t tier, EncoderConfiguration configuration, OutputHandler outputHandler);
    VideoEncoder(uint8_t tier, EncoderConfiguration configuration, OutputHandler outputHandler,
                 Options options);
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    static const EncoderCapabilities& capabilities();

    uint8_t tier() const { return tier_; }
    EncoderConfiguration configuration() const;
    int configuredBitrateKbps() const;
    bool isLowLatencyActive() const;

    // Takes one picture (NV12 or BGRA, any size) captured at `captureTime` (monotonic ns). May drop it.
    void encode(const PixelBuffer& picture, uint64_t captureTime, bool isTestPattern);

    // Sets up a refresh from the acknowledged frame when it lies in the current keyframe's chain, else
    // forces a keyframe on the next picture; either at most once per `minimumIntervalMs`. Returns whether
    // the request took the refresh way.
    bool requestKeyframe(double minimumIntervalMs);
    void requestFullKeyframe(double minimumIntervalMs);
    // A frame the viewers received completely; only frames of the current chain count.
    void acknowledgeReference(uint64_t frameNumber);
    // The acknowledged frame a refresh would refer to; 0 without long-term references.
    uint64_t acknowledgedFrame() const;

    // The tier's own rate below the configured one (the proxy beside a 60 frames/s source runs at 30);
    // none: the configured rate. Sessions open at it, so their level and references hold the tier's full
    // rate; a change opens a new session at the next picture, with a keyframe.
    std::optional<double> frameRateLimit() const;
    void setFrameRateLimit(std::optional<double> framesPerSecond);

    // Pacing target below that rate; none encodes every picture the limit lets through. A change only
    // drops more or fewer pictures and gives each its share of the bitrate per second: the session, its
    // chain and its keyframe interval in seconds stay.
    std::optional<double> targetFrameRate() const;
    void setTargetFrameRate(std::optional<double> framesPerSecond);

    Timing timing() const;

    // Stores a new configuration; anything but a bitrate change rebuilds the session at the next picture.
    void applyPendingSessionChange(const EncoderConfiguration& configuration);
    void setBitrate(int kbps);
    // Lets go of the compression session, as when the source changes: the next picture opens a fresh one
    // and starts with a keyframe; pictures still in flight in the old one produce nothing.
    void resetSession();

  private:
    struct Core;
    struct Job;
    struct Worker;

    const uint8_t tier_;
    std::shared_ptr<Core> core_;
    std::shared_ptr<Worker> worker_;
};

}  // namespace kelvora
