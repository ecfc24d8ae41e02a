#pragma once

#include <atomic>
#include <memory>

#include "sender/pipeline/CompressionSession.h"

namespace kelvora {

// H.264 in software through libx264's own API, tuned for the lowest delay: no B-frames, no lookahead,
// slice threads, High profile with CABAC, BT.709 video range, 4-byte NAL lengths instead of start codes.
// Keyframes come at most every `keyframeInterval` seconds of presentation time as well as every
// interval × frame rate pictures, so thinned-out frame rates still refresh in time.
//
// Low-latency rate control is a tight VBV (the bitrate as the ceiling, a tenth of a second of buffer);
// ordinary rate control allows 1.5 times the average within one second. Bitrate changes are applied with
// x264_encoder_reconfig before the next picture, on the encoding thread.
//
// With long-term references asked for (and not intra-only) the decoded picture buffer holds the most
// reference pictures H.264 allows, which costs no encoding speed (motion search still looks at one), so
// that after a loss the encoder can drop the pictures a viewer missed and predict from one it holds.
//
// A session whose pictures take nearly as long to encode as the time between them searches less (a faster
// preset's motion search), and more again once there is ample room: a small machine keeps its frame rate.
class X264Session final : public CompressionSession {
  public:
    // The speed preset every tier starts with; the benchmark compares against the command-line encoder with
    // it.
    static constexpr const char* preset = "veryfast";

    // Throws EncoderError::sessionCreation.
    X264Session(const EncoderConfiguration& configuration, bool lowLatency);
    ~X264Session() override;

    int encode(const Picture& picture, int64_t presentationMicros, bool forceKeyframe,
               std::vector<Sample>& out) override;
    void requestBitrate(int kbps) override;
    bool offersLongTermReferences() const override { return longTermReferences_; }
    bool invalidateAfter(int64_t presentationMicros) override;
    bool isLowLatencyActive() const override { return lowLatency_; }
    int speedLevel() const override { return speedLevel_.load(); }
    void resumeSpeedLevel(int level) override;
    VideoCodec codec() const override { return VideoCodec::h264; }
    std::string name() const override { return "libx264"; }

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    bool lowLatency_;
    bool longTermReferences_;
    std::atomic<int> requestedKbps_;
    std::atomic<int> speedLevel_{0};
};

}  // namespace kelvora
