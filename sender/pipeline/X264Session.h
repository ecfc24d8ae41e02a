#pragma once

#include <algorithm>
#include <atomic>
#include <iterator>
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

    // An H.264 level's limits, in macroblocks: per second, per picture, and in the decoded picture buffer.
    struct Level {
        int idc = 0;
        long perSecond = 0;
        int perPicture = 0;
        int buffer = 0;
    };

    // The lowest level that decodes pictures of `macroblocks` at `frameRate` (the highest there is past
    // them all). libx264 signals this level unless the bitrate asks for a higher one.
    static constexpr Level levelFor(int macroblocks, int frameRate) {
        constexpr Level levels[] = {
            {10, 1485, 99, 396},           {11, 3000, 396, 900},           {12, 6000, 396, 2376},
            {20, 11880, 396, 2376},        {21, 19800, 792, 4752},         {22, 20250, 1620, 8100},
            {30, 40500, 1620, 8100},       {31, 108000, 3600, 18000},      {32, 216000, 5120, 20480},
            {40, 245760, 8192, 32768},     {42, 522240, 8704, 34816},      {50, 589824, 22080, 110400},
            {51, 983040, 36864, 184320},   {52, 2073600, 36864, 184320},   {60, 4177920, 139264, 696320},
            {61, 8355840, 139264, 696320}, {62, 16711680, 139264, 696320},
        };
        for (const Level& level : levels) {
            if (macroblocks <= level.perPicture && long(macroblocks) * frameRate <= level.perSecond)
                return level;
        }
        return levels[std::size(levels) - 1];
    }

    // Reference pictures kept for refreshes. A refresh after a loss predicts from the frame before the lost
    // one, which the viewer acknowledges as it asks: past it lie the lost frame, the one that showed the gap
    // (over TCP the viewer asks as that one arrives) and the frames captured while that one was encoded and
    // sent and the request came back, within 16 ms on a LAN (3 pictures up to 62 frames/s, 4 up to 125). No
    // more are kept than the buffer of the level the picture size and rate need anyway (5 at 720p, 4 at
    // 1080p, 7 at 1440p and 5 at 2160p at 30 frames/s), so the references never raise the level a viewer's
    // decoder must have: each picture costs the encoder about 10 MB at 1080p and every viewer about 4.5 MB.
    // Where the acknowledged frame has left the buffer the refresh becomes a keyframe, which stays correct.
    static constexpr int referencePictures(int frameRate, VideoDimensions size) {
        const int underWay = (frameRate * 16 + 999) / 1000;
        const int lag = 2 + underWay;
        const int macroblocks = std::max(1, ((size.width + 15) / 16) * ((size.height + 15) / 16));
        const int held = levelFor(macroblocks, frameRate).buffer / macroblocks;
        return std::clamp(std::min(lag, held), 2, maximumReferencePictures);
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
