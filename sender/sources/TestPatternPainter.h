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
// Most of the picture (gradient, bars, title) is the same every frame: it is drawn once into a static layer,
// and a picture is made by restoring the rows the moving parts may cover and drawing only those parts. The
// result is the same, pixel for pixel, as drawing everything afresh.
//
// Not thread-safe: one painter draws on one thread at a time (the test-pattern queue).
class TestPatternPainter {
  public:
    // What a buffer handed to `draw` holds.
    enum class Contents {
        // Anything: every pixel is written.
        unknown,
        // A picture this painter drew into the same buffer before; only the rows of the moving parts are
        // written (the timecode strip always is).
        earlierPicture,
    };

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

    // Draws into a BGRA buffer of the painter's dimensions; the result is opaque and the same whatever
    // `contents` says, as long as it tells the truth. A buffer of another size or format is left alone.
    void draw(const PixelBuffer& picture, const Frame& frame, Contents contents = Contents::unknown);

    // The local wall-clock time as "HH:mm:ss.SSS".
    static std::string clockText(std::chrono::system_clock::time_point time);

    VideoDimensions dimensions() const { return dimensions_; }
    int frameRate() const { return frameRate_; }

    // Rows [top, bottom) of the picture, counted from the top.
    struct Band {
        int top = 0;
        int bottom = 0;
    };

  private:
    void drawBackground(cairo_t* cr) const;
    void drawTitle(cairo_t* cr) const;
    void drawMoving(cairo_t* cr, const Frame& frame);
    void copyStaticRows(const PixelBuffer& picture, Band band) const;

    VideoDimensions dimensions_;
    int frameRate_;
    TextContext text_;
    TextLine clock_;
    TextLine info_;
    TextLine title_;
    // Where the marker, the squares, the clock and the info line may draw; text is clipped to its band.
    Band markerBand_, squaresBand_, clockBand_, infoBand_, titleBand_;
    // Whether no moving band reaches the title's, which a full draw paints over them; not so in tiny
    // pictures, which are always drawn afresh.
    bool layered_ = false;
    // Gradient, bars and title, made at the first draw.
    PixelBuffer static_;
};

}  // namespace kelvora
