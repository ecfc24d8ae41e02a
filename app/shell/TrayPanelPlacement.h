#pragma once

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QSize>

class QQuickWindow;

namespace kelvora {

// Where the tray panel of `panel` size opens for a click on the tray icon at `icon`: beside the icon and
// never over it, centred on it across, on the side with room for the whole panel (below when both sides
// have), and within the screen's free `area`. A tray host that reserves no room for itself leaves its icon
// inside the free area; the panel still opens beside the icon, not over it.
QPoint trayPanelPosition(const QSize& panel, const QRect& icon, const QRect& area);

// Keeps a tray panel beside its icon: placed when it opens, and again whenever its height changes, since it
// knows its full height only once it has laid out.
class TrayPanelPlacement final : public QObject {
    Q_OBJECT

  public:
    // Places `panel` beside the icon at `icon` on the icon's screen; made once per panel, as its child.
    static void place(QQuickWindow& panel, const QRect& icon);

  private:
    explicit TrayPanelPlacement(QQuickWindow& panel);
    void apply();

    QQuickWindow& panel_;
    QRect icon_;
};

}  // namespace kelvora
