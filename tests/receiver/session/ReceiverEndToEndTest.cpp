// The whole system on loopback: a sender pipeline on the real test pattern and a receiver session playing it
// for 600 pictures. Sender and receiver share one monotonic clock here, so the capture time drawn into each
// picture's time-code strip gives a latency the session's own, clock-synchronised figure must agree with.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "receiver/session/ReceiverSession.h"
#include "receiver/session/TimecodeDisplay.h"
#include "support/Eventually.h"
#include "support/LoopbackSender.h"

namespace kelvora {
namespace {

using namespace std::chrono_literals;

TEST(ReceiverEndToEnd, PlaysTheSendersTestPatternWithLatencyMatchingTheTimecode) {
    testing::LoopbackSender sender("Ende zu Ende", "E2E-RECEIVER");
    const auto port = sender.start();
    ASSERT_TRUE(port);

    auto session = ReceiverSession::create(EngineKind::tcp(), NetworkEndpoint::hostPort("127.0.0.1", *port),
                                           ReceiverIdentity{"E2E-VIEWER", "Ende-zu-Ende", "Linux"});
    testing::TimecodeDisplay display;
    testing::Eventually<ReceiverSession::Event> events;
    // Every picture as soon as it is decoded: the timecode latency then measures what the session measures.
    session->setSmoothingEnabled(false);
    session->setEventHandler([&](const ReceiverSession::Event& event) { events.push(event); });
    session->frameOutput.set([&](PixelBuffer picture) { display.present(picture); });
    session->start();
    auto connected = events.waitFor(
        [](const auto& event) { return std::holds_alternative<ReceiverSession::Connected>(event); }, 30s);
    ASSERT_TRUE(connected);
    EXPECT_TRUE(std::get<ReceiverSession::Connected>(*connected).welcome.stream.isTestPattern);
    ASSERT_TRUE(events.waitFor(
        [](const auto& event) { return std::holds_alternative<ReceiverSession::FirstFrame>(event); }, 30s));

    // 600 pictures of playback (20 s at full speed), compared after every 30th.
    std::vector<double> differences;
    const int picturesAtStart = display.pictures();
    const int rounds = 20;
    for (int round = 1; round <= rounds; ++round) {
        ASSERT_TRUE(display.waitForPictures(picturesAtStart + 30 * round, 30s))
            << "the stream stopped after " << display.pictures() - picturesAtStart << " pictures";
        const PlaybackStatistics stats = session->statistics();
        const auto timecode = display.medianLatency();
        if (stats.latencyMs && timecode) {
            differences.push_back(std::abs(*stats.latencyMs - *timecode));
        }
    }
    // The statistics are a snapshot of the session's last tick: wait for the one that has seen every picture.
    const int shown = display.pictures() - picturesAtStart;
    PlaybackStatistics stats = session->statistics();
    for (int tick = 0; tick < 200 && stats.framesDecoded < shown + picturesAtStart; ++tick) {
        std::this_thread::sleep_for(50ms);
        stats = session->statistics();
    }

    session->stop();
    session->queue().sync([] {});
    session.reset();
    sender.stop();

    const auto seen = events.values();
    EXPECT_TRUE(std::none_of(seen.begin(), seen.end(), [](const auto& event) {
        return std::holds_alternative<ReceiverSession::Ended>(event);
    }));
    EXPECT_TRUE(stats.isTestPattern);
    EXPECT_TRUE(stats.isClockSynchronized);
    EXPECT_EQ(stats.decodeErrors, 0);
    EXPECT_EQ(stats.framesLost, 0);
    EXPECT_GE(shown, 30 * rounds);
    EXPECT_GE(stats.framesDecoded, shown + picturesAtStart);
    EXPECT_EQ(display.withoutTimecode(), 0);
    EXPECT_EQ(display.fromTheFuture(), 0);

    // The session's figure was there nearly every round and agreed with the strip: a wrong sign, unit or
    // clock offset would be off by far more than a loaded loopback's clock-sync error.
    ASSERT_GE(differences.size(), 15u);
    std::sort(differences.begin(), differences.end());
    EXPECT_LE(differences[differences.size() / 2], 10.0);
    EXPECT_LE(differences[differences.size() * 9 / 10], 40.0);
    ASSERT_TRUE(stats.latencyMs);
    EXPECT_GT(*stats.latencyMs, 0.0);
    EXPECT_LT(*stats.latencyMs, 5000.0);
}

}  // namespace
}  // namespace kelvora
