#include "sender/sources/SampleVideoPainter.h"

#include "sender/sources/ScreenBlend.h"

#include <cairo.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <numbers>
#include <string>

namespace kelvora {

namespace {

TextLine::Style style(double pixelSize, PangoWeight weight, bool monospacedDigits, double alpha) {
    TextLine::Style s;
    s.pixelSize = pixelSize;
    s.weight = weight;
    s.monospacedDigits = monospacedDigits;
    s.alpha = alpha;
    return s;
}

struct Blob {
    double red, green, blue, speed, phase;
};

constexpr Blob blobs[] = {
    {1.0, 0.35, 0.2, 1.0, 0.0},
    {0.2, 0.55, 1.0, 2.0, 0.33},
    {0.9, 0.2, 0.9, 1.0, 0.66},
    {0.3, 1.0, 0.5, 3.0, 0.15},
};

}  // namespace

SampleVideoPainter::SampleVideoPainter(VideoDimensions dimensions)
    : dimensions_(dimensions),
      marquee_(text_.get(), style(44, PANGO_WEIGHT_SEMIBOLD, false, 1.0)),
      badge_(text_.get(), style(54, PANGO_WEIGHT_BOLD, false, 1.0)),
      counter_(text_.get(), style(32, PANGO_WEIGHT_NORMAL, true, 0.7)) {
    marquee_.setText(marqueeText);
    marqueeWidth_ = marquee_.width();
    // Two copies in a row: while the first scrolls out on the left the second fills the band.
    marquee_.setText(std::string(marqueeText) + marqueeText);
    badge_.setText("LIVE · Beispielvideo");

    glowRadius_ = static_cast<int>(std::lround(0.45 * dimensions.height));
    glowSide_ = 2 * glowRadius_ + 1;
    const size_t side = static_cast<size_t>(glowSide_);
    for (const Blob& blob : blobs) {
        Glow glow;
        glow.bgra.resize(side * side * 4);
        const double colour[4] = {blob.blue, blob.green, blob.red, 1.0};
        for (size_t y = 0; y < side; ++y) {
            for (size_t x = 0; x < side; ++x) {
                const double distance =
                    std::hypot(static_cast<double>(x) - glowRadius_, static_cast<double>(y) - glowRadius_) /
                    std::max(glowRadius_, 1);
                const double coverage = std::max(0.0, 0.85 * (1 - distance));
                uint8_t* pixel = glow.bgra.data() + (y * side + x) * 4;
                for (int channel = 0; channel < 4; ++channel) {
                    pixel[channel] = static_cast<uint8_t>(std::lround(colour[channel] * coverage * 255));
                }
            }
        }
        glows_.push_back(std::move(glow));
    }
}

void SampleVideoPainter::addGlow(uint8_t* bgra, int bytesPerRow, const Glow& glow, double centreX,
                                 double centreY) const {
    const int left = static_cast<int>(std::lround(centreX)) - glowRadius_;
    const int top = static_cast<int>(std::lround(centreY)) - glowRadius_;
    const int firstX = std::max(0, -left);
    const int lastX = std::min(glowSide_, dimensions_.width - left);
    const int firstY = std::max(0, -top);
    const int lastY = std::min(glowSide_, dimensions_.height - top);
    if (firstX >= lastX) {
        return;
    }
    for (int y = firstY; y < lastY; ++y) {
        const uint8_t* source =
            glow.bgra.data() +
            (static_cast<size_t>(y) * static_cast<size_t>(glowSide_) + static_cast<size_t>(firstX)) * 4;
        uint8_t* destination =
            bgra + static_cast<ptrdiff_t>(top + y) * bytesPerRow + static_cast<ptrdiff_t>(left + firstX) * 4;
        screenBlend(destination, source, static_cast<size_t>(lastX - firstX) * 4);
    }
}

void SampleVideoPainter::draw(uint8_t* bgra, int bytesPerRow, int index, int total) {
    const int width = dimensions_.width;
    const int height = dimensions_.height;
    if (width <= 0 || height <= 0 || total <= 0) {
        return;
    }
    const double w = width;
    const double h = height;
    const double p = static_cast<double>(index) / total;
    const double t = 2 * std::numbers::pi * p;

    cairo_surface_t* surface =
        cairo_image_surface_create_for_data(bgra, CAIRO_FORMAT_ARGB32, width, height, bytesPerRow);
    cairo_t* cr = cairo_create(surface);

    // Positions below are worked out with y growing upwards from the bottom edge and flipped (h - y) where
    // they meet Cairo, whose y grows downwards.
    cairo_pattern_t* background = cairo_pattern_create_linear(0, h, 0, 0);
    cairo_pattern_add_color_stop_rgba(background, 0, 0.02, 0.02, 0.06, 1);
    cairo_pattern_add_color_stop_rgba(background, 1, 0.1, 0.05, 0.18, 1);
    cairo_pattern_set_extend(background, CAIRO_EXTEND_PAD);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source(cr, background);
    cairo_paint(cr);
    cairo_pattern_destroy(background);

    // Glowing blobs. Cairo draws a screen-blended radial gradient pixel by pixel in floating point, which
    // costs more than a whole frame's budget at 1080p; the disc is the same for every blob and frame, so it
    // is made once and blended here with whole-pixel placement.
    cairo_surface_flush(surface);
    for (size_t i = 0; i < std::size(blobs); ++i) {
        const double s = p * blobs[i].speed;
        const double centreX = (std::sin(2 * std::numbers::pi * (blobs[i].phase + s)) * 0.38 + 0.5) * w;
        const double centreY =
            h - (std::cos(2 * std::numbers::pi * (blobs[i].phase + 2 * s)) * 0.2 + 0.45) * h;
        addGlow(bgra, bytesPerRow, glows_[i], centreX, centreY);
    }
    cairo_surface_mark_dirty(surface);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);

    // Rain: 240 thin lines along the bottom that lean back and forth twice per clip.
    const double lean = std::sin(2 * t) * 40;
    cairo_set_source_rgba(cr, 1, 1, 1, 0.18);
    cairo_set_line_width(cr, 1);
    for (int x = 0; x < width; x += 8) {
        cairo_move_to(cr, x, h);
        cairo_line_to(cr, x + lean, h - 0.18 * h);
    }
    cairo_stroke(cr);

    // The ball: its bounding square's lower-left corner moves, the circle sits 40 pixels in from it.
    const double ballLeft = (std::sin(4 * t) * 0.42 + 0.5) * w - 40;
    const double ballBottom = (std::abs(std::sin(6 * t)) * 0.25 + 0.55) * h - 40;
    cairo_set_source_rgba(cr, 1.0, 0.85, 0.2, 1);
    cairo_arc(cr, ballLeft + 40, h - (ballBottom + 40), 40, 0, 2 * std::numbers::pi);
    cairo_fill(cr);

    // Marquee band and text: the text moves left by one copy's width over the whole clip.
    cairo_set_source_rgba(cr, 0, 0, 0, 0.6);
    cairo_rectangle(cr, 0, h - 0.08 * h - 90, w, 90);
    cairo_fill(cr);
    marquee_.drawAtBaseline(cr, -marqueeWidth_ * p, h - (0.08 * h + 28));

    badge_.drawAtBaseline(cr, 70, 120);

    counter_.setText(fmt::format("Bild {:03} / {}", index + 1, total));
    counter_.drawAtBaseline(cr, 70, 170);

    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);
}

}  // namespace kelvora
