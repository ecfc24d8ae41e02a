#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTest>

#include <gtest/gtest.h>

#include "app/developer/PreviewVisibility.h"
#include "app/model/ModelFakes.h"
#include "app/shell/MainWindowModel.h"
#include "app/shell/OnboardingModel.h"
#include "app/shell/SettingsWindowModel.h"
#include "app/shell/TrayBackend.h"
#include "app/shell/TrayModel.h"
#include "app/shell/WindowService.h"
#include "app/ui/UiEngine.h"

namespace kelvora {
namespace {

using testing::ModelHarness;

struct FakeUpdaterBackend final : UpdaterBackend {
    void start(std::function<void(bool)> changed) override { changed(false); }
    void checkForUpdates() override {}
};

struct FakeTray final : TrayBackend {
    std::function<void()> clicked;
    std::function<void(TrayAction)> chosen;
    std::vector<QString> symbols;
    QString toolTip;
    std::vector<TrayRow> menu;

    void start(std::function<void()> c, std::function<void(TrayAction)> h) override {
        clicked = std::move(c);
        chosen = std::move(h);
    }
    void setSymbol(const QString& symbol) override { symbols.push_back(symbol); }
    void setToolTip(const QString& text) override { toolTip = text; }
    void setMenu(const std::vector<TrayRow>& rows) override { menu = rows; }
};

// The program's windows over a controller on fakes.
struct Shell {
    Shell() {
        prepareUiEngine(engine);
        const QVariant modelValue = QVariant::fromValue(&model);
        windows.define("main", QUrl("qrc:/qt/qml/Kelvora/Shell/MainWindow.qml"),
                       {{"model", modelValue},
                        {"onboarding", QVariant::fromValue(&onboarding)},
                        {"previewVisibility", QVariant::fromValue(&preview)}});
        windows.define("settings", QUrl("qrc:/qt/qml/Kelvora/Shell/SettingsWindow.qml"),
                       {{"model", modelValue}, {"settings", QVariant::fromValue(&settings)}});
    }
    ~Shell() { windows.closeAll(); }

    template <class T = QObject>
    T* find(const QString& window, const char* name) {
        QQuickWindow* w = windows.window(window);
        return w ? w->findChild<T*>(name) : nullptr;
    }

    ModelHarness harness;
    SenderController& controller = harness.make();
    Updater updater{std::make_shared<FakeUpdaterBackend>()};
    QQmlEngine engine;
    WindowService windows{engine};
    MainWindowModel model{controller, windows, updater};
    OnboardingModel onboarding{controller};
    PreviewVisibility preview{PreviewVisibility::mainPreviewOf(controller)};
    SettingsWindowModel settings{controller, std::make_shared<testing::FakeHost>()};
};

void click(QObject* button) {
    ASSERT_NE(button, nullptr);
    QMetaObject::invokeMethod(button, "clicked");
}

TEST(MainWindow, TheIntroductionEndsOnlyThroughItsOwnButtonsAndIsRecorded) {
    Shell shell;
    ASSERT_TRUE(shell.controller.showsOnboarding());
    shell.windows.open("main");
    QQuickWindow* window = shell.windows.window("main");
    ASSERT_NE(window, nullptr);
    QObject* sheet = shell.find("main", "onboardingSheet");
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sheet->property("opened").toBool(); }));
    QTest::qWait(200);
    window->grabWindow().save(QStringLiteral(KELVORA_UI_SCREENSHOTS "/main-window-onboarding.png"));

    QTest::keyClick(window, Qt::Key_Escape);
    QTest::mouseClick(window, Qt::LeftButton, {}, QPoint(5, window->height() - 5));
    EXPECT_TRUE(sheet->property("visible").toBool());
    EXPECT_TRUE(shell.controller.showsOnboarding());

    for (const char* expected : {"Weiter", "Weiter", "Weiter", "Los geht’s"}) {
        auto* next = shell.find("main", "onboardingNextButton");
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(next->property("text").toString(), QString::fromUtf8(expected));
        click(next);
    }
    EXPECT_FALSE(shell.controller.showsOnboarding());
    shell.controller.flushSettings();
    EXPECT_EQ(shell.harness.defaults->boolValue("DidShowOnboarding"), true);

    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet->property("visible").toBool(); }));
    // Shown again from the help menu: from the first page.
    shell.model.showIntroduction();
    ASSERT_TRUE(QTest::qWaitFor([&] { return sheet->property("opened").toBool(); }));
    EXPECT_EQ(shell.find("main", "onboardingBackButton")->property("text").toString(), "Überspringen");
}

TEST(SettingsWindow, ATypedNameIsKeptWhenTheWindowClosesOrTheProgramQuits) {
    const struct {
        QString typed;
        bool byClosing;
        std::string stored;
    } cases[] = {
        {"  Bühne \t", true, "Bühne"},
        {"Regie", false, "Regie"},
        {"   ", true, ""},
    };
    Shell shell;
    for (const auto& c : cases) {
        SenderSettings named = shell.controller.settings();
        named.senderName = "Alt";
        shell.controller.setSettings(named);
        shell.windows.open("settings");
        auto* field = shell.find<QQuickItem>("settings", "nameField");
        ASSERT_NE(field, nullptr);
        EXPECT_EQ(field->property("text").toString(), "Alt");
        shell.windows.window("settings")
            ->grabWindow()
            .save(QStringLiteral(KELVORA_UI_SCREENSHOTS "/settings-window.png"));
        field->forceActiveFocus();
        field->setProperty("text", c.typed);
        if (c.byClosing) {
            shell.windows.window("settings")->close();
        } else {
            shell.windows.commitPendingEdits();
        }
        EXPECT_EQ(shell.controller.settings().senderName, c.stored) << c.typed.toStdString();
        shell.windows.closeAll();
    }
    EXPECT_EQ(shell.controller.displayName(), testing::FakeHost().computerName());
}

// Dark text colour on a dark panel would leave an invisible icon: every symbol carries both tones.
TEST(Tray, TheSymbolReadsOnLightAndDarkPanels) {
    for (const QColor& text : {QColor(Qt::black), QColor(Qt::white), QColor(40, 40, 40)}) {
        const QImage image = traySymbolImage("dot.radiowaves.up.forward", text, 22);
        ASSERT_EQ(image.size(), QSize(22, 22));
        int dark = 0;
        int light = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QColor pixel = QColor::fromRgba(image.pixel(x, y));
                if (pixel.alpha() > 150) {
                    dark += pixel.lightnessF() < 0.3;
                    light += pixel.lightnessF() > 0.7;
                }
            }
        }
        EXPECT_GT(dark, 10) << text.name().toStdString();
        EXPECT_GT(light, 10) << text.name().toStdString();
    }
}

// The tray panel is placed at the pointer before it shows: placed after, it would flash in a corner first.
TEST(WindowService, PlacesAWindowBeforeItFirstShowsAndLeavesAnOpenOneWhereItIs) {
    Shell shell;
    std::vector<bool> visibleWhenPlaced;
    const auto place = [&](QQuickWindow& window) {
        visibleWhenPlaced.push_back(window.isVisible());
        window.setPosition(123, 45);
    };
    shell.windows.open("settings", place);
    QQuickWindow* window = shell.windows.window("settings");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->position(), QPoint(123, 45));
    window->setPosition(300, 200);
    shell.windows.open("settings", place);
    EXPECT_EQ(window->position(), QPoint(300, 200));
    EXPECT_EQ(visibleWhenPlaced, std::vector<bool>{false});
}

TEST(Tray, IconMenuAndPanelFollowTheControllerAndActThroughIt) {
    ModelHarness harness;
    SenderController& controller = harness.make();
    controller.setDeveloperMode(false);
    Updater updater{std::make_shared<FakeUpdaterBackend>()};
    QQmlEngine engine;
    WindowService windows{engine};
    MainWindowModel commands{controller, windows, updater};
    FakeTray backend;
    int toggles = 0;
    TrayModel tray(controller, commands, backend, [&] { ++toggles; });
    controller.start();
    harness.settle();

    SenderStatus live;
    live.state = SenderStatus::State::live();
    live.clients.push_back(ClientStatus{});
    harness.mainPipeline().statusHandler(live);
    harness.settle();
    EXPECT_EQ(backend.symbols.back(), "dot.radiowaves.up.forward");
    EXPECT_EQ(backend.toolTip, "Tilvara Sender: Live");
    EXPECT_TRUE(tray.showsPicture());
    ASSERT_EQ(backend.menu.size(), 3u);

    backend.chosen(TrayAction::togglePause);
    EXPECT_TRUE(controller.isPaused());
    EXPECT_EQ(backend.symbols.back(), "pause.circle");
    EXPECT_EQ(backend.toolTip, "Tilvara Sender: Pausiert");
    EXPECT_FALSE(tray.showsPicture());
    EXPECT_EQ(backend.menu[1].title, "Stream fortsetzen");

    controller.setDeveloperMode(true);
    EXPECT_EQ(backend.menu.size(), 5u);
    EXPECT_EQ(tray.rows().size(), 5);
    backend.clicked();
    EXPECT_EQ(toggles, 1);
    controller.stop();
}

}  // namespace
}  // namespace kelvora
