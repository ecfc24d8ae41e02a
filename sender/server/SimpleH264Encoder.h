#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "core/Bytes.h"
#include "platform/PixelBuffer.h"

namespace kelvora {

// The plain real-time H.264 encoder of the simple stream: libx264 tuned for no delay (no B-frames, no
// lookahead, slice threads), High profile, a keyframe at least every second of presentation time, the
// bitrate as the average per second at the rate the pictures really come in (measured from their times; the
// encoder is opened anew, with a keyframe, when that rate moves by more than 15 %).
// Frames come out as 4-byte length-prefixed NAL units with the parameter sets lifted out of the payload.
//
// Threads: encode() from one thread at a time; setBitrate() from any thread, applied before the next picture.
class SimpleH264Encoder {
  public:
    struct Frame {
        bool isKeyframe = false;
        // Presentation time in nanoseconds, as given to encode().
        uint64_t presentationTime = 0;
        // SPS, then PPS; only on keyframes.
        std::vector<Bytes> parameterSets;
        Bytes data;
    };

    static constexpr int64_t maximumKeyframeDistanceNs = 1'000'000'000;

    // An encoder for NV12 pictures of width x height (both even, at least 16). Nothing when libx264 refuses
    // the settings.
    static std::unique_ptr<SimpleH264Encoder> open(int width, int height, int bitrateKbps);
    ~SimpleH264Encoder();
    SimpleH264Encoder(const SimpleH264Encoder&) = delete;
    SimpleH264Encoder& operator=(const SimpleH264Encoder&) = delete;

    // Encodes one NV12 picture of the encoder's size. Nothing when the library produced no frame or failed.
    std::optional<Frame> encode(const PixelBuffer& picture, uint64_t timeNs, bool forceKeyframe);
    void setBitrate(int kbps) { requestedKbps_.store(kbps); }

  private:
    struct Impl;
    // Whole pictures per second from presentation times in nanoseconds (oldest first), within 1...240;
    // 0 until enough have come.
    static int frameRate(const std::deque<int64_t>& presentationTimes);
    explicit SimpleH264Encoder(std::unique_ptr<Impl> impl, int bitrateKbps);

    std::unique_ptr<Impl> impl_;
    std::atomic<int> requestedKbps_;
};

}  // namespace kelvora
