#include "sender/sources/TestPatternPainter.h"

#include "core/TestPatternTimecode.h"

#include <cairo.h>
#include <fmt/format.h>

#include <algorithm>
#include <ctime>

namespace kelvora {

namespace {

// Picture heights scale every size so that the picture looks the same at any resolution; 1080 is the
// reference.
double scaleFor(VideoDimensions dimensions) {
    return dimensions.height / 1080.0;
}

TextLine::Style style(double pixelSize, PangoWeight weight, bool monospacedDigits, double alpha) {
    TextLine::Style s;
    s.pixelSize = std::max(pixelSize, 1.0);
    s.weight = weight;
    s.monospacedDigits = monospacedDigits;
    s.alpha = alpha;
    return s;
}

// The geometry below is laid out with y growing upwards from the bottom edge; Cairo's y grows downwards.
// A rectangle given by its lower-left corner becomes one given by its upper-left corner.
void fillRect(cairo_t* cr, double height, double x, double y, double width, double rectHeight) {
    cairo_rectangle(cr, x, height - y - rectHeight, width, rectHeight);
    cairo_fill(cr);
}

}  // namespace

TestPatternPainter::TestPatternPainter(VideoDimensions dimensions, int frameRate)
    : dimensions_(dimensions),
      frameRate_(std::max(frameRate, 1)),
      clock_(text_.get(), style(190 * scaleFor(dimensions), PANGO_WEIGHT_SEMIBOLD, true, 1.0)),
      info_(text_.get(), style(40 * scaleFor(dimensions), PANGO_WEIGHT_NORMAL, true, 0.75)),
      title_(text_.get(), style(46 * scaleFor(dimensions), PANGO_WEIGHT_BOLD, false, 0.9)) {
    title_.setText("Kelvora · Testbild");
}

std::string TestPatternPainter::clockText(std::chrono::system_clock::time_point time) {
    const auto sinceEpoch = time.time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(sinceEpoch);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch - seconds).count();
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm local{};
    localtime_r(&whole, &local);
    return fmt::format("{:02}:{:02}:{:02}.{:03}", local.tm_hour, local.tm_min, local.tm_sec, millis);
}

void TestPatternPainter::draw(const PixelBuffer& picture, const Frame& frame) {
    const int width = dimensions_.width;
    const int height = dimensions_.height;
    if (!picture || picture.format() != PixelFormat::bgra || picture.width() != width ||
        picture.height() != height) {
        return;
    }
    const double W = width;
    const double H = height;
    const double s = scaleFor(dimensions_);

    cairo_surface_t* surface = cairo_image_surface_create_for_data(picture.data(0), CAIRO_FORMAT_ARGB32,
                                                                   width, height, picture.stride(0));
    cairo_t* cr = cairo_create(surface);

    // Background: dark at the bottom, lighter at the top. The pool hands out buffers with old content, so
    // the gradient replaces every pixel instead of blending over it.
    cairo_pattern_t* background = cairo_pattern_create_linear(0, H, 0, 0);
    cairo_pattern_add_color_stop_rgba(background, 0, 0.05, 0.07, 0.12, 1);
    cairo_pattern_add_color_stop_rgba(background, 1, 0.11, 0.13, 0.22, 1);
    cairo_pattern_set_extend(background, CAIRO_EXTEND_PAD);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source(cr, background);
    cairo_paint(cr);
    cairo_pattern_destroy(background);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);

    // Colour bars at 75 %, each one unit wider than a seventh so that neighbours leave no seam.
    static constexpr double bars[7][3] = {{0.75, 0.75, 0.75}, {0.75, 0.75, 0}, {0, 0.75, 0.75}, {0, 0.75, 0},
                                          {0.75, 0, 0.75},    {0.75, 0, 0},    {0, 0, 0.75}};
    for (int i = 0; i < 7; ++i) {
        cairo_set_source_rgba(cr, bars[i][0], bars[i][1], bars[i][2], 1);
        fillRect(cr, H, i * W / 7, H - 0.16 * H, W / 7 + 1, 0.16 * H);
    }

    // The marker crosses the picture once every two seconds at the nominal rate.
    const uint64_t period = 2 * static_cast<uint64_t>(frameRate_);
    const double phase = static_cast<double>(frame.frameCounter % period) / static_cast<double>(period);
    cairo_set_source_rgba(cr, 1.0, 0.62, 0.04, 1);
    fillRect(cr, H, (W - 24 * s) * phase, 0.18 * H, 24 * s, 0.06 * H);

    // One square per frame of a second; the one of this frame lights up. A picture too narrow for the row
    // shows no squares rather than squares of negative size.
    const double cell = std::min((W - 120 * s) / frameRate_, 28 * s);
    if (cell > 4) {
        const uint64_t lit = frame.frameCounter % static_cast<uint64_t>(frameRate_);
        const double left = (W - cell * frameRate_) / 2;
        for (int i = 0; i < frameRate_; ++i) {
            if (static_cast<uint64_t>(i) == lit) {
                cairo_set_source_rgba(cr, 0.2, 0.9, 0.45, 1);
            } else {
                cairo_set_source_rgba(cr, 1, 1, 1, 0.12);
            }
            fillRect(cr, H, left + cell * i + 2, 0.27 * H, cell - 4, cell - 4);
        }
    }

    clock_.setText(frame.clockText);
    clock_.drawCentred(cr, W / 2, H - 0.52 * H);

    info_.setText(fmt::format("Frame {}   ·   t = {:.0f} ms   ·   {} @ {} fps", frame.frameCounter,
                              frame.millisecondsSinceStart, dimensions_.description(), frameRate_));
    info_.drawCentred(cr, W / 2, H - 0.38 * H);

    title_.drawCentred(cr, W / 2, H - 0.1 * H);

    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);

    // Last, so that nothing covers the strip the viewer reads the capture time from.
    TestPatternTimecode::write(picture, frame.captureTime);
}

}  // namespace kelvora
