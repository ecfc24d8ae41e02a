#pragma once

#include <QColor>
#include <QQuickImageProvider>

namespace kelvora {

// Draws symbols for QML: "image://symbol/<name>/<rrggbb>" gives the icon of a symbol name tinted in that
// colour; an unknown name gives the fallback glyph, so a wrong name is visible. Sizes are bounded.
class SymbolProvider : public QQuickImageProvider {
  public:
    SymbolProvider();

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

    // The resource file of a symbol name, or of the fallback glyph for a name without one.
    static QString resourceFor(QStringView name);
    static QString fallbackResource();
    // The image itself, for tests and for C++ users (tray icons).
    static QImage render(QStringView name, const QColor& color, QSize size);
};

}  // namespace kelvora
