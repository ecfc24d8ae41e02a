#pragma once

#include <QtQml/qqmlregistration.h>
#include <QColor>
#include <QObject>

#include "receiver/session/presenters/ColorToken.h"

namespace kelvora {

// The colours of both programs, light and dark. The appearance follows the application palette (a dark
// window colour means dark); presenters name colours by token and views resolve them here.
class Theme : public QObject {
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(bool dark READ dark WRITE setDark NOTIFY changed)
    Q_PROPERTY(QColor liveRed READ liveRed CONSTANT)
    Q_PROPERTY(QColor cardBackground READ cardBackground NOTIFY changed)
    Q_PROPERTY(QColor windowBackground READ windowBackground NOTIFY changed)
    Q_PROPERTY(QColor hairline READ hairline NOTIFY changed)
    Q_PROPERTY(QColor primaryText READ primaryText NOTIFY changed)
    Q_PROPERTY(QColor secondaryText READ secondaryText NOTIFY changed)
    Q_PROPERTY(QColor tint READ tint NOTIFY changed)
    Q_PROPERTY(QString fontFamily READ fontFamily CONSTANT)
    Q_PROPERTY(QString monospaceFontFamily READ monospaceFontFamily CONSTANT)

  public:
    explicit Theme(QObject* parent = nullptr);

    bool dark() const { return dark_; }
    // Overrides the palette's choice until the palette changes again.
    void setDark(bool dark);

    // sRGB 0.94, 0.23, 0.21.
    static QColor liveRed() { return QColor(240, 59, 54); }
    QColor cardBackground() const;
    QColor windowBackground() const;
    QColor hairline() const;
    QColor primaryText() const;
    QColor secondaryText() const;
    QColor tint() const { return color(ColorToken::blue); }
    static QString fontFamily() { return QStringLiteral("DejaVu Sans"); }
    static QString monospaceFontFamily() { return QStringLiteral("DejaVu Sans Mono"); }

    QColor color(ColorToken token) const;
    // The colour of a token name a presenter gave ("liveRed"); an unknown name gives gray.
    Q_INVOKABLE QColor color(const QString& token) const;

  signals:
    void changed();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void followPalette();

    bool dark_ = false;
};

}  // namespace kelvora
