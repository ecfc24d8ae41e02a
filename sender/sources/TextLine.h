#pragma once

#include <cairo.h>
#include <pango/pango.h>

#include <string>
#include <string_view>

namespace kelvora {

// One line of text drawn with Pango onto a Cairo context, in a fixed font and colour. The layout is kept
// between frames so that only the text changes per picture; glyphs come from fontconfig ("DejaVu Sans").
//
// Not thread-safe: a TextLine (and the Pango context it was made from) belongs to one painter, which draws
// on one thread at a time.
class TextLine {
  public:
    struct Style {
        double pixelSize = 12;
        PangoWeight weight = PANGO_WEIGHT_NORMAL;
        // Digits of equal width, so that running numbers do not make the line jitter.
        bool monospacedDigits = false;
        double red = 1, green = 1, blue = 1, alpha = 1;
    };

    TextLine(PangoContext* context, const Style& style);
    ~TextLine();
    TextLine(const TextLine&) = delete;
    TextLine& operator=(const TextLine&) = delete;

    void setText(std::string_view text);

    // The typographic width of the line in pixels (advance widths, not ink).
    double width() const;

    // Draws the line so that the centre of its inked bounds lies at (centreX, centreY); y grows downwards.
    void drawCentred(cairo_t* cr, double centreX, double centreY) const;
    // Draws the line with its baseline starting at (x, baselineY); y grows downwards.
    void drawAtBaseline(cairo_t* cr, double x, double baselineY) const;

  private:
    void show(cairo_t* cr, double left, double top) const;

    Style style_;
    PangoLayout* layout_ = nullptr;
    std::string text_;
};

// The Pango side of a painter: a private font map and context with layout settings that do not depend on
// the surface (no hinting of metrics, so text widths scale with the font size).
class TextContext {
  public:
    TextContext();
    ~TextContext();
    TextContext(const TextContext&) = delete;
    TextContext& operator=(const TextContext&) = delete;

    PangoContext* get() const { return context_; }

  private:
    PangoFontMap* fontMap_ = nullptr;
    PangoContext* context_ = nullptr;
};

}  // namespace kelvora
