#include <gtest/gtest.h>

#include "receiver/session/DisplayTierSelector.h"

namespace kelvora {
namespace {

constexpr uint64_t ms = 1'000'000;
// Monotonic times are never 0 (0 stands for "never"); tests count from here.
constexpr uint64_t base = 10'000 * ms;
using Routing = DisplayTierSelector::Routing;
using Messages = std::vector<ControlMessage>;

// Drives a selector the way the session does: every picture first arrives as a frame, then comes back
// decoded. Capture times grow with every picture.
class Tiers {
  public:
    explicit Tiers(int protocolVersion = 4) { selector.setProtocolVersion(protocolVersion); }

    Routing picture(uint8_t tier, uint64_t at, std::optional<double> latency = 50,
                    VideoDimensions size = {1920, 1080}) {
        selector.arrive(tier, base + at);
        capture += ms;
        return selector.route({tier, capture, latency, size.width, size.height}, facts, base + at);
    }

    // The display tier shows pictures every `stepMs` from `from` to `to`.
    void runDisplay(uint8_t tier, uint64_t from, uint64_t to, uint64_t stepMs = 33) {
        for (uint64_t at = from; at <= to; at += stepMs * ms) {
            ASSERT_TRUE(picture(tier, at).show);
        }
    }

    DisplayTierSelector selector;
    DisplayTierSelector::DisplayFacts facts{30, 50.0, VideoDimensions{1920, 1080}};
    uint64_t capture = 1000 * ms;
};

TEST(DisplayTierSelector, FirstFrameChoosesTheDisplayTierAndTiersAbove2AreDropped) {
    Tiers tiers;
    EXPECT_FALSE(tiers.selector.arrive(3, base + 10 * ms).accepted);
    EXPECT_EQ(tiers.selector.displayTier(), std::nullopt);
    EXPECT_TRUE(tiers.selector.arrive(1, base + 20 * ms).accepted);
    EXPECT_EQ(tiers.selector.displayTier(), 1);
    auto beside = tiers.selector.arrive(0, base + 30 * ms);
    EXPECT_TRUE(beside.candidateStarted);
    EXPECT_FALSE(tiers.selector.arrive(0, base + 40 * ms).candidateStarted);
}

TEST(DisplayTierSelector, AnOlderOrEqualPictureNeverFollowsANewerOne) {
    Tiers tiers;
    tiers.selector.arrive(0, base + 10 * ms);
    EXPECT_TRUE(tiers.selector.route({0, 500 * ms, 40, 1920, 1080}, tiers.facts, base + 10 * ms).show);
    EXPECT_FALSE(tiers.selector.route({0, 500 * ms, 40, 1920, 1080}, tiers.facts, base + 20 * ms).show);
    EXPECT_FALSE(tiers.selector.route({0, 400 * ms, 40, 1920, 1080}, tiers.facts, base + 30 * ms).show);
    auto next = tiers.selector.route({0, 501 * ms, 40, 1920, 1080}, tiers.facts, base + 40 * ms);
    EXPECT_TRUE(next.show);
    EXPECT_EQ(next.gapMs, 30);
}

TEST(DisplayTierSelector, LargerCandidateTakesOverAfterASteadyWarmUpWithin25MsOfTheDisplayLatency) {
    for (double extra : {25.0, 26.0}) {
        Tiers tiers;
        tiers.facts.dimensions = VideoDimensions{1280, 720};
        std::optional<uint64_t> switchedAt;
        // Display and candidate alternate, each every 34 ms: twelve candidate pictures before 400 ms.
        for (uint64_t k = 0; k < 18 && !switchedAt; ++k) {
            tiers.picture(1, k * 34 * ms, 50, {1280, 720});
            const uint64_t at = k * 34 * ms + 17 * ms;
            auto routing = tiers.picture(0, at, 50 + extra);
            if (routing.switched) {
                EXPECT_TRUE(routing.show);
                EXPECT_EQ(routing.switched->to, 0);
                EXPECT_TRUE(routing.switched->retiresOld);
                EXPECT_EQ(routing.messages, (Messages{TierReadyMessage{0, std::nullopt}}));
                switchedAt = at;
            }
        }
        if (extra == 25.0) {
            ASSERT_TRUE(switchedAt);
            EXPECT_EQ(*switchedAt, 17 * ms + 12 * 34 * ms);  // the first picture at or after 400 ms
            EXPECT_EQ(tiers.selector.displayTier(), 0);
        } else {
            EXPECT_FALSE(switchedAt);
        }
    }
}

TEST(DisplayTierSelector, ACandidateAbove1080pMayLagByOneAllowancePer1080pOfItsPixels) {
    struct Case {
        VideoDimensions size;
        double extra;
        bool switches;
    };
    for (const Case& c : {Case{{3840, 2160}, 100, true}, Case{{3840, 2160}, 101, false},
                          Case{{2560, 1440}, 44, true}, Case{{2560, 1440}, 45, false}}) {
        Tiers tiers;
        tiers.facts.dimensions = VideoDimensions{640, 360};
        bool switched = false;
        for (uint64_t k = 0; k < 18 && !switched; ++k) {
            tiers.picture(2, k * 34 * ms, 50, {640, 360});
            switched = tiers.picture(0, k * 34 * ms + 17 * ms, 50 + c.extra, c.size).switched.has_value();
        }
        EXPECT_EQ(switched, c.switches) << c.size.description() << " +" << c.extra << " ms";
    }
}

TEST(DisplayTierSelector, APauseInTheCandidateRestartsItsWarmUp) {
    Tiers tiers;
    tiers.facts.dimensions = VideoDimensions{1280, 720};
    uint64_t display = 0;
    auto displayUntil = [&](uint64_t until) {
        for (; display <= until; display += 30 * ms) {
            tiers.picture(1, display, 50, {1280, 720});
        }
    };
    for (uint64_t at = ms; at < 280 * ms; at += 30 * ms) {
        displayUntil(at);
        EXPECT_FALSE(tiers.picture(0, at).switched);
    }
    const uint64_t restart = 271 * ms + 301 * ms;
    for (uint64_t at = restart; at < restart + 400 * ms; at += 30 * ms) {
        displayUntil(at);
        EXPECT_FALSE(tiers.picture(0, at).switched) << (at - restart) / ms;
    }
    EXPECT_EQ(tiers.selector.candidates().at(0).firstDecodedAt, base + restart);
    displayUntil(restart + 420 * ms);
    EXPECT_TRUE(tiers.picture(0, restart + 420 * ms).switched);
}

TEST(DisplayTierSelector, SmallerCandidateWaitsForAPauseOfTheDisplayUnlessPreferred) {
    Tiers tiers(3);
    tiers.runDisplay(0, 0, 300 * ms, 100);
    EXPECT_FALSE(tiers.picture(1, 310 * ms, 50, {1280, 720}).show);
    EXPECT_FALSE(tiers.picture(1, 340 * ms, 50, {1280, 720}).show);
    EXPECT_FALSE(tiers.picture(1, 420 * ms, 50, {1280, 720}).show);
    auto routing = tiers.picture(1, 421 * ms, 50, {1280, 720});
    EXPECT_TRUE(routing.show);
    ASSERT_TRUE(routing.switched);
    EXPECT_EQ(routing.switched->to, 1);

    // A candidate that starts during the pause is taken with its second picture.
    Tiers late(3);
    late.runDisplay(0, 0, 300 * ms, 100);
    EXPECT_FALSE(late.picture(1, 430 * ms, 50, {1280, 720}).show);
    EXPECT_TRUE(late.picture(1, 440 * ms, 50, {1280, 720}).switched);

    Tiers preferred(3);
    preferred.runDisplay(0, 0, 300 * ms, 30);
    preferred.selector.setPreferredTier(1);
    EXPECT_FALSE(preferred.picture(1, 301 * ms, 50, {1280, 720}).show);
    EXPECT_TRUE(preferred.picture(1, 302 * ms, 50, {1280, 720}).switched);
    EXPECT_EQ(preferred.selector.preferredTier(), std::nullopt);
}

TEST(DisplayTierSelector, AnIdleDisplayIsReplacedAtOnceButAStandbyProxyBridgesInstead) {
    Tiers protocol3(3);
    protocol3.runDisplay(0, 0, 100 * ms);
    EXPECT_TRUE(protocol3.picture(2, 400 * ms, 50, {640, 360}).switched);

    Tiers standby(4);
    standby.runDisplay(0, 0, 100 * ms);
    auto routing = standby.picture(2, 400 * ms, 50, {640, 360});
    EXPECT_TRUE(routing.show);
    EXPECT_FALSE(routing.switched);
    EXPECT_TRUE(standby.selector.isBridging());
    EXPECT_EQ(routing.messages, (Messages{StandbyBridgeMessage{true, 2}}));
}

TEST(DisplayTierSelector, BridgeStartsAfterThreeFrameIntervalsWithin80To150Ms) {
    struct Case {
        double fps;
        uint64_t thresholdMs;
    };
    for (Case c : {Case{30, 100}, Case{60, 80}, Case{0, 150}}) {
        Tiers tiers;
        tiers.facts.framesPerSecond = c.fps;
        tiers.runDisplay(0, 0, 0);
        EXPECT_FALSE(tiers.picture(2, c.thresholdMs * ms, 50, {640, 360}).show) << c.fps;
        EXPECT_FALSE(tiers.selector.isBridging());
        EXPECT_TRUE(tiers.picture(2, (c.thresholdMs + 1) * ms, 50, {640, 360}).show) << c.fps;
        EXPECT_EQ(tiers.selector.bridgeCount(), 1);
    }
}

TEST(DisplayTierSelector, TheMainTierEndsABridgeWithTwoPicturesAtMost100MsApart) {
    Tiers tiers;
    tiers.runDisplay(0, 0, 0);
    ASSERT_TRUE(tiers.picture(2, 200 * ms, 50, {640, 360}).show);
    EXPECT_TRUE(tiers.picture(2, 233 * ms, 50, {640, 360}).show);
    EXPECT_FALSE(tiers.picture(0, 250 * ms).show);
    EXPECT_FALSE(tiers.picture(0, 351 * ms).show);  // 101 ms after the first: the run starts over
    EXPECT_TRUE(tiers.selector.isBridging());
    auto back = tiers.picture(0, 380 * ms);
    EXPECT_TRUE(back.show);
    EXPECT_FALSE(tiers.selector.isBridging());
    EXPECT_EQ(back.messages, (Messages{StandbyBridgeMessage{false, 2}}));
    EXPECT_EQ(tiers.selector.bridgedMs(base + 1000 * ms), 180);
    EXPECT_EQ(tiers.selector.displayTier(), 0);
}

TEST(DisplayTierSelector, AMainTierLaterThanTheProxyHoldsItBackOnlyWhileItsRunLasts) {
    Tiers tiers;
    auto route = [&](uint8_t tier, uint64_t capture, uint64_t at) {
        tiers.selector.arrive(tier, base + at * ms);
        const VideoDimensions size = tier == 0 ? VideoDimensions{1920, 1080} : VideoDimensions{640, 360};
        return tiers.selector
            .route({tier, capture * ms, 50, size.width, size.height}, tiers.facts, base + at * ms)
            .show;
    };
    ASSERT_TRUE(route(0, 1000, 0));
    ASSERT_TRUE(route(2, 1190, 200));  // the bridge starts
    EXPECT_FALSE(route(0, 1150, 210));
    EXPECT_FALSE(route(0, 1170, 230));  // a run of two, still older than the proxy on screen
    EXPECT_FALSE(route(2, 1230, 240));  // held back for the main tier
    // The main tier stalls again: after 100 ms without its pictures the proxy is shown again.
    EXPECT_FALSE(route(2, 1320, 330));
    EXPECT_TRUE(route(2, 1330, 331));
    EXPECT_TRUE(tiers.selector.isBridging());

    // A main tier at 7.5 fps continues its run with pictures up to one and a half of its intervals apart.
    EXPECT_FALSE(route(0, 1400, 420));
    EXPECT_FALSE(route(0, 1533, 621));  // 201 ms after, for 133 ms of pictures: the run starts over
    EXPECT_TRUE(route(0, 1666, 800));
    EXPECT_FALSE(tiers.selector.isBridging());
}

TEST(DisplayTierSelector, TheProxyGoesBackToStandbyButTheMainTierIsRetired) {
    Tiers tiers;
    tiers.runDisplay(0, 0, 0);
    tiers.selector.setPreferredTier(2);
    tiers.picture(2, 10 * ms, 50, {640, 360});
    auto down = tiers.picture(2, 20 * ms, 50, {640, 360});
    ASSERT_TRUE(down.switched);
    EXPECT_TRUE(down.switched->retiresOld);
    EXPECT_EQ(tiers.selector.displayTier(), 2);
    // Main-tier frames are dropped for a second after the switch, then taken again.
    EXPECT_FALSE(tiers.selector.arrive(0, base + 1019 * ms).accepted);
    EXPECT_TRUE(tiers.selector.arrive(1, base + 500 * ms).accepted);
    EXPECT_TRUE(tiers.selector.arrive(0, base + 1020 * ms).accepted);

    // The display idles; the main tier comes back and the proxy stays running beside it.
    auto up = tiers.picture(0, 1400 * ms);
    ASSERT_TRUE(up.switched);
    EXPECT_EQ(up.switched->from, 2);
    EXPECT_FALSE(up.switched->retiresOld);
    EXPECT_TRUE(tiers.selector.arrive(2, base + 1401 * ms).accepted);
}

TEST(DisplayTierSelector, RestartingAWarmUpLeavesTheDisplayTierAlone) {
    Tiers tiers;
    tiers.runDisplay(0, 0, 0);
    tiers.picture(1, 10 * ms, 50, {1280, 720});
    tiers.selector.restartWarmUp(1);
    tiers.selector.restartWarmUp(0);
    EXPECT_EQ(tiers.selector.candidates().at(1).decoded, 0);
    EXPECT_FALSE(tiers.selector.candidates().contains(0));
}

}  // namespace
}  // namespace kelvora
