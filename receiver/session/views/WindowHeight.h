#pragma once

#include <QtQml/qqmlregistration.h>
#include <QDeadlineTimer>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QQuickWindow>

namespace kelvora {

// The screen's free area is what its panels leave (QScreen::availableGeometry). This is where a frame at
// `frame` goes to lie within `area`, moved as little as possible; a frame larger than the area keeps its
// top-left corner inside it.
QPoint placedWithin(const QRect& frame, const QRect& area);

// The height rule of a window. While `fitsContent` is on the window is exactly as high as its content asks
// (`contentHeight`, the client area), capped where the free area of its screen ends, and the user cannot
// change it; the content scrolls past the cap. While it is off the user sizes the window freely from
// `freeMinimumHeight` up, and it starts at `freeHeight`; both give way where the screen's free area is
// lower, so that the window with its frame never reaches under a panel or past the screen's edge.
//
// Window managers clamp a resize to the size limits they last saw, and Qt clamps a window to new limits at
// once; bound one by one, height and limits would race. So all three change here in one order that never
// asks for a height outside the limits in force: widen the limits, resize, then narrow them.
class WindowHeight : public QObject {
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QQuickWindow* window READ window WRITE setWindow NOTIFY windowChanged)
    Q_PROPERTY(qreal contentHeight READ contentHeight WRITE setContentHeight NOTIFY contentHeightChanged)
    Q_PROPERTY(bool fitsContent READ fitsContent WRITE setFitsContent NOTIFY fitsContentChanged)
    Q_PROPERTY(int freeMinimumHeight MEMBER freeMinimumHeight_ NOTIFY freeHeightsChanged)
    Q_PROPERTY(int freeHeight MEMBER freeHeight_ NOTIFY freeHeightsChanged)

  public:
    explicit WindowHeight(QObject* parent = nullptr);

    QQuickWindow* window() const { return window_; }
    void setWindow(QQuickWindow* window);
    qreal contentHeight() const { return contentHeight_; }
    void setContentHeight(qreal height);
    bool fitsContent() const { return fitsContent_; }
    void setFitsContent(bool fits);

  signals:
    void windowChanged();
    void contentHeightChanged();
    void fitsContentChanged();
    void freeHeightsChanged();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void apply();
    void fit();
    void watchScreen();
    // The tallest client area the window's screen leaves room for, its frame counted.
    int availableHeight() const;
    // Brings a window that the window manager framed or placed past its screen's free area back within it:
    // under the free rule a little lower, and with its frame moved into the area. Returns whether it had
    // to change anything.
    bool placeWithinFreeArea();

    QPointer<QQuickWindow> window_;
    QMetaObject::Connection screenConnection_;
    qreal contentHeight_ = 0;
    bool fitsContent_ = true;
    // Whether the free rule is in force already: its starting height is given only when it begins.
    bool free_ = false;
    // A new starting height (the first showing, a change of rule) waits for the window manager's answer:
    // from the first exposure after it, for a while, every move and resize is checked against the free
    // area, with a bounded number of corrections, so that a manager that insists on its own place is not
    // fought for ever.
    bool placementPending_ = false;
    QDeadlineTimer placementUntil_;
    int placementCorrections_ = 0;
    int freeMinimumHeight_ = 0;
    int freeHeight_ = 0;
};

}  // namespace kelvora
