// The player on its real parts: a ReceiverSession, the Qt event loop's timers and hops, against a sender
// pipeline on loopback showing the test pattern, reached by a typed address.
#include <gtest/gtest.h>

#include <atomic>

#include "receiver/player/StreamPlayer.h"
#include "support/LoopbackSender.h"
#include "support/ProcessUntil.h"
#include "support/TestIdentity.h"

namespace kelvora {
namespace {

using namespace std::chrono_literals;

TEST(PlayerOnLoopback, PlaysATypedAddressTakesTheSendersIdentityAndReconnectsWhenItGoes) {
    testing::LoopbackSender sender("Schleife", "PLAYER-LOOPBACK");
    const auto port = sender.start();
    ASSERT_TRUE(port);
    const SenderSettings& settings = sender.settings;
    const std::string& senderID = sender.id;

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
    player.connectToManualHost("127.0.0.1", *port);
    EXPECT_EQ(player.state(), PlayerState::connecting("127.0.0.1"));

    ASSERT_TRUE(testing::processUntil([&] { return player.state().isPlaying(); }))
        << static_cast<int>(player.state().kind);
    EXPECT_EQ(player.state(), PlayerState::playing(settings.senderName));
    ASSERT_TRUE(player.selectedSender());
    EXPECT_EQ(player.selectedSender()->id, senderID);
    EXPECT_EQ(defaults.string("loop.lastAddress"),
              "127.0.0.1|" + std::to_string(*port) + "|" + senderID + "|" + settings.senderName);
    ASSERT_TRUE(testing::processUntil([&] { return player.statistics().framesDecoded > 0; }));
    EXPECT_TRUE(player.statistics().isDirectConnection);
    EXPECT_GT(tapped.load(), 0);
    EXPECT_GT(player.renderer()->counters().enqueued, 0u);

    sender.stop();
    ASSERT_TRUE(
        testing::processUntil([&] { return player.state().kind == PlayerState::Kind::reconnecting; }));
    EXPECT_EQ(player.state().senderName, settings.senderName);
    EXPECT_FALSE(player.state().reason.empty());

    player.stop();
    EXPECT_EQ(player.state(), PlayerState::idle());
    EXPECT_FALSE(player.hasSession());
    EXPECT_EQ(player.statistics(), PlaybackStatistics());
}

}  // namespace
}  // namespace kelvora
