#pragma once

#include <atomic>
#include <memory>

#include "sender/pipeline/CompressionSession.h"

namespace kelvora {

// A session on one of libavcodec's encoders: VAAPI hardware encoding (h264_vaapi, hevc_vaapi) on the first
// render node that opens, or libx265 in software for HEVC where a test needs a real HEVC stream without a
// GPU. Encoders emit Annex B; the NAL units are turned into the wire's form here, with the parameter sets
// lifted into the sample's list.
//
// Neither library changes its bitrate on an open encoder, so a requested bitrate opens the encoder anew
// before the next picture, which then is a keyframe: at once for a change of a tenth or more, otherwise
// with the next keyframe that is due or forced.
class AvcodecSession final : public CompressionSession {
  public:
    enum class Library { vaapi, x265 };

    // Throws EncoderError::sessionCreation.
    AvcodecSession(const EncoderConfiguration& configuration, bool lowLatency, Library library);
    ~AvcodecSession() override;

    // Whether a VAAPI encoder of the codec opens on this computer at 1920×1080.
    static bool probeHardware(VideoCodec codec, bool lowLatency);

    int encode(const Picture& picture, int64_t presentationMicros, bool forceKeyframe,
               std::vector<Sample>& out) override;
    void requestBitrate(int kbps) override;
    bool isLowLatencyActive() const override { return lowLatency_; }
    VideoCodec codec() const override { return codec_; }
    std::string name() const override;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    VideoCodec codec_;
    bool lowLatency_;
    std::atomic<int> requestedKbps_;
};

}  // namespace kelvora
