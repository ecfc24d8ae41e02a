#include "app/shell/TrayPanelPlacement.h"

#include <QGuiApplication>
#include <QQuickWindow>
#include <QScreen>

#include <utility>

#include <gtest/gtest.h>

namespace kelvora {
namespace {

// The panel opens beside its icon, never over it, and wholly within the screen's free area: under a tray
// at the top whether or not the tray host reserves its strip, above one at the bottom, and kept on a small
// screen.
TEST(TrayPanelPlacement, OpensBesideTheIconWithinTheFreeArea) {
    const QSize panel(330, 553);
    const struct {
        const char* name;
        QRect icon, area;
        QPoint expected;
    } cases[] = {
        {"top tray, strip reserved", {1576, 0, 24, 24}, {0, 24, 1600, 976}, {1270, 28}},
        {"top tray, nothing reserved", {1576, 0, 24, 24}, {0, 0, 1600, 1000}, {1270, 28}},
        {"bottom tray", {800, 976, 24, 24}, {0, 0, 1600, 976}, {646, 419}},
        {"left end of a top tray", {0, 0, 24, 24}, {0, 0, 1280, 800}, {0, 28}},
        {"tray at the right edge, low down", {1256, 700, 24, 24}, {0, 0, 1280, 800}, {950, 143}},
    };
    for (const auto& c : cases) {
        const QPoint at = trayPanelPosition(panel, c.icon, c.area);
        const QRect placed(at, panel);
        EXPECT_EQ(std::pair(at.x(), at.y()), std::pair(c.expected.x(), c.expected.y())) << c.name;
        EXPECT_TRUE(c.area.contains(placed)) << c.name;
        EXPECT_FALSE(placed.intersects(c.icon)) << c.name;
    }
}

// The panel learns its full height only after it has laid out: it grows upwards from a tray at the bottom
// and shrinks back, keeping its gap to the icon.
TEST(TrayPanelPlacement, PlacedAgainWhenItsHeightChanges) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect icon(area.center().x(), area.bottom() - 23, 24, 24);
    QQuickWindow panel;
    panel.resize(330, 200);
    TrayPanelPlacement::place(panel, icon);
    EXPECT_EQ(panel.y(), icon.top() - 4 - 200);
    for (int height : {300, 120}) {
        panel.setHeight(height);
        EXPECT_EQ(panel.y(), icon.top() - 4 - height) << height;
    }
}

}  // namespace
}  // namespace kelvora
