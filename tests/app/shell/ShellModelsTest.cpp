#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QtMath>

#include <gtest/gtest.h>

#include "app/developer/NameEdit.h"
#include "app/developer/PreviewVisibility.h"
#include "app/model/ModelFakes.h"
#include "app/shell/MainWindowModel.h"
#include "app/shell/OnboardingModel.h"
#include "app/shell/SettingsWindowModel.h"
#include "app/shell/SourceTileModel.h"
#include "app/shell/TrayBackend.h"
#include "app/shell/TrayModel.h"
#include "app/shell/WindowService.h"
#include "receiver/session/views/UiEngine.h"
#include "support/QtWarnings.h"

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

    // The main window of a started sender in the simple view, past the introduction.
    QQuickWindow* openSimpleView() {
        controller.setShowsOnboarding(false);
        controller.setDeveloperMode(false);
        controller.start();
        windows.open("main");
        return windows.window("main");
    }

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

    auto* pages = shell.find<QQuickItem>("main", "onboardingPages");
    ASSERT_NE(pages, nullptr);
    const auto page = [&] { return qvariant_cast<QQuickItem*>(pages->property("currentItem")); };
    for (const char* expected : {"Weiter", "Weiter", "Weiter", "Los geht’s"}) {
        auto* next = shell.find("main", "onboardingNextButton");
        ASSERT_NE(next, nullptr);
        EXPECT_EQ(next->property("text").toString(), QString::fromUtf8(expected));
        click(next);
        if (shell.controller.showsOnboarding()) {
            // The new page comes in from the trailing edge and settles.
            EXPECT_GT(page()->x(), 0);
            ASSERT_TRUE(QTest::qWaitFor([&] { return page()->x() == 0 && page()->opacity() == 1; }));
        }
        if (std::string_view(expected) == "Weiter" && page()->property("pageIndex").toInt() == 1) {
            // The badge runs from its first colour top-leading to its second bottom-trailing: equal along
            // the other diagonal, different along this one.
            auto* badge = page()->findChild<QQuickItem*>("onboardingBadge");
            ASSERT_NE(badge, nullptr);
            const QImage image = window->grabWindow();
            const QPointF centre = badge->mapToScene(QPointF(badge->width() / 2, badge->height() / 2));
            const auto at = [&](int dx, int dy) {
                return QColor(image.pixel(centre.toPoint() + QPoint(dx, dy)));
            };
            EXPECT_EQ(at(30, -30), at(-30, 30));
            EXPECT_NE(at(-30, -30), at(30, -30));
            EXPECT_NE(at(-30, -30), at(30, 30));
        }
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

// Outside developer mode the window is as high as its content, up to the screen's free height; "+" stops at
// three extra outputs (the controller ignores a fourth, so an enabled button would do nothing).
TEST(MainWindow, SimpleModeIsAsHighAsItsContentAndAddsUpToThreeOutputs) {
    Shell shell;
    QQuickWindow* window = shell.openSimpleView();
    ASSERT_NE(window, nullptr);
    auto* view = shell.find<QQuickItem>("main", "simpleMainView");
    auto* add = shell.find<QQuickItem>("main", "addSourceButton");
    ASSERT_TRUE(view && add);
    QImage enabledLook;
    for (int extra = 0; extra <= 3; ++extra) {
        if (extra > 0) {
            shell.controller.addOutput();
        }
        EXPECT_EQ(add->isEnabled(), extra < 3) << extra;
        // Settled: drawn at its width for this many outputs, with the tiles laid out for it, and as high as
        // that content or the screen's free height less the frame, which the platform may report only once
        // the window was resized.
        int wanted = 0;
        int cap = 0;
        const auto settled = [&] {
            window->grabWindow();
            const QMargins frame = window->frameMargins();
            cap = window->screen()->availableGeometry().height() - frame.top() - frame.bottom();
            wanted = qCeil(view->implicitHeight() + window->height() - view->height());
            return window->width() == (extra > 0 ? 960 : 680) && window->height() == std::min(wanted, cap);
        };
        EXPECT_TRUE(QTest::qWaitFor(settled, 20000))
            << extra << ": " << window->width() << "x" << window->height() << " for " << wanted << " up to "
            << cap;
        // Disabled, it must look it too.
        const QImage image = window->grabWindow();
        const QImage look = image.copy(add->mapRectToScene(add->boundingRect()).toRect());
        if (extra == 2) {
            enabledLook = look;
        } else if (extra == 3) {
            EXPECT_NE(look, enabledLook);
        }
    }
    shell.controller.stop();
}

// Outputs come and go through the window's own buttons while its width follows them (680 with none, 960
// with some), ten rounds of none, one and three; every step waits until the width and the tiles settled.
TEST(MainWindow, SimpleModeOutlivesTenRoundsOfOutputsComingAndGoing) {
    Shell shell;
    QQuickWindow* window = shell.openSimpleView();
    ASSERT_NE(window, nullptr);
    auto* add = shell.find<QQuickItem>("main", "addSourceButton");
    ASSERT_NE(add, nullptr);
    const auto tiles = [&] { return testing::findItems(window->contentItem(), "extraSourceTile"); };
    // Narrowing back, the view never asks for more height than it ends with: a window that grew for a
    // moment would be moved by the window manager to keep it on screen, and stay there.
    QQuickItem* view = shell.find<QQuickItem>("main", "simpleMainView");
    qreal tallest = 0;
    QObject::connect(view, &QQuickItem::implicitHeightChanged, view,
                     [&] { tallest = std::max(tallest, view->implicitHeight()); });
    for (int round = 0; round < 10; ++round) {
        for (const int count : {1, 0, 1, 3, 1, 0}) {
            tallest = 0;
            const auto outputs = [&] { return static_cast<int>(shell.controller.extraOutputs().size()); };
            for (int step = 0; step < 3 && outputs() < count; ++step) {
                click(add);
            }
            for (int step = 0; step < 3 && outputs() > count && !tiles().isEmpty(); ++step) {
                click(testing::findItem(tiles().constLast(), "removeButton"));
                // As in the program under a window manager: what the removal let go of is freed, and the
                // window's new width arrives, before the next frame is drawn (its timer waits).
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
                QCoreApplication::processEvents(QEventLoop::X11ExcludeTimers);
            }
            const bool settled = QTest::qWaitFor(
                [&] { return window->width() == (count > 0 ? 960 : 680) && tiles().size() == count; }, 20000);
            ASSERT_TRUE(settled) << round << ": " << count << " outputs, " << window->width() << " wide";
            if (count == 0) {
                EXPECT_LE(tallest, view->implicitHeight()) << round;
            }
        }
    }
    shell.controller.stop();
}

// A tile's picker keeps the room for its entries over a round trip through the dashboard, during which the
// simple view is laid out while hidden.
TEST(MainWindow, TilePickersKeepTheirWidthOverARoundTripThroughTheDashboard) {
    Shell shell;
    QQuickWindow* window = shell.openSimpleView();
    ASSERT_NE(window, nullptr);
    auto* picker = shell.find("main", "simpleMainView")->findChild<QQuickItem*>("frameRatePicker");
    ASSERT_NE(picker, nullptr);
    // Each mode is drawn at its width before the next switch.
    QSignalSpy drawn(window, &QQuickWindow::frameSwapped);
    for (const bool developer : {false, true, false}) {
        shell.controller.setDeveloperMode(developer);
        drawn.clear();
        ASSERT_TRUE(QTest::qWaitFor([&] { return window->width() == (developer ? 1180 : 680); }));
        ASSERT_TRUE(QTest::qWaitFor([&] { return !drawn.isEmpty(); }));
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return picker->width() >= picker->implicitWidth(); }))
        << picker->width() << " for " << picker->implicitWidth();
    shell.controller.stop();
}

// A menu closed with Escape while the pointer rests on its title leaves the menu bar at rest: the title's
// highlight goes with the pointer, and a click opens the menu again.
TEST(MainWindow, AMenuClosedWithEscapeLeavesTheMenuBarAtRest) {
    Shell shell;
    shell.controller.setShowsOnboarding(false);
    shell.windows.open("main");
    QQuickWindow* window = shell.windows.window("main");
    ASSERT_TRUE(window && QTest::qWaitForWindowExposed(window));
    window->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    auto* bar = qvariant_cast<QQuickItem*>(window->property("menuBar"));
    ASSERT_NE(bar, nullptr);
    QQuickItem* title = nullptr;
    QMetaObject::invokeMethod(bar, "itemAt", Q_RETURN_ARG(QQuickItem*, title), Q_ARG(int, 0));
    ASSERT_NE(title, nullptr);
    auto* menu = qvariant_cast<QObject*>(title->property("menu"));
    // The offscreen platform reports no hover effects; a desktop does.
    bar->setProperty("hoverEnabled", true);
    const QPoint onTitle = title->mapToScene(QPointF(title->width() / 2, title->height() / 2)).toPoint();
    for (int round = 0; round < 2; ++round) {
        QTest::mouseMove(window, onTitle);
        QTest::mouseClick(window, Qt::LeftButton, {}, onTitle);
        ASSERT_TRUE(QTest::qWaitFor([&] { return menu->property("opened").toBool(); })) << round;
        QTest::keyClick(window, Qt::Key_Escape);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !menu->property("visible").toBool(); })) << round;
    }
    const QPoint away(window->width() / 2, window->height() / 2);
    QTest::mouseMove(window, away);
    QTest::mouseClick(window, Qt::LeftButton, {}, away);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !title->property("highlighted").toBool(); }));
}

// Both views stay made: a name given in the simple view is the one the dashboard's row then shows, and
// leaving that field unchanged with Tab writes nothing.
TEST(MainWindow, TheDashboardRowShowsANameGivenInTheSimpleView) {
    Shell shell;
    shell.controller.setShowsOnboarding(false);
    shell.controller.setDeveloperMode(false);
    shell.controller.start();
    shell.controller.addOutput();
    shell.windows.open("main");
    QQuickWindow* window = shell.windows.window("main");
    ASSERT_NE(window, nullptr);
    QQuickItem* tile = testing::findItem(window->contentItem(), "extraSourceTile");
    ASSERT_NE(tile, nullptr);
    auto* rename = qvariant_cast<SourceTileModel*>(tile->property("tile"));
    ASSERT_NE(rename, nullptr);
    rename->beginRename();
    rename->setNewName("Bühne");
    rename->saveRename();
    ASSERT_EQ(shell.controller.settings().extraOutputs.at(0).name, "Bühne");

    shell.controller.setDeveloperMode(true);
    window->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QQuickItem* field = testing::findItem(window->contentItem(), "outputName");
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(field->property("text").toString(), "Bühne");
    QSignalSpy written(&shell.controller, &SenderController::settingsChanged);
    field->forceActiveFocus();
    QTest::keyClick(window, Qt::Key_Tab);
    EXPECT_FALSE(field->hasActiveFocus());
    EXPECT_EQ(written.count(), 0);
    EXPECT_EQ(shell.controller.settings().extraOutputs.at(0).name, "Bühne");
    shell.controller.stop();
}

TEST(SettingsWindow, FollowsItsContentWhileOpenAndWhenOpenedAgain) {
    Shell shell;
    // The buttons of the last row end 16 above the window's edge; drawn first, so the form has laid out.
    const auto fits = [&] {
        QQuickWindow* window = shell.windows.window("settings");
        auto* licenses = shell.find<QQuickItem>("settings", "licensesButton");
        window->grabWindow();
        return window->height() == qCeil(licenses->mapToScene(QPointF(0, licenses->height())).y()) + 16;
    };
    shell.windows.open("settings");
    QQuickWindow* window = shell.windows.window("settings");
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(QTest::qWaitFor(fits)) << window->height();
    const int wifi = window->height();
    // Picked by the pointer, the studio segment stores the studio mode; its footer is a line longer.
    QQuickItem* studio = testing::findItem(shell.find<QQuickItem>("settings", "qualityControl"), "segment1");
    ASSERT_NE(studio, nullptr);
    EXPECT_EQ(studio->property("text").toString(), "Studio (LAN)");
    QTest::mouseClick(window, Qt::LeftButton, {},
                      studio->mapToScene(QPointF(studio->width() / 2, studio->height() / 2)).toPoint());
    EXPECT_TRUE(shell.controller.settings().studioMode);
    EXPECT_TRUE(QTest::qWaitFor([&] { return window->height() > wifi && fits(); })) << window->height();
    window->grabWindow().save(QStringLiteral(KELVORA_UI_SCREENSHOTS "/settings-window-studio.png"));
    shell.windows.closeAll();
    shell.windows.open("settings");
    EXPECT_TRUE(QTest::qWaitFor([&] { return shell.windows.window("settings")->height() > wifi && fits(); }));
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
        auto* typing = field->findChild<NameEdit*>();
        ASSERT_NE(typing, nullptr);
        typing->setText(c.typed);
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

// Selects what the field holds and types `text` over it, as a person does.
void typeOver(QQuickWindow* window, QQuickItem* field, const char* text) {
    ASSERT_NE(field, nullptr);
    field->forceActiveFocus();
    QTest::keyClick(window, Qt::Key_A, Qt::ControlModifier);
    for (const char* key = text; *key != '\0'; ++key) {
        QTest::keyClick(window, *key);
    }
}

// The settings window shows a name given elsewhere while it is open and never writes its own text back: not
// when it closes, not when the program quits, whether the name was given in the simple view's sheet or is
// still being typed in the inspector.
TEST(SettingsWindow, ANameGivenElsewhereIsShownAndNeverWrittenBack) {
    for (const bool developer : {false, true}) {
        Shell shell;
        SenderSettings named = shell.controller.settings();
        named.senderName = "Kamera Nord";
        shell.controller.setSettings(named);
        QQuickWindow* main = shell.openSimpleView();
        shell.controller.setDeveloperMode(developer);
        shell.windows.open("settings");
        auto* settingsField = shell.find<QQuickItem>("settings", "nameField");
        ASSERT_NE(settingsField, nullptr);
        EXPECT_EQ(settingsField->property("text").toString().toStdString(), "Kamera Nord");
        main->requestActivate();
        ASSERT_TRUE(QTest::qWaitForWindowActive(main));
        if (developer) {
            // Typed without Return; the program quits while the field still holds it.
            typeOver(main, testing::findItem(main->contentItem(), "senderNameField"), "Kamera West");
        } else {
            click(testing::findItem(main->contentItem(), "mainSourceTile")
                      ->findChild<QObject*>("renameButton"));
            typeOver(main, testing::findItem(main->contentItem(), "renameField"), "Kamera West");
            QTest::keyClick(main, Qt::Key_Return);
            EXPECT_EQ(shell.controller.settings().senderName, "Kamera West");
            EXPECT_EQ(settingsField->property("text").toString().toStdString(), "Kamera West");
            shell.windows.window("settings")->close();
            EXPECT_EQ(shell.controller.settings().senderName, "Kamera West");
        }
        shell.model.shutDown();
        EXPECT_EQ(shell.harness.storedSettings()->senderName, "Kamera West") << "developer " << developer;
    }
}

// A name being typed is kept when its view goes (the rename sheet closes with the simple view, an output row
// of the dashboard loses the focus) and when the program quits; stored at quit, it reaches no pipeline.
TEST(MainWindow, NamesBeingTypedAreKeptWhenTheViewSwitchesAndWhenTheProgramQuits) {
    Shell shell;
    QQuickWindow* window = shell.openSimpleView();
    shell.controller.addOutput();
    window->requestActivate();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QQuickItem* tile = testing::findItem(window->contentItem(), "extraSourceTile");
    ASSERT_NE(tile, nullptr);
    click(tile->findChild<QObject*>("renameButton"));
    QQuickItem* sheet = testing::findItem(window->contentItem(), "renameField");
    typeOver(window, sheet, "Buehne");
    shell.model.toggleDeveloperMode();
    EXPECT_FALSE(sheet->isVisible());
    EXPECT_EQ(shell.controller.settings().extraOutputs.at(0).name, "Buehne");

    QQuickItem* row = testing::findItem(window->contentItem(), "outputName");
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->property("text").toString().toStdString(), "Buehne");
    typeOver(window, row, "Buehne links");
    shell.model.toggleDeveloperMode();
    EXPECT_FALSE(row->hasActiveFocus());
    EXPECT_EQ(shell.controller.settings().extraOutputs.at(0).name, "Buehne links");

    shell.model.toggleDeveloperMode();
    typeOver(window, row, "Buehne rechts");
    shell.model.shutDown();
    EXPECT_EQ(shell.harness.storedSettings()->extraOutputs.at(0).name, "Buehne rechts");
    for (const SenderSettings& update : shell.harness.extraPipelines().at(0)->updates) {
        EXPECT_NE(update.senderName, "Buehne rechts");
    }
}

// The dashboard opens at its ideal height (where the screen has room for it) and can be made lower, down to
// its minimum.
TEST(MainWindow, DeveloperModeOpensAtItsIdealHeight) {
    Shell shell;
    shell.controller.setShowsOnboarding(false);
    shell.controller.setDeveloperMode(true);
    shell.windows.open("main");
    QQuickWindow* window = shell.windows.window("main");
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    const QMargins frame = window->frameMargins();
    ASSERT_GE(window->screen()->availableGeometry().height() - frame.top() - frame.bottom(), 760);
    EXPECT_EQ(window->height(), 760);
    EXPECT_EQ(window->minimumHeight(), 640);
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

// With nothing plugged in the badge reads "KEIN VIDEOEINGANG", its longest title: the product's name and the
// badge stay whole and apart, and nothing reaches past the panel's padding, whatever the status and however
// long the name.
TEST(Tray, PanelHeaderFitsAtEveryStatus) {
    Shell shell;
    FakeTray backend;
    TrayModel tray(shell.controller, shell.model, backend, [] {});
    shell.windows.define("panel", QUrl("qrc:/qt/qml/Kelvora/Shell/TrayPanel.qml"),
                         {{"model", QVariant::fromValue(&tray)}});
    SenderSettings named = shell.controller.settings();
    named.senderName = "Regieplatz Bühne links, zweiter Rang";
    shell.controller.setSettings(named);
    shell.controller.start();
    shell.windows.open("panel");
    using State = SenderStatus::State;
    for (const State& state : {State::waitingForSource(), State::starting(), State::noSignal(), State::live(),
                               State::paused(), State::error("Gerät ist belegt")}) {
        SenderStatus status;
        status.state = state;
        shell.harness.mainPipeline().statusHandler(status);
        shell.harness.settle();
        auto* badge = shell.find<QQuickItem>("panel", "trayBadge");
        auto* names = shell.find<QQuickItem>("panel", "trayNames");
        auto* product = shell.find<QQuickItem>("panel", "trayProductName");
        ASSERT_TRUE(badge && names && product);
        const QRectF badgeRect = badge->mapRectToScene(QRectF(0, 0, badge->width(), badge->height()));
        const QRectF namesRect = names->mapRectToScene(QRectF(0, 0, names->width(), names->height()));
        const std::string title = badge->property("title").toString().toStdString();
        EXPECT_GE(badge->width(), badge->implicitWidth()) << title;
        EXPECT_GE(product->width(), product->implicitWidth()) << title;
        EXPECT_LE(badgeRect.right(), 330 - 14) << title;
        EXPECT_FALSE(namesRect.intersects(badgeRect)) << title;
        if (state.kind() == State::Kind::waitingForSource) {
            shell.windows.window("panel")->grabWindow().save(
                QStringLiteral(KELVORA_UI_SCREENSHOTS "/tray-panel-waiting.png"));
        }
    }
    shell.windows.closeAll();
    shell.controller.stop();
}

}  // namespace
}  // namespace kelvora
