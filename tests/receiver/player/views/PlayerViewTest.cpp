#include "receiver/player/PlayerFakes.h"
#include "receiver/player/StreamPlayer.h"
#include "receiver/player/views/PlayerViewModel.h"

#include "receiver/session/views/UiEngine.h"
#include "support/QtWarnings.h"

#include <QDir>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QTest>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

namespace kelvora {
namespace {

using namespace std::chrono_literals;
using testing::FakeBrowser;
using testing::FakeScheduler;
using testing::FakeSession;

DiscoveredSender found(const std::string& id, const std::string& name, const std::string& source) {
    DiscoveredSender sender = DiscoveredSender::direct("127.0.0.1", 47810, id, name);
    sender.isDirect = false;
    sender.announcement.sourceName = source;
    return sender;
}

// A player on fakes and virtual time, with its view in an offscreen window.
class PlayerScene : public ::testing::Test {
  protected:
    PlayerScene() {
        PlayerServices services;
        services.sessions = [this](EngineKind engine, NetworkEndpoint endpoint, ReceiverIdentity,
                                   std::shared_ptr<VideoRenderer>) {
            auto session = std::make_shared<FakeSession>();
            session->engine = std::move(engine);
            session->endpoint = std::move(endpoint);
            sessions.push_back(session);
            return session;
        };
        services.browser = browser;
        services.scheduler = scheduler;
        services.defaults = &defaults;
        services.availableKinds = [] { return std::vector{EngineKind::tcp(), EngineKind::quic()}; };
        services.deviceModel = "Computer (test)";
        PlayerConfiguration configuration;
        configuration.storageKey = "player";
        configuration.clientName = "Testplatz";
        player = std::make_unique<StreamPlayer>(configuration, std::move(services));
        model = std::make_unique<PlayerViewModel>(*player, scheduler, true, false);

        prepareUiEngine(*view.engine());
        view.setResizeMode(QQuickView::SizeRootObjectToView);
        view.resize(960, 600);
        view.setInitialProperties({{"model", QVariant::fromValue(model.get())}});
        view.setSource(QUrl("qrc:/qt/qml/Kelvora/Player/KelvoraPlayerView.qml"));
        for (const QQmlError& error : view.errors()) {
            ADD_FAILURE() << error.toString().toStdString();
        }
        view.show();
    }
    ~PlayerScene() override {
        view.setSource(QUrl());
        model.reset();
        player->stop();
        player.reset();
        std::filesystem::remove_all(root);
    }

    QQuickItem* item(const char* name) {
        auto* found = view.rootObject()->findChild<QQuickItem*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QString text(const char* name) { return item(name)->property("text").toString(); }
    // Items of the picker live in the window's popup layer, not under the root item.
    QObject* popupChild(const char* name) {
        QObject* found = view.contentItem()->findChild<QObject*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    // A repeater's item, which hangs in the tree of items only.
    static QQuickItem* itemNamed(QQuickItem* in, const QString& name) {
        for (QQuickItem* child : in->childItems()) {
            if (child->objectName() == name) {
                return child;
            }
            if (QQuickItem* found = itemNamed(child, name)) {
                return found;
            }
        }
        return nullptr;
    }
    void settle() {
        scheduler->drain();
        QTest::qWait(20);
    }
    void screenshot(const char* file) {
        QTest::qWait(350);  // lets the fades finish before the picture is taken
        view.grabWindow().save(QDir(KELVORA_UI_SCREENSHOTS).filePath(file));
    }
    // A sender chosen, connected and showing its first picture, with a test picture on screen.
    void play(const std::string& name = "Bühne") {
        browser->onChange({found("A-1", name, "Kamera 1"), found("B-2", "Regie", "")});
        settle();
        model->select("A-1");
        FakeSession& session = *sessions.back();
        WelcomeMessage welcome;
        welcome.senderName = name;
        welcome.senderID = "A-1";
        session.emitEvent(ReceiverSession::Connected{welcome});
        session.emitEvent(ReceiverSession::FirstFrame{});
        session.stats.senderName = name;
        session.stats.engine = EngineKind::tcp();
        session.stats.codec = VideoCodec::h264;
        session.stats.dimensions = VideoDimensions{1280, 720};
        session.stats.isTestPattern = true;
        session.stats.isClockSynchronized = true;
        session.stats.latencyMs = 23.6;
        session.stats.latencyP95Ms = 31;
        session.stats.framesPerSecond = 30;
        session.stats.framesReceived = session.stats.framesDecoded = 90;
        PixelBuffer picture = PixelBuffer::make(PixelFormat::bgra, 320, 180);
        for (int y = 0; y < 180; ++y) {
            std::memset(picture.data(0) + y * picture.stride(0), y < 90 ? 0x40 : 0xc0, 320 * 4);
        }
        player->renderer()->enqueue(picture);
        scheduler->advance(StreamPlayer::statisticsInterval);
        settle();
    }

    std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("player-views-" + std::to_string(getpid()));
    UserDefaults defaults{"app.kelvora.viewer", root};
    std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>();
    std::shared_ptr<FakeScheduler> scheduler = std::make_shared<FakeScheduler>();
    std::vector<std::shared_ptr<FakeSession>> sessions;
    std::unique_ptr<StreamPlayer> player;
    std::unique_ptr<PlayerViewModel> model;
    QQuickView view;
};

TEST_F(PlayerScene, EveryFileOfTheModuleLoadsWithoutAWarning) {
    testing::QtWarnings capture;
    const QStringList files = QDir(":/qt/qml/Kelvora/Player").entryList({"*.qml"});
    ASSERT_GE(files.size(), 8);
    for (const QString& file : files) {
        QQmlComponent component(view.engine(), QUrl("qrc:/qt/qml/Kelvora/Player/" + file));
        std::unique_ptr<QObject> object(component.beginCreate(view.engine()->rootContext()));
        ASSERT_NE(object, nullptr) << file.toStdString() << ": " << component.errorString().toStdString();
        if (object->metaObject()->indexOfProperty("model") >= 0) {
            component.setInitialProperties(object.get(), {{"model", QVariant::fromValue(model.get())}});
        }
        component.completeCreate();
        EXPECT_TRUE(component.errors().isEmpty()) << file.toStdString();
    }
    player->start();
    settle();
    QTest::qWait(50);
    EXPECT_TRUE(capture.all().isEmpty()) << capture.all().join("\n").toStdString();
}

TEST_F(PlayerScene, SearchingThenThePickerWithTwoSenders) {
    player->start();
    settle();
    EXPECT_EQ(text("placeholderTitle"), "Suche Sender …");
    EXPECT_FALSE(item("placeholderChooseButton")->isVisible());
    EXPECT_EQ(text("statusPillTitle"), "Suche Sender");
    screenshot("player-searching.png");

    browser->onChange({found("A-1", "Bühne", "Kamera 1"), found("B-2", "Regie", "")});
    settle();
    EXPECT_EQ(text("placeholderTitle"), "Sender gefunden");
    ASSERT_TRUE(item("placeholderChooseButton")->isVisible());
    QTest::mouseClick(&view, Qt::LeftButton, {},
                      item("placeholderChooseButton")->mapToScene(QPointF(10, 10)).toPoint());
    settle();
    EXPECT_TRUE(model->showsPicker());
    QTest::qWait(400);

    auto* connectButton = qobject_cast<QQuickItem*>(popupChild("pickerConnect"));
    auto* address = qobject_cast<QQuickItem*>(popupChild("pickerAddress"));
    EXPECT_FALSE(qobject_cast<QQuickItem*>(popupChild("pickerSearchingRow"))->isVisible());
    EXPECT_FALSE(qobject_cast<QQuickItem*>(popupChild("pickerDisconnect"))->isVisible());
    EXPECT_FALSE(qobject_cast<QQuickItem*>(popupChild("pickerSourceRestart"))->isEnabled());
    address->setProperty("text", " \t ");
    EXPECT_FALSE(connectButton->isEnabled());
    screenshot("player-picker.png");
    // The engine rows line up with the quality row above them, on their left and on their right.
    QQuickItem* engine = itemNamed(view.contentItem(), "engine_tcp");
    ASSERT_NE(engine, nullptr);
    auto* engineText = engine->property("contentItem").value<QQuickItem*>();
    auto* engineIndicator = engine->property("indicator").value<QQuickItem*>();
    auto* qualityTitle = qobject_cast<QQuickItem*>(popupChild("pickerQualityTitle"));
    auto* qualitySegments = qobject_cast<QQuickItem*>(popupChild("pickerQuality"));
    EXPECT_EQ(engineText->mapToScene({0, 0}).x(), qualityTitle->mapToScene({0, 0}).x());
    EXPECT_EQ(engineIndicator->mapToScene({engineIndicator->width(), 0}).x(),
              qualitySegments->mapToScene({qualitySegments->width(), 0}).x());

    popupChild("pickerList")->setProperty("contentY", 200);
    address->setProperty("text", " 10.0.0.7:5000 ");
    EXPECT_TRUE(connectButton->isEnabled());
    QMetaObject::invokeMethod(connectButton, "clicked");
    settle();
    ASSERT_FALSE(sessions.empty());
    EXPECT_EQ(player->selectedSender()->id, "direct:10.0.0.7:5000");
    EXPECT_FALSE(model->showsPicker());
    const QVariantList rows = model->senderRows();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_TRUE(rows[2].toMap()["isSelected"].toBool());

    // Opened again, the sheet starts with an empty address field, at the top of its list.
    model->setShowsPicker(true);
    settle();
    EXPECT_TRUE(address->property("text").toString().isEmpty());
    EXPECT_EQ(popupChild("pickerList")->property("contentY").toDouble(), 0);
}

TEST_F(PlayerScene, PlayingWithTheDebugOverlayAndControlsThatHideAfterThreeSeconds) {
    player->setShowsDebugOverlay(true);
    player->start();
    play();
    ASSERT_TRUE(model->isPlaying());
    EXPECT_EQ(text("statusPillDetail"), "Nativ TCP · 24 ms");
    EXPECT_EQ(text("overlayHeader"), "Bühne");
    screenshot("player-playing.png");
    EXPECT_FALSE(item("statusPlaceholder")->isVisible());
    // The panel faded out with the words it had, not as an empty box.
    EXPECT_EQ(text("placeholderTitle"), "Bühne verbunden");
    EXPECT_TRUE(item("debugOverlay")->isVisible());
    EXPECT_TRUE(item("overlayClock")->isVisible());

    // The hide counts from the change into playing (one statistics refresh ago), on the scheduler's clock;
    // the overlay stays.
    scheduler->advance(PlayerViewModel::hideDelay - StreamPlayer::statisticsInterval - 1ms);
    EXPECT_TRUE(model->controlsVisible());
    scheduler->advance(1ms);
    EXPECT_FALSE(model->controlsVisible());
    QTest::qWait(400);
    EXPECT_FALSE(item("playerButtons")->isVisible());
    EXPECT_FALSE(item("statusPill")->isVisible());
    EXPECT_TRUE(item("debugOverlay")->isVisible());

    // A click brings them back for another 3 s, unless the picker is open when they would go.
    model->tap();
    EXPECT_TRUE(model->controlsVisible());
    model->setShowsPicker(true);
    scheduler->advance(3s);
    EXPECT_TRUE(model->controlsVisible());
    model->setShowsPicker(false);
    // Nor while the menu is open: it would lose the controls under it and move under the pointer.
    model->tap();
    model->tap();  // shown again, with a hide pending
    auto* menu = view.rootObject()->findChild<QObject*>("playerMenu");
    ASSERT_NE(menu, nullptr);
    QMetaObject::invokeMethod(menu, "open");
    ASSERT_TRUE(menu->property("visible").toBool());
    scheduler->advance(3s);
    EXPECT_TRUE(model->controlsVisible());
    QMetaObject::invokeMethod(menu, "close");

    // Leaving playback shows them at once, without sliding in, and schedules nothing.
    model->tap();
    EXPECT_FALSE(model->controlsVisible());
    QTest::qWait(400);
    sessions.back()->emitEvent(ReceiverSession::Ended{});
    settle();
    EXPECT_FALSE(model->isPlaying());
    EXPECT_TRUE(model->controlsVisible());
    for (const char* name : {"statusPill", "playerButtons"}) {
        EXPECT_EQ(item(name)->y(), 0) << name;
        EXPECT_EQ(item(name)->opacity(), 1) << name;
    }
    scheduler->advance(3s);
    EXPECT_TRUE(model->controlsVisible());
}

TEST_F(PlayerScene, AtTheSmallestSizeTheStatusWrapsWithinItsMarginsAndTheOverlayFits) {
    view.resize(480, 320);
    player->setShowsDebugOverlay(true);
    player->start();
    play("Bühnenrechner im zweiten Stock (Regie links)");
    const QRectF overlay = item("debugOverlay")->mapRectToScene(item("debugOverlay")->boundingRect());
    EXPECT_LE(overlay.bottom(), 320);
    EXPECT_GE(overlay.left(), 0);

    sessions.back()->emitEvent(ReceiverSession::Ended{});
    settle();
    ASSERT_EQ(text("placeholderTitle"),
              "Verbindung zu Bühnenrechner im zweiten Stock (Regie links) unterbrochen");
    const QRectF title = item("placeholderTitle")->mapRectToScene(item("placeholderTitle")->boundingRect());
    EXPECT_GE(title.left(), 24 + 28);
    EXPECT_LE(title.right(), 480 - 24 - 28);
    EXPECT_GT(item("placeholderTitle")->property("lineCount").toInt(), 1);
    screenshot("player-smallest.png");
}

}  // namespace
}  // namespace kelvora
