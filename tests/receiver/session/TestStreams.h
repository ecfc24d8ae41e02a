#pragma once

#include <cstdint>

#include "core/EncodedVideoFrame.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace kelvora::test {

// Encodes generated pictures (libx264 or libx265 through libavcodec) into frames as a tier encoder sends
// them: NAL units behind 4-byte lengths, parameter sets apart and only on keyframes. The picture is a luma
// ramp that moves each frame over constant chroma (Cb 90, Cr 170). Frames are numbered from 1; the
// encode-done time is the capture time plus `encodeDelayNs`.
class TestEncoder {
  public:
    explicit TestEncoder(VideoDimensions size, uint8_t tier = 0, VideoCodec codec = VideoCodec::h264);
    ~TestEncoder();
    TestEncoder(const TestEncoder&) = delete;
    TestEncoder& operator=(const TestEncoder&) = delete;

    EncodedVideoFrame encode(uint64_t captureTime, bool forceKeyframe = false);

    uint64_t encodeDelayNs = 4'000'000;

  private:
    EncodedVideoFrame frame_;
    AVCodecContext* context_ = nullptr;
    AVFrame* picture_ = nullptr;
    AVPacket* packet_ = nullptr;
};

}  // namespace kelvora::test
