#pragma once

#include <algorithm>
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
// With long-term references asked for (and not intra-only) the decoded picture buffer holds the reference
// pictures a refresh reaches back over on a LAN (`referencePictures`), which costs no encoding speed (motion
// search still looks at one), so that after a loss the encoder can drop the pictures a viewer missed and
// predict from one it holds. frame_num is then counted 8 bits wider than libx264 counts it for so small a
// buffer, so that the pictures a refresh skips seldom span its wrap.
//
// A session whose pictures take nearly as long to encode as the time between them searches less (a faster
// preset's motion search), and more again once there is ample room: a small machine keeps its frame rate.
class X264Session final : public CompressionSession {
  public:
    // The speed preset every tier starts with; the benchmark compares against the command-line encoder with
    // it.
    static constexpr const char* preset = "veryfast";

    // The most reference pictures H.264 lets a decoder keep.
    static constexpr int maximumReferencePictures = 16;

    // Reference pictures kept for refreshes. A refresh after a loss predicts from the frame before the lost
    // one, which the viewer acknowledges as it asks: past it lie the lost frame, the one that showed the gap
    // (over TCP the viewer asks as that one arrives) and the frames captured while that one was encoded and
    // sent and the request came back, within 16 ms on a LAN (3 pictures up to 62 frames/s). No more are kept
    // than a level 4.1 decoder holds at the picture size (4 at 1080p, 9 at 720p): each picture costs the
    // encoder about 10 MB at 1080p and every viewer about 4.5 MB. Where the acknowledged frame has left the
    // buffer the refresh becomes a keyframe, which stays correct.
    static constexpr int referencePictures(int frameRate, VideoDimensions size) {
        const int underWay = (frameRate * 16 + 999) / 1000;
        const int lag = 2 + underWay;
        const int macroblocks = ((size.width + 15) / 16) * ((size.height + 15) / 16);
        constexpr int level41Macroblocks = 32768;
        return std::clamp(std::min(lag, level41Macroblocks / std::max(1, macroblocks)), 2,
                          maximumReferencePictures);
    }

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
