#include <gtest/gtest.h>

#include "PanelScene.h"
#include "app/model/ModelFakes.h"

namespace kelvora::testing {
namespace {

struct PanelsOnScreen : ::testing::Test {
    PanelsOnScreen() {
        // The record's own defaults: main and proxy on, middle off, adaptive on.
        h.storeSettings(SenderSettings{});
        h.defaults->set(kPresetKey, true);
        controller = &h.make();
        controller->start();
    }
    QQuickItem* load(const char* file, QSize size = {900, 420}) {
        return scene.load(file, {{"controller", QVariant::fromValue<QObject*>(controller)}}, size);
    }
    void publish(const SenderStatus& status) {
        h.mainPipeline().statusHandler(status);
        h.settle();
    }
    bool visible(const char* name) {
        QQuickItem* item = scene.child(name);
        return item && item->isVisible();
    }

    ModelHarness h;
    SenderController* controller = nullptr;
    PanelScene scene;
};

// A status as a running sender on the test pattern publishes it, with two viewers.
SenderStatus liveStatus() {
    SenderStatus status;
    status.state = SenderStatus::State::live();
    status.tiers.resize(2);
    TierStatus& main = status.tiers[0];
    main.dimensions = {1920, 1080};
    main.bitrateKbps = 12000;
    main.clientCount = 1;
    main.frameRate = 30;
    main.lowLatencyRateControl = true;
    main.encodeWaitMs = 4.5;
    main.encodeHardwareMs = 6.25;
    main.outputCodec = VideoCodec::h264;
    TierStatus& proxy = status.tiers[1];
    proxy.tier = 2;
    proxy.dimensions = {640, 360};
    proxy.bitrateKbps = 800;
    proxy.clientCount = 1;
    proxy.frameRate = 30;
    for (const char* name : {"Studio-Monitor", "Regie-Tablet"}) {
        ClientStatus client;
        client.id = name;
        client.name = name;
        client.deviceModel = name[0] == 'S' ? "Linux" : "iPad13,4";
        client.engine = EngineKind::tcp();
        client.address = "127.0.0.1:5123";
        client.isMediaConnected = true;
        client.connectedSince = std::chrono::system_clock::now();
        client.sentKbps = 11800;
        client.estimateKbps = 25000;
        client.latencyMs = 62;
        client.rttMs = 0.4;
        client.tier = name[0] == 'S' ? 0 : 2;
        client.hasStandby = true;
        status.clients.push_back(client);
    }
    return status;
}

TEST_F(PanelsOnScreen, EveryPanelLoadsWithoutAWarningWaitingAndLive) {
    QtWarnings warnings;
    for (const char* file : {"TierComparisonPanel.qml", "ClientsPanel.qml", "StreamTiersPanel.qml",
                             "EncoderPanel.qml", "SimpleStreamPanel.qml"}) {
        const QString name = QString(file).chopped(4);
        ASSERT_NE(load(file), nullptr) << file;
        scene.screenshot(name + "-waiting.png");
        publish(liveStatus());
        controller->setShowsTierComparison(true);
        scene.screenshot(name + "-live.png");
        if (name == "TierComparisonPanel") {
            EXPECT_TRUE(scene.child("tierComparisonSwitch")->property("checked").toBool());
            EXPECT_TRUE(visible("tierTiles"));
        }
        publish({});
        controller->setShowsTierComparison(false);
    }
    EXPECT_TRUE(warnings.all().isEmpty()) << warnings.all().join("\n").toStdString();
}

// In studio mode the tier names are the longest; at the card's widths in the dashboard's first size and at
// its narrowest, every name stays whole and nothing reaches into the card's padding.
TEST_F(PanelsOnScreen, EncoderRowsKeepTheirNamesWholeInsideTheCard) {
    SenderSettings studio = controller->settings();
    studio.studioMode = true;
    controller->setSettings(studio);
    SenderStatus status = liveStatus();
    status.tiers.insert(status.tiers.begin() + 1, status.tiers[0]);
    status.tiers[1].tier = 1;
    for (const int width : {760, 560}) {
        QQuickItem* card = load("EncoderPanel.qml", {width, 300});
        publish(status);
        scene.screenshot(QString("EncoderPanel-studio-%1.png").arg(width));
        const QList<QQuickItem*> titles = findItems(card, "encoderTitle");
        ASSERT_EQ(titles.size(), 3) << width;
        for (QQuickItem* title : titles) {
            const std::string text = title->property("text").toString().toStdString();
            EXPECT_LE(title->property("contentWidth").toReal(), title->width()) << text << " at " << width;
            EXPECT_FALSE(title->property("truncated").toBool()) << text << " at " << width;
        }
        for (QQuickItem* viewers : findItems(card, "encoderViewers")) {
            EXPECT_LE(viewers->mapToItem(card, QPointF(viewers->width(), 0)).x(), card->width() - 16)
                << width;
        }
    }
}

TEST_F(PanelsOnScreen, ViewersAppearWithDividersBetweenThem) {
    load("ClientsPanel.qml");
    EXPECT_TRUE(visible("clientsEmpty"));
    publish(liveStatus());
    EXPECT_FALSE(visible("clientsEmpty"));
    EXPECT_EQ(scene.child("clientsCount")->property("text").toString(), "2 verbunden");
    QQuickItem* first = scene.child("clientRow_Studio-Monitor");
    QQuickItem* second = scene.child("clientRow_Regie-Tablet");
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(scene.child("clientDivider", first)->isVisible());
    EXPECT_TRUE(scene.child("clientDivider", second)->isVisible());

    scene.click(scene.child("disconnectButton", second));
    const auto& calls = h.mainPipeline().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "disconnect Regie-Tablet"), 1);
    scene.screenshot("ClientsPanel-two.png");
}

// New figures arrive, a viewer and the proxy tier leave, and the window narrows before the next frame is
// drawn, as a window manager's resize may arrive: the dashboard lays out no metric tile, encoder row,
// comparison tile or viewer row it let go of.
TEST_F(PanelsOnScreen, RowsOutliveNewFiguresAndANewWidthBeforeTheNextFrame) {
    ASSERT_NE(load("DeveloperMainView.qml", {1300, 900}), nullptr);
    controller->setShowsTierComparison(true);
    SenderStatus status = liveStatus();
    publish(status);
    scene.view.grabWindow();
    ASSERT_EQ(findItems(scene.view.contentItem(), "encoderTitle").size(), 2);
    ASSERT_EQ(findItems(scene.view.contentItem(), "tierTitle").size(), 2);
    status.outputKbps = 4321;
    status.tiers[0].bitrateKbps = 9000;
    status.clients[0].sentKbps = 8800;
    status.clients.pop_back();
    status.tiers.pop_back();
    h.mainPipeline().statusHandler(status);
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents(QEventLoop::X11ExcludeTimers);
    scene.view.resize(1100, scene.view.height());
    QCoreApplication::processEvents(QEventLoop::X11ExcludeTimers);
    scene.view.grabWindow();
    EXPECT_EQ(scene.child("metricTile1")->property("value").toString(), "4.3");
    EXPECT_EQ(scene.child("encoderBitrate", scene.child("encoderRow0"))->property("text").toString(),
              "9.0 Mbit/s");
    EXPECT_EQ(findItems(scene.view.contentItem(), "clientName").size(), 1);
    EXPECT_EQ(findItems(scene.view.contentItem(), "encoderTitle").size(), 1);
    EXPECT_EQ(findItems(scene.view.contentItem(), "tierTitle").size(), 1);
}

TEST_F(PanelsOnScreen, TierSwitchesFollowTheirLocksWhenClicked) {
    load("StreamTiersPanel.qml");
    const auto click = [&](const char* name) {
        scene.click(scene.child("switch", scene.child(name)));
        h.settle();
    };
    click("tierSwitch2");  // proxy off: the main tier is left alone and locked
    EXPECT_FALSE(controller->settings().proxyStream);
    EXPECT_FALSE(scene.child("tierSwitch0")->isEnabled());
    EXPECT_FALSE(scene.child("proxyBitrateRow")->isEnabled());
    click("tierSwitch0");
    EXPECT_TRUE(controller->settings().mainTierEnabled);

    edit(*controller, [](SenderSettings& s) { s.adaptiveBitrate = false; });
    EXPECT_TRUE(visible("adaptiveNote"));
    for (const char* name : {"tierSwitch0", "tierSwitch1", "tierSwitch2"}) {
        EXPECT_FALSE(scene.child(name)->isEnabled()) << name;
    }
    click("tolerantAdaptationSwitch");
    EXPECT_FALSE(controller->settings().tolerantAdaptation);
    scene.screenshot("StreamTiersPanel-adaptive-off.png");
}

}  // namespace
}  // namespace kelvora::testing
