#include "receiver/session/views/SymbolProvider.h"

#include <QPainter>
#include <QSvgRenderer>

#include "receiver/session/presenters/Symbols.h"

namespace kelvora {
namespace {

constexpr int kDefaultSide = 24;
constexpr int kLargestSide = 512;

}  // namespace

SymbolProvider::SymbolProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}

QString SymbolProvider::fallbackResource() {
    return QStringLiteral(":/qt/qml/Kelvora/Ui/icons/fallback.svg");
}

QString SymbolProvider::resourceFor(QStringView name) {
    const QByteArray utf8 = name.toUtf8();
    if (!isKnownSymbol(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())))) {
        return fallbackResource();
    }
    return QStringLiteral(":/qt/qml/Kelvora/Ui/icons/") + name.toString() + QStringLiteral(".svg");
}

QImage SymbolProvider::render(QStringView name, const QColor& color, QSize size) {
    size = size.boundedTo(QSize(kLargestSide, kLargestSide)).expandedTo(QSize(1, 1));
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QSvgRenderer renderer(resourceFor(name));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    // The drawings are black line art: only their coverage counts, the colour comes from the caller.
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    return image;
}

QImage SymbolProvider::requestImage(const QString& id, QSize* size, const QSize& requestedSize) {
    const qsizetype slash = id.lastIndexOf(QLatin1Char('/'));
    const QStringView name = slash < 0 ? QStringView(id) : QStringView(id).left(slash);
    QColor color(Qt::black);
    if (slash >= 0) {
        const QStringView hex = QStringView(id).mid(slash + 1);
        bool hexOnly = hex.size() == 6 || hex.size() == 8;
        for (QChar c : hex) {
            hexOnly = hexOnly && QStringView(u"0123456789abcdefABCDEF").contains(c);
        }
        if (hexOnly) {
            color = QColor(QStringLiteral("#") + hex.toString());
        }
    }
    QSize side(requestedSize.width() > 0 ? requestedSize.width() : kDefaultSide,
               requestedSize.height() > 0 ? requestedSize.height() : kDefaultSide);
    QImage image = render(name, color, side);
    if (size) {
        *size = image.size();
    }
    return image;
}

}  // namespace kelvora
