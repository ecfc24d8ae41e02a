#include "sender/sources/TextLine.h"

#include <pango/pangocairo.h>

namespace kelvora {

TextContext::TextContext() {
    fontMap_ = pango_cairo_font_map_new();
    context_ = pango_font_map_create_context(fontMap_);
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(context_, options);
    cairo_font_options_destroy(options);
    pango_context_set_round_glyph_positions(context_, FALSE);
}

TextContext::~TextContext() {
    g_object_unref(context_);
    g_object_unref(fontMap_);
}

TextLine::TextLine(PangoContext* context, const Style& style) : style_(style) {
    layout_ = pango_layout_new(context);
    PangoFontDescription* font = pango_font_description_new();
    pango_font_description_set_family(font, "DejaVu Sans");
    pango_font_description_set_weight(font, style.weight);
    pango_font_description_set_absolute_size(font, style.pixelSize * PANGO_SCALE);
    pango_layout_set_font_description(layout_, font);
    pango_font_description_free(font);
    if (style.monospacedDigits) {
        PangoAttrList* attributes = pango_attr_list_new();
        pango_attr_list_insert(attributes, pango_attr_font_features_new("tnum"));
        pango_layout_set_attributes(layout_, attributes);
        pango_attr_list_unref(attributes);
    }
    pango_layout_set_single_paragraph_mode(layout_, TRUE);
}

TextLine::~TextLine() {
    g_object_unref(layout_);
}

void TextLine::setText(std::string_view text) {
    if (text == text_) {
        return;
    }
    text_.assign(text);
    pango_layout_set_text(layout_, text_.data(), static_cast<int>(text_.size()));
}

double TextLine::width() const {
    PangoRectangle logical{};
    pango_layout_get_extents(layout_, nullptr, &logical);
    return static_cast<double>(logical.width) / PANGO_SCALE;
}

void TextLine::drawCentred(cairo_t* cr, double centreX, double centreY) const {
    PangoRectangle ink{};
    pango_layout_get_extents(layout_, &ink, nullptr);
    const double inkCentreX = (ink.x + ink.width / 2.0) / PANGO_SCALE;
    const double inkCentreY = (ink.y + ink.height / 2.0) / PANGO_SCALE;
    show(cr, centreX - inkCentreX, centreY - inkCentreY);
}

void TextLine::drawAtBaseline(cairo_t* cr, double x, double baselineY) const {
    const double baseline = static_cast<double>(pango_layout_get_baseline(layout_)) / PANGO_SCALE;
    show(cr, x, baselineY - baseline);
}

void TextLine::show(cairo_t* cr, double left, double top) const {
    // The layout was made on our own context; tell it the surface's transformation before drawing.
    pango_cairo_update_layout(cr, layout_);
    cairo_set_source_rgba(cr, style_.red, style_.green, style_.blue, style_.alpha);
    cairo_move_to(cr, left, top);
    pango_cairo_show_layout(cr, layout_);
}

}  // namespace kelvora
