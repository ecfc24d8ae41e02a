// The player on its real parts: a ReceiverSession, the Qt event loop's timers and hops, against a sender
// pipeline on loopback showing the test pattern, reached by a typed address.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <atomic>

#include "receiver/player/StreamPlayer.h"
#include "sender/pipeline/SenderPipeline.h"
#include "support/Eventually.h"
#include "support/TestIdentity.h"

namespace kelvora {
namespace {

using namespace std::chrono_literals;

// Runs the event loop until `condition` holds; the limit only ends a run that went wrong.
bool runUntil(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (!condition()) {
        if (elapsed.elapsed() > std::chrono::duration_cast<std::chrono::milliseconds>(limit).count()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

TEST(PlayerOnLoopback, PlaysATypedAddressTakesTheSendersIdentityAndReconnectsWhenItGoes) {
    SenderSettings settings;
    settings.senderName = "Schleife " + std::to_string(getpid());
    settings.enabledEngines = {"tcp"};
    settings.controlPort = 0;
    settings.useTestPattern = true;
    settings.resolution = {640, 360};
    settings.frameRate = 30;
    settings.proxyStream = false;
    SenderPipeline::Options options;
    options.sources = SourceFactory::system();
    options.announce = false;
    options.autoSourceRecovery = [] { return false; };
    const std::string senderID = "PLAYER-LOOPBACK-" + std::to_string(getpid());
    auto pipeline = SenderPipeline::create(settings, senderID, {}, options);
    testing::Eventually<SenderStatus> statuses;
    pipeline->setStatusHandler([&](SenderStatus status) { statuses.push(status); });
    pipeline->start();
    auto listening = statuses.waitFor([](const SenderStatus& s) { return s.controlPort.has_value(); }, 30s);
    ASSERT_TRUE(listening);
    const uint16_t port = *listening->controlPort;

    test::TemporaryFolder folder;
    UserDefaults defaults("app.kelvora.viewer", folder.path());
    PlayerServices services = PlayerServices::system();
    services.defaults = &defaults;
    StreamPlayer player(
        PlayerConfiguration{"loop", false, false, EngineKind::tcp(), "Schleifentest", false, true},
        std::move(services));
    std::atomic<int> tapped{0};
    player.setOnFrame([&](PixelBuffer) { ++tapped; });
    player.start();
    player.connectToManualHost("127.0.0.1", port);
    EXPECT_EQ(player.state(), PlayerState::connecting("127.0.0.1"));

    ASSERT_TRUE(runUntil([&] { return player.state().isPlaying(); }))
        << static_cast<int>(player.state().kind);
    EXPECT_EQ(player.state(), PlayerState::playing(settings.senderName));
    ASSERT_TRUE(player.selectedSender());
    EXPECT_EQ(player.selectedSender()->id, senderID);
    EXPECT_EQ(defaults.string("loop.lastAddress"),
              "127.0.0.1|" + std::to_string(port) + "|" + senderID + "|" + settings.senderName);
    ASSERT_TRUE(runUntil([&] { return player.statistics().framesDecoded > 0; }));
    EXPECT_TRUE(player.statistics().isDirectConnection);
    EXPECT_GT(tapped.load(), 0);
    EXPECT_GT(player.renderer()->counters().enqueued, 0u);

    pipeline->setStatusHandler({});
    pipeline->stop();
    pipeline->queue().sync([] {});
    ASSERT_TRUE(runUntil([&] { return player.state().kind == PlayerState::Kind::reconnecting; }));
    EXPECT_EQ(player.state().senderName, settings.senderName);
    EXPECT_FALSE(player.state().reason.empty());

    player.stop();
    EXPECT_EQ(player.state(), PlayerState::idle());
    EXPECT_FALSE(player.hasSession());
    EXPECT_EQ(player.statistics(), PlaybackStatistics());
}

}  // namespace
}  // namespace kelvora
