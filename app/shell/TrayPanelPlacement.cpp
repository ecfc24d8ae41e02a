#include "app/shell/TrayPanelPlacement.h"

#include <QGuiApplication>
#include <QQuickWindow>
#include <QScreen>

#include <algorithm>

#include "receiver/session/views/WindowHeight.h"

namespace kelvora {
namespace {

// Between the icon and the panel, as a menu leaves.
constexpr int kGap = 4;

}  // namespace

QPoint trayPanelPosition(const QSize& panel, const QRect& icon, const QRect& area) {
    const int below = icon.bottom() + 1 + kGap;
    const int above = icon.top() - kGap - panel.height();
    const int roomBelow = area.bottom() + 1 - std::max(below, area.top());
    const int roomAbove = std::min(icon.top() - kGap, area.bottom() + 1) - area.top();
    const bool goesBelow = roomBelow >= panel.height() || roomBelow >= roomAbove;
    const QRect wanted(QPoint(icon.center().x() - panel.width() / 2, goesBelow ? below : above), panel);
    return placedWithin(wanted, area);
}

TrayPanelPlacement::TrayPanelPlacement(QQuickWindow& panel) : QObject(&panel), panel_(panel) {
    connect(&panel, &QWindow::heightChanged, this, &TrayPanelPlacement::apply);
}

void TrayPanelPlacement::place(QQuickWindow& panel, const QRect& icon) {
    auto* placement = panel.findChild<TrayPanelPlacement*>(QString(), Qt::FindDirectChildrenOnly);
    if (placement == nullptr) {
        placement = new TrayPanelPlacement(panel);
    }
    placement->icon_ = icon;
    placement->apply();
}

void TrayPanelPlacement::apply() {
    const QScreen* screen = QGuiApplication::screenAt(icon_.center());
    if (screen == nullptr) {
        screen = panel_.screen();
    }
    // Frameless: the panel's frame is the panel.
    const QRect area = screen ? screen->availableGeometry() : QRect(icon_.topLeft(), panel_.size());
    panel_.setPosition(trayPanelPosition(panel_.size(), icon_, area));
}

}  // namespace kelvora
