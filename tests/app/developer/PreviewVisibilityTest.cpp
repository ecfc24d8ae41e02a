#include "app/developer/PreviewVisibility.h"

#include <QQuickWindow>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kelvora {
namespace {

// Two windows as the program has them: the main window (whose content is the dashboard or the simple view)
// and the tray panel, each view with its preview host.
struct Screen {
    Screen() : visibility([this](bool shown) { applied.push_back(shown); }) {}

    void show(QQuickWindow& window) { window.show(); }
    void addView(const std::string& name, QQuickWindow& window) {
        auto view = std::make_unique<QQuickItem>(window.contentItem());
        auto* host = new PreviewHost(view.get());
        host->setVisibility(&visibility);
        views[name] = std::move(view);
    }
    void removeView(const std::string& name) { views.erase(name); }

    QQuickWindow main;
    QQuickWindow tray;
    std::map<std::string, std::unique_ptr<QQuickItem>> views;
    std::vector<bool> applied;
    PreviewVisibility visibility;
};

using Step = std::function<void(Screen&)>;

struct Case {
    const char* name;
    std::vector<std::pair<Step, bool>> steps;  // each step and the flag after it
};

const Step showMain = [](Screen& s) { s.main.show(); };
const Step hideMain = [](Screen& s) { s.main.hide(); };
const Step addDashboard = [](Screen& s) { s.addView("dashboard", s.main); };
const Step removeDashboard = [](Screen& s) { s.removeView("dashboard"); };
const Step addSimple = [](Screen& s) { s.addView("simple", s.main); };
const Step removeSimple = [](Screen& s) { s.removeView("simple"); };
const Step minimise = [](Screen& s) { s.main.setWindowStates(Qt::WindowMinimized); };
const Step restore = [](Screen& s) { s.main.setWindowStates(Qt::WindowNoState); };

TEST(PreviewVisibility, FollowsWhatIsShownWhateverOrderViewsComeAndGo) {
    const std::vector<Case> cases = {
        {"new view appears before the old one goes",
         {{showMain, false}, {addDashboard, true}, {addSimple, true}, {removeDashboard, true}}},
        {"old view goes before the new one appears",
         {{showMain, false}, {addSimple, true}, {removeSimple, false}, {addDashboard, true}}},
        {"view built before its window is shown",
         {{addDashboard, false}, {showMain, true}, {hideMain, false}}},
        {"minimised and restored",
         {{showMain, false}, {addDashboard, true}, {minimise, false}, {addSimple, false}, {restore, true}}},
        {"a hidden view does not count",
         {{showMain, false},
          {addDashboard, true},
          {[](Screen& s) { s.views["dashboard"]->setVisible(false); }, false},
          {[](Screen& s) { s.views["dashboard"]->setVisible(true); }, true}}},
        {"tray panel keeps a preview on screen while the main window is closed",
         {{showMain, false},
          {addDashboard, true},
          {[](Screen& s) { s.addView("panel", s.tray); }, true},
          {[](Screen& s) { s.tray.show(); }, true},
          {hideMain, true},
          {[](Screen& s) { s.tray.hide(); }, false}}},
        {"a host moved into a shown window",
         {{showMain, false},
          {[](Screen& s) { s.addView("panel", s.tray); }, false},
          {[](Screen& s) { s.views["panel"]->setParentItem(s.main.contentItem()); }, true}}},
    };
    for (const Case& c : cases) {
        Screen screen;
        ASSERT_EQ(screen.applied, std::vector<bool>{false}) << c.name;
        int index = 0;
        for (const auto& [step, expected] : c.steps) {
            step(screen);
            EXPECT_EQ(screen.visibility.shown(), expected) << c.name << ", step " << index;
            EXPECT_EQ(screen.applied.back(), expected) << c.name << ", step " << index;
            ++index;
        }
        // Each change reached the flag once.
        for (size_t i = 1; i < screen.applied.size(); ++i) {
            EXPECT_NE(screen.applied[i], screen.applied[i - 1]) << c.name;
        }
    }
}

}  // namespace
}  // namespace kelvora
