#include <gtest/gtest.h>

#include <limits>

#include "sender/server/TierPlanner.h"

namespace kelvora {
namespace {

using Input = TierPlanner::ClientInput;

// A viewer settled for a long time: every hold has passed.
Input settled(std::string id, uint8_t tier, int estimateKbps,
              StreamQuality quality = StreamQuality::automatic) {
    Input input;
    input.id = std::move(id);
    input.tier = tier;
    input.estimateKbps = estimateKbps;
    input.stableMs = 60000;
    input.msSinceTierChange = 60000;
    input.returnHoldMs = 4000;
    input.quality = quality;
    return input;
}

struct Running {
    bool main = true;
    bool middle = true;
    bool proxy = true;
    bool adaptive = true;
};

TierPlanner::Plan planFor(const std::vector<Input>& clients, Running running = {},
                          int defaultMainKbps = 8000) {
    return TierPlanner::plan(clients, defaultMainKbps, running.adaptive, running.proxy, running.middle,
                             running.main, TierPlanner::normalProfile());
}

uint8_t tierOf(const Input& client, Running running = {}) {
    return planFor({client}, running).assignments.at(client.id);
}

TEST(TierPlanner, WithoutViewersPlansTheDefaultMainRateOnly) {
    const auto plan = planFor({}, {}, 9000);
    EXPECT_TRUE(plan.assignments.empty());
    EXPECT_EQ(plan.mainKbps, 9000);
    EXPECT_EQ(plan.middleKbps, std::nullopt);
    EXPECT_EQ(plan.proxyClientKbps, std::nullopt);
}

TEST(TierPlanner, WithoutAdaptationEveryViewerWantsMain) {
    const std::vector<Input> clients{settled("a", 2, 500), settled("b", 1, 9000)};
    EXPECT_EQ(planFor(clients, {.adaptive = false}).assignments,
              (std::map<std::string, uint8_t>{{"a", 0}, {"b", 0}}));
    EXPECT_EQ(planFor(clients, {.main = false, .adaptive = false}).assignments,
              (std::map<std::string, uint8_t>{{"a", 1}, {"b", 1}}));
}

TEST(TierPlanner, MainViewerStepsDownOnlyAfterTwoSeconds) {
    Input viewer = settled("a", 0, 100);
    viewer.msSinceTierChange = 2000;
    EXPECT_EQ(tierOf(viewer), 0);
    viewer.msSinceTierChange = 2001;
    viewer.estimateKbps = 1999;
    EXPECT_EQ(tierOf(viewer, {.middle = false}), 2);
    EXPECT_EQ(tierOf(viewer), 1);
    viewer.estimateKbps = 1499;
    EXPECT_EQ(tierOf(viewer), 2);
    viewer.estimateKbps = 2000;
    EXPECT_EQ(tierOf(viewer), 0);
}

TEST(TierPlanner, UpgradesNeedTheEstimateAndThePassedHold) {
    Input middle = settled("a", 1, 2600);
    EXPECT_EQ(tierOf(middle), 0);
    middle.estimateKbps = 2599;
    EXPECT_EQ(tierOf(middle), 1);
    middle.estimateKbps = 9000;
    middle.stableMs = middle.returnHoldMs;  // equal is not passed
    EXPECT_EQ(tierOf(middle), 1);
    EXPECT_EQ(tierOf(middle, {.middle = false}), 2);  // without a middle encoder: rise or drop to the proxy

    Input weak = settled("b", 1, 1499);  // below the middle minimum it drops even inside the hold
    weak.stableMs = 0;
    EXPECT_EQ(tierOf(weak), 2);
}

TEST(TierPlanner, ProxyViewerClimbsOneRunningTierAtATime) {
    Input proxy = settled("a", 2, 9000);
    EXPECT_EQ(tierOf(proxy), 1);
    EXPECT_EQ(tierOf(proxy, {.middle = false}), 0);
    proxy.estimateKbps = 1899;
    EXPECT_EQ(tierOf(proxy), 2);
    proxy.estimateKbps = 9000;
    proxy.msSinceTierChange = 100;
    EXPECT_EQ(tierOf(proxy), 2);
}

TEST(TierPlanner, QualityPreferenceWinsAndIsFittedToTheNearestRunningTier) {
    EXPECT_EQ(tierOf(settled("a", 2, 10, StreamQuality::full)), 0);
    EXPECT_EQ(tierOf(settled("a", 2, 10, StreamQuality::full), {.main = false, .middle = false}), 2);
    EXPECT_EQ(tierOf(settled("a", 2, 10, StreamQuality::full), {.main = false}), 1);
    EXPECT_EQ(tierOf(settled("b", 0, 50000, StreamQuality::proxy)), 2);
    EXPECT_EQ(tierOf(settled("b", 0, 50000, StreamQuality::proxy), {.middle = false, .proxy = false}), 0);
    // With nothing running the main tier stands in.
    EXPECT_EQ(tierOf(settled("c", 1, 2000), {.main = false, .middle = false, .proxy = false}), 0);
}

TEST(TierPlanner, MainRateSubtractsStandbyAndCapsUpgradingViewers) {
    Input standby = settled("a", 0, 5000);
    standby.standbyKbps = 1500;
    EXPECT_EQ(planFor({standby}).mainKbps, 3500);

    Input climbing = settled("b", 2, 9000, StreamQuality::proxy);
    climbing.candidateTier = 0;  // counts toward main whatever its assignment
    const auto plan = planFor({climbing, settled("c", 0, 6000)});
    EXPECT_EQ(plan.mainKbps, 2400);
    EXPECT_EQ(plan.proxyClientKbps, 9000);
}

TEST(TierPlanner, MiddleRateIsAShareOfTheWeakestUpToItsMaximum) {
    Input middle = settled("a", 1, 3000);
    middle.stableMs = 0;
    EXPECT_EQ(planFor({middle}).middleKbps, 1800);
    middle.estimateKbps = 5000;
    EXPECT_EQ(planFor({middle}).middleKbps, 2500);
    Input climbing = settled("b", 2, 9000);
    climbing.candidateTier = 1;
    climbing.stableMs = 0;
    EXPECT_EQ(planFor({climbing, middle}).middleKbps, 840);  // its probe cap 1400 × 0.6
}

TEST(TierPlanner, NeverPlansAMainRateOfZeroOrLess) {
    Input standby = settled("a", 0, 1000, StreamQuality::full);
    standby.standbyKbps = 1500;
    EXPECT_EQ(planFor({standby}).mainKbps, TierPlanner::lowestPlannedKbps);
    EXPECT_EQ(planFor({}, {}, 0).mainKbps, TierPlanner::lowestPlannedKbps);
}

TEST(TierPlanner, StudioProfileScalesWithTheMainBitrate) {
    const auto big = TierPlanner::studioProfile(50000, 14000);
    EXPECT_EQ(big.mainMinimumKbps, 15000);
    EXPECT_EQ(big.mainUpgradeKbps, 19500);
    EXPECT_EQ(big.mainProbeKbps, 19500);
    EXPECT_EQ(big.middleMaximumKbps, 14000);
    for (int m : {0, 39999, 40000}) {
        const auto small = TierPlanner::studioProfile(m, 8000);
        EXPECT_EQ(small.mainMinimumKbps, 12000);
        EXPECT_EQ(small.mainUpgradeKbps, 15600);
    }
    EXPECT_GT(TierPlanner::studioProfile(std::numeric_limits<int>::max(), 8000).mainUpgradeKbps, 0);
}

}  // namespace
}  // namespace kelvora
