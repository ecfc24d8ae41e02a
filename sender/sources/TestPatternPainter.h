#pragma once

#include "core/VideoDimensions.h"
#include "platform/PixelBuffer.h"
#include "sender/sources/TextLine.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace kelvora {

// Draws the test picture: colour bars, a moving marker, one lit square per frame phase, a large wall clock,
// an info line, the title, and along the bottom edge the timecode strip that carries the capture time, so
// that a viewer can read the end-to-end latency off the decoded picture.
//
// Not thread-safe: one painter draws on one thread at a time (the test-pattern queue).
class TestPatternPainter {
  public:
    // What changes from picture to picture.
    struct Frame {
        uint64_t frameCounter = 0;
        // Monotonic nanoseconds; written into the timecode strip.
        uint64_t captureTime = 0;
        // Since the source was made; shown in the info line.
        double millisecondsSinceStart = 0;
        // "HH:mm:ss.SSS", local time.
        std::string clockText;
    };

    // `frameRate` below 1 is taken as 1.
    TestPatternPainter(VideoDimensions dimensions, int frameRate);

    // Draws into a BGRA buffer of the painter's dimensions; every pixel is written, and the result is
    // opaque. A buffer of another size or format is left alone.
    void draw(const PixelBuffer& picture, const Frame& frame);

    // The local wall-clock time as "HH:mm:ss.SSS".
    static std::string clockText(std::chrono::system_clock::time_point time);

    VideoDimensions dimensions() const { return dimensions_; }
    int frameRate() const { return frameRate_; }

  private:
    VideoDimensions dimensions_;
    int frameRate_;
    TextContext text_;
    TextLine clock_;
    TextLine info_;
    TextLine title_;
};

}  // namespace kelvora
