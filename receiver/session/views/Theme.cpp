#include "receiver/session/views/Theme.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPalette>

#include <array>

namespace kelvora {
namespace {

struct Pair {
    QRgb light;
    QRgb dark;
};

Pair tokenPair(ColorToken token) {
    switch (token) {
        case ColorToken::gray:
            return {0xff8e8e93, 0xff98989d};
        case ColorToken::orange:
            return {0xffff9500, 0xffff9f0a};
        case ColorToken::red:
            return {0xffff3b30, 0xffff453a};
        case ColorToken::liveRed:
            return {Theme::liveRed().rgba(), Theme::liveRed().rgba()};
        case ColorToken::green:
            return {0xff34c759, 0xff30d158};
        case ColorToken::blue:
            return {0xff007aff, 0xff0a84ff};
        case ColorToken::purple:
            return {0xffaf52de, 0xffbf5af2};
        case ColorToken::yellow:
            return {0xffffcc00, 0xffffd60a};
    }
    return {0xff8e8e93, 0xff98989d};
}

constexpr std::array kTokens = {ColorToken::gray,    ColorToken::orange, ColorToken::red,
                                ColorToken::liveRed, ColorToken::green,  ColorToken::blue,
                                ColorToken::purple,  ColorToken::yellow};

}  // namespace

Theme::Theme(QObject* parent) : QObject(parent) {
    if (QCoreApplication::instance()) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    followPalette();
}

void Theme::setDark(bool dark) {
    if (dark_ != dark) {
        dark_ = dark;
        emit changed();
    }
}

bool Theme::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QCoreApplication::instance() && event->type() == QEvent::ApplicationPaletteChange) {
        followPalette();
    }
    return QObject::eventFilter(watched, event);
}

void Theme::followPalette() {
    if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        setDark(QGuiApplication::palette().color(QPalette::Window).lightness() < 128);
    }
}

QColor Theme::cardBackground() const {
    return dark_ ? QColor(0x1e, 0x1e, 0x1e) : QColor(0xff, 0xff, 0xff);
}

QColor Theme::windowBackground() const {
    return dark_ ? QColor(0x26, 0x26, 0x26) : QColor(0xec, 0xec, 0xec);
}

QColor Theme::hairline() const {
    QColor color = dark_ ? QColor(255, 255, 255) : QColor(0, 0, 0);
    color.setAlphaF(0.08f);
    return color;
}

QColor Theme::primaryText() const {
    QColor color = dark_ ? QColor(255, 255, 255) : QColor(0, 0, 0);
    color.setAlphaF(0.85f);
    return color;
}

QColor Theme::secondaryText() const {
    QColor color = dark_ ? QColor(255, 255, 255) : QColor(0, 0, 0);
    color.setAlphaF(dark_ ? 0.55f : 0.5f);
    return color;
}

QColor Theme::color(ColorToken token) const {
    const Pair pair = tokenPair(token);
    return QColor::fromRgba(dark_ ? pair.dark : pair.light);
}

QColor Theme::color(const QString& token) const {
    for (ColorToken candidate : kTokens) {
        if (token == QLatin1String(colorTokenName(candidate).data(), colorTokenName(candidate).size())) {
            return color(candidate);
        }
    }
    return color(ColorToken::gray);
}

}  // namespace kelvora
