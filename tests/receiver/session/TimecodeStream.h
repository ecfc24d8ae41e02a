#pragma once

#include <cstring>

#include "core/EncodedVideoFrame.h"
#include "core/MonotonicClock.h"
#include "core/Nal.h"
#include "core/ParameterSets.h"
#include "core/TestPatternTimecode.h"
#include "support/CodecHarness.h"

namespace kelvora::test {

// Test-pattern frames as a sender makes them: the capture time (now) drawn into the picture's time-code
// strip, encoded with libx264 into the wire's form, tier 0, the first one a keyframe.
class TimecodeStream {
  public:
    EncodedVideoFrame next() {
        const uint64_t capture = MonotonicClock::now();
        auto picture = PixelBuffer::make(PixelFormat::nv12, size.width, size.height);
        std::memset(picture.data(0), 120, static_cast<size_t>(picture.stride(0)) * size.height);
        std::memset(picture.data(1), 128, static_cast<size_t>(picture.stride(1)) * picture.planeHeight(1));
        TestPatternTimecode::write(picture, capture);
        auto unit = encoder.encode(picture, number == 0);
        ++number;
        EncodedVideoFrame::Flags flags{EncodedVideoFrame::Flags::testPattern};
        if (unit.keyframe) {
            flags.insert(EncodedVideoFrame::Flags::keyframe);
        }
        return EncodedVideoFrame::make(
            VideoCodec::h264, flags, 0, number, std::nullopt, capture, MonotonicClock::now(), size, 4000,
            unit.keyframe ? ParameterSets::extract(unit.annexB, VideoCodec::h264) : std::vector<Bytes>{},
            nal::toLengthPrefixed(unit.annexB, VideoCodec::h264));
    }

    const VideoDimensions size{640, 360};

  private:
    testsupport::X264TestEncoder encoder{640, 360};
    uint64_t number = 0;
};

}  // namespace kelvora::test
