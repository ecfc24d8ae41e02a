#pragma once

#include "core/VideoDimensions.h"
#include "sender/sources/TextLine.h"

#include <cstdint>
#include <vector>

namespace kelvora {

// Draws one picture of the sample clip: a dark gradient with four glowing blobs that circle at different
// speeds, leaning rain lines, a bouncing ball, a scrolling marquee, a badge and a frame counter. Every
// motion completes a whole number of cycles over the clip, so the last picture runs smoothly into the first
// when the clip loops.
//
// Not thread-safe: one painter draws on one thread at a time.
class SampleVideoPainter {
  public:
    static constexpr const char* marqueeText =
        "Kelvora Beispielvideo  ·  Low-Latency-Streaming vom Computer aufs iPhone  ·  1080p · 60 fps  ·  ";

    explicit SampleVideoPainter(VideoDimensions dimensions);

    // Draws picture `index` (0-based) of `total` into 32-bit BGRA memory (premultiplied, alpha first in
    // little-endian order) of the painter's dimensions. Every pixel is written.
    void draw(uint8_t* bgra, int bytesPerRow, int index, int total);

    // The typographic width of one copy of the marquee text; the marquee moves left by this width over
    // the whole clip.
    double marqueeWidth() const { return marqueeWidth_; }

  private:
    // One blob: its colour with coverage 0.85 at the centre falling linearly to 0 at the radius, as
    // premultiplied BGRA in a square of side 2 × radius + 1, ready to be screen-blended row by row.
    struct Glow {
        std::vector<uint8_t> bgra;
    };

    void addGlow(uint8_t* bgra, int bytesPerRow, const Glow& glow, double centreX, double centreY) const;

    VideoDimensions dimensions_;
    int glowRadius_ = 0;
    int glowSide_ = 0;
    std::vector<Glow> glows_;
    TextContext text_;
    TextLine marquee_;
    TextLine badge_;
    TextLine counter_;
    double marqueeWidth_ = 0;
};

}  // namespace kelvora
