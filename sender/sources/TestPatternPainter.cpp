#include "sender/sources/TestPatternPainter.h"

#include "core/TestPatternTimecode.h"

#include <cairo.h>
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>
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

// The rows a rectangle from y = top to y = bottom (y growing downwards) touches, with a row to spare on
// either side for antialiasing, within a picture `height` rows high.
TestPatternPainter::Band rowsOf(double top, double bottom, int height) {
    const int first = std::clamp(static_cast<int>(std::floor(top)) - 1, 0, height);
    const int last = std::clamp(static_cast<int>(std::ceil(bottom)) + 1, first, height);
    return {first, last};
}

// A line of text centred on `centreY`: its ink is at most an em high (ascent and descent of the font), so
// three quarters of the size either way holds it; it is clipped to that, so it can never reach further.
TestPatternPainter::Band textRows(double centreY, double pixelSize, int height) {
    const double half = 0.75 * pixelSize + 2;
    return rowsOf(centreY - half, centreY + half, height);
}

bool overlap(TestPatternPainter::Band a, TestPatternPainter::Band b) {
    return a.top < b.bottom && b.top < a.bottom;
}

void clipTo(cairo_t* cr, double width, TestPatternPainter::Band band) {
    cairo_rectangle(cr, 0, band.top, width, band.bottom - band.top);
    cairo_clip(cr);
}

// The marker's and squares' heights and centres, and the text centres, as fractions of the height from the
// bottom edge.
constexpr double markerBottom = 0.18;
constexpr double markerHeight = 0.06;
constexpr double squaresBottom = 0.27;
constexpr double clockCentre = 0.52;
constexpr double infoCentre = 0.38;
constexpr double titleCentre = 0.1;

}  // namespace

TestPatternPainter::TestPatternPainter(VideoDimensions dimensions, int frameRate)
    : dimensions_(dimensions),
      frameRate_(std::max(frameRate, 1)),
      clock_(text_.get(), style(190 * scaleFor(dimensions), PANGO_WEIGHT_SEMIBOLD, true, 1.0)),
      info_(text_.get(), style(40 * scaleFor(dimensions), PANGO_WEIGHT_NORMAL, true, 0.75)),
      title_(text_.get(), style(46 * scaleFor(dimensions), PANGO_WEIGHT_BOLD, false, 0.9)) {
    title_.setText("Kelvora · Testbild");
    const int height = dimensions.height;
    const double H = height;
    const double s = scaleFor(dimensions);
    markerBand_ = rowsOf(H - (markerBottom + markerHeight) * H, H - markerBottom * H, height);
    const double cell = std::min((dimensions.width - 120 * s) / frameRate_, 28 * s);
    squaresBand_ =
        cell > 4 ? rowsOf(H - squaresBottom * H - (cell - 4), H - squaresBottom * H, height) : Band{};
    clockBand_ = textRows(H - clockCentre * H, std::max(190 * s, 1.0), height);
    infoBand_ = textRows(H - infoCentre * H, std::max(40 * s, 1.0), height);
    titleBand_ = textRows(H - titleCentre * H, std::max(46 * s, 1.0), height);
    layered_ = !overlap(titleBand_, markerBand_) && !overlap(titleBand_, squaresBand_) &&
               !overlap(titleBand_, clockBand_) && !overlap(titleBand_, infoBand_);
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

void TestPatternPainter::draw(const PixelBuffer& picture, const Frame& frame, Contents contents) {
    const int width = dimensions_.width;
    const int height = dimensions_.height;
    if (!picture || picture.format() != PixelFormat::bgra || picture.width() != width ||
        picture.height() != height) {
        return;
    }
    if (layered_ && !static_) {
        static_ = PixelBuffer::make(PixelFormat::bgra, width, height);
        cairo_surface_t* surface = cairo_image_surface_create_for_data(static_.data(0), CAIRO_FORMAT_ARGB32,
                                                                       width, height, static_.stride(0));
        cairo_t* cr = cairo_create(surface);
        drawBackground(cr);
        drawTitle(cr);
        cairo_destroy(cr);
        cairo_surface_flush(surface);
        cairo_surface_destroy(surface);
        // The first picture: no buffer can hold an earlier one.
        contents = Contents::unknown;
    }
    if (layered_) {
        if (contents == Contents::earlierPicture) {
            // The strip is left out: it is written whole below.
            for (Band band : {markerBand_, squaresBand_, clockBand_, infoBand_}) {
                copyStaticRows(picture, band);
            }
        } else {
            copyStaticRows(picture, Band{0, height});
        }
    }

    cairo_surface_t* surface = cairo_image_surface_create_for_data(picture.data(0), CAIRO_FORMAT_ARGB32,
                                                                   width, height, picture.stride(0));
    cairo_t* cr = cairo_create(surface);
    if (!layered_) {
        drawBackground(cr);
    }
    drawMoving(cr, frame);
    if (!layered_) {
        drawTitle(cr);
    }
    cairo_destroy(cr);
    cairo_surface_flush(surface);
    cairo_surface_destroy(surface);

    // Last, so that nothing covers the strip the viewer reads the capture time from.
    TestPatternTimecode::write(picture, frame.captureTime);
}

void TestPatternPainter::drawBackground(cairo_t* cr) const {
    const double W = dimensions_.width;
    const double H = dimensions_.height;

    // Dark at the bottom, lighter at the top. It replaces every pixel instead of blending over what the
    // buffer held before.
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
}

void TestPatternPainter::drawTitle(cairo_t* cr) const {
    const double W = dimensions_.width;
    const double H = dimensions_.height;
    cairo_save(cr);
    clipTo(cr, W, titleBand_);
    title_.drawCentred(cr, W / 2, H - titleCentre * H);
    cairo_restore(cr);
}

void TestPatternPainter::drawMoving(cairo_t* cr, const Frame& frame) {
    const double W = dimensions_.width;
    const double H = dimensions_.height;
    const double s = scaleFor(dimensions_);

    // The marker crosses the picture once every two seconds at the nominal rate.
    const uint64_t period = 2 * static_cast<uint64_t>(frameRate_);
    const double phase = static_cast<double>(frame.frameCounter % period) / static_cast<double>(period);
    cairo_save(cr);
    clipTo(cr, W, markerBand_);
    cairo_set_source_rgba(cr, 1.0, 0.62, 0.04, 1);
    fillRect(cr, H, (W - 24 * s) * phase, markerBottom * H, 24 * s, markerHeight * H);
    cairo_restore(cr);

    // One square per frame of a second; the one of this frame lights up. A picture too narrow for the row
    // shows no squares rather than squares of negative size.
    const double cell = std::min((W - 120 * s) / frameRate_, 28 * s);
    if (cell > 4) {
        cairo_save(cr);
        clipTo(cr, W, squaresBand_);
        const uint64_t lit = frame.frameCounter % static_cast<uint64_t>(frameRate_);
        const double left = (W - cell * frameRate_) / 2;
        for (int i = 0; i < frameRate_; ++i) {
            if (static_cast<uint64_t>(i) == lit) {
                cairo_set_source_rgba(cr, 0.2, 0.9, 0.45, 1);
            } else {
                cairo_set_source_rgba(cr, 1, 1, 1, 0.12);
            }
            fillRect(cr, H, left + cell * i + 2, squaresBottom * H, cell - 4, cell - 4);
        }
        cairo_restore(cr);
    }

    cairo_save(cr);
    clipTo(cr, W, clockBand_);
    clock_.setText(frame.clockText);
    clock_.drawCentred(cr, W / 2, H - clockCentre * H);
    cairo_restore(cr);

    cairo_save(cr);
    clipTo(cr, W, infoBand_);
    info_.setText(fmt::format("Frame {}   ·   t = {:.0f} ms   ·   {} @ {} fps", frame.frameCounter,
                              frame.millisecondsSinceStart, dimensions_.description(), frameRate_));
    info_.drawCentred(cr, W / 2, H - infoCentre * H);
    cairo_restore(cr);
}

void TestPatternPainter::copyStaticRows(const PixelBuffer& picture, Band band) const {
    const size_t rowBytes = static_cast<size_t>(dimensions_.width) * 4;
    for (int row = band.top; row < band.bottom; ++row) {
        std::memcpy(picture.data(0) + static_cast<size_t>(row) * static_cast<size_t>(picture.stride(0)),
                    static_.data(0) + static_cast<size_t>(row) * static_cast<size_t>(static_.stride(0)),
                    rowBytes);
    }
}

}  // namespace kelvora
