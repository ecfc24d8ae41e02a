#include <QSignalSpy>

#include <gtest/gtest.h>

#include "app/developer/ClientsPanelModel.h"
#include "app/developer/SimpleStreamPanelModel.h"
#include "app/developer/StreamTiersPanelModel.h"
#include "app/developer/TierComparisonPanelModel.h"
#include "app/model/ModelFakes.h"

namespace kelvora::testing {
namespace {

using namespace std::chrono_literals;

ClientStatus viewer(std::string id) {
    ClientStatus client;
    client.id = std::move(id);
    client.name = "Viewer " + client.id;
    client.engine = EngineKind::tcp();
    client.address = "127.0.0.1:50000";
    return client;
}

struct Panels : ::testing::Test {
    Panels() {
        // The record's own defaults: main and proxy on, middle off, adaptive on.
        h.storeSettings(SenderSettings{});
        h.defaults->set(kPresetKey, true);
        controller = &h.make();
        controller->start();
    }
    void publish(const SenderStatus& status) {
        h.mainPipeline().statusHandler(status);
        h.settle();
    }
    size_t settingsWrites() { return h.mainPipeline().updates.size(); }

    ModelHarness h;
    SenderController* controller = nullptr;
};

TEST_F(Panels, EachTierEditIsOneSettingsWriteAndALockedSwitchNone) {
    StreamTiersPanelModel model;
    model.setController(controller);
    QSignalSpy changed(&model, &StreamTiersPanelModel::changed);
    const struct {
        const char* edit;
        std::function<void()> action;
        size_t writes;
    } steps[] = {
        {"proxy bitrate", [&] { model.setProxyBitrateKbps(1200); }, 1},
        {"same proxy bitrate", [&] { model.setProxyBitrateKbps(1200); }, 0},
        {"main minimum", [&] { model.setMainMinimumBitrateKbps(40000); }, 1},
        {"proxy off", [&] { model.setTierOn(2, false); }, 1},
        // Only the main tier is left on: its switch is locked.
        {"main off while alone", [&] { model.setTierOn(0, false); }, 0},
        {"middle on", [&] { model.setTierOn(1, true); }, 1},
        {"main off beside middle", [&] { model.setTierOn(0, false); }, 1},
        {"tolerant off", [&] { model.setTolerantAdaptation(false); }, 1},
        {"full bitrate on", [&] { model.setFullBitrateEncoder(true); }, 1},
        {"remote tuning off", [&] { model.setRemoteTuningAllowed(false); }, 1},
        {"studio on elsewhere", [&] { edit(*controller, [](SenderSettings& s) { s.studioMode = true; }); },
         1},
        // In studio mode the middle switch shows on, is locked, and its stored value stays.
        {"middle off in studio", [&] { model.setTierOn(1, false); }, 0},
    };
    for (const auto& step : steps) {
        const size_t before = settingsWrites();
        const qsizetype signalsBefore = changed.count();
        step.action();
        EXPECT_EQ(settingsWrites() - before, step.writes) << step.edit;
        EXPECT_EQ(changed.count() - signalsBefore, step.writes > 0 ? 1 : 0) << step.edit;
    }
    const auto stored = h.storedSettings();
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->proxyBitrateKbps, 1200);
    EXPECT_EQ(stored->mainMinimumBitrateKbps, 40000);
    EXPECT_FALSE(stored->mainTierEnabled);
    EXPECT_TRUE(stored->middleTier);
    EXPECT_FALSE(stored->proxyStream);
    EXPECT_FALSE(stored->tolerantAdaptation);
    EXPECT_TRUE(stored->fullBitrateEncoder);
    EXPECT_FALSE(stored->remoteTuningAllowed);
    EXPECT_EQ(model.proxyBitrateText(), "1.2 Mbit/s");
}

TEST_F(Panels, SimpleStreamBitrateIsRewrittenEvenWhenEqualButNotifiesOnlyOnChange) {
    SimpleStreamPanelModel model;
    model.setController(controller);
    QSignalSpy changed(&model, &SimpleStreamPanelModel::changed);
    model.setEnabled(true);
    ASSERT_EQ(h.streams.size(), 1u);
    EXPECT_EQ(model.caption(), "0 Empfänger verbunden · Port 47900");
    EXPECT_EQ(changed.count(), 1);

    model.setBitrateKbps(12000);
    model.setBitrateKbps(12000);
    EXPECT_EQ(h.streams[0]->bitrates, (std::vector<int>{12000, 12000}));
    EXPECT_EQ(changed.count(), 2);
    EXPECT_EQ(model.bitrateText(), "12.0 Mbit/s");

    h.streams[0]->clientCount(2);
    h.settle();
    EXPECT_EQ(model.caption(), "2 Empfänger verbunden · Port 47900");
    model.setEnabled(false);
    EXPECT_FALSE(model.caption().contains("Empfänger"));
    model.setBitrateKbps(12000);
    EXPECT_EQ(h.streams[0]->bitrates.size(), 2u) << "a stopped stream is not retuned";
}

TEST(PanelsOnABusyPort, SimpleStreamShowsWhyItDoesNotRun) {
    ModelHarness h;
    h.portBusy = true;
    SenderController& c = h.make();
    c.start();
    SimpleStreamPanelModel model;
    model.setController(&c);
    model.setEnabled(true);
    EXPECT_TRUE(model.enabled());
    EXPECT_TRUE(model.captionIsError());
    EXPECT_EQ(model.caption(), c.simpleStreamError());
}

TEST_F(Panels, ViewerRowsFollowTheStatusAndDisconnectOnlyListedViewers) {
    ClientsPanelModel model;
    const auto start = std::chrono::system_clock::now();
    model.setClock([&] { return start + 75s; });
    model.setController(controller);
    QSignalSpy changed(&model, &ClientsPanelModel::rowsChanged);
    EXPECT_EQ(model.countText(), "0 verbunden");

    SenderStatus status;
    status.clients = {viewer("a"), viewer("b")};
    status.clients[0].connectedSince = start;
    publish(status);
    ASSERT_EQ(model.rows().size(), 2);
    EXPECT_EQ(model.countText(), "2 verbunden");
    EXPECT_EQ(model.rows()[0].toMap()["caption"].toString(), "127.0.0.1:50000 · seit 1 min");
    EXPECT_EQ(changed.count(), 1);

    // A figure no row shows changes nothing on screen.
    status.outputKbps = 5000;
    publish(status);
    EXPECT_EQ(changed.count(), 1);

    model.disconnectClient("b");
    model.disconnectClient("gone");
    const auto& calls = h.mainPipeline().calls;
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "disconnect b"), 1);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "disconnect gone"), 0);
}

TEST_F(Panels, TierComparisonSwitchesTheMonitorAndGivesEachTierItsFeed) {
    TierComparisonPanelModel model;
    model.setController(controller);
    model.setOn(true);
    EXPECT_TRUE(controller->showsTierComparison());
    EXPECT_TRUE(controller->tierMonitor()->isEnabled());

    SenderStatus status;
    status.tiers.resize(2);
    status.tiers[1].tier = 2;
    publish(status);
    ASSERT_EQ(model.tiles().size(), 2);
    const auto first = model.tiles()[0].toMap();
    const auto second = model.tiles()[1].toMap();
    auto* proxyFeed = qobject_cast<VideoFeed*>(second["feed"].value<QObject*>());
    ASSERT_NE(proxyFeed, nullptr);
    EXPECT_EQ(proxyFeed->renderer(), controller->tierMonitor()->renderer(2));
    EXPECT_EQ(first["title"].toString(), "Hauptstream");

    // New figures keep the feeds, so the pictures stay where they are.
    status.tiers[0].clientCount = 3;
    status.tiers.emplace_back().tier = 1;
    publish(status);
    EXPECT_EQ(model.tiles()[1].toMap()["feed"].value<QObject*>(), proxyFeed);

    model.setOn(false);
    EXPECT_FALSE(controller->tierMonitor()->isEnabled());
    EXPECT_FALSE(model.on());
}

}  // namespace
}  // namespace kelvora::testing
