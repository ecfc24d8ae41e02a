#include <gtest/gtest.h>

#include <limits>

#include "sender/server/TierPlanner.h"

namespace kelvora {
namespace {

using Input = TierPlanner::ClientInput;

// A viewer that has been settled for a long time: every hold has passed.
Input settled(std::string id, uint8_t tier, int estimateKbps) {
    Input input;
    input.id = std::move(id);
    input.tier = tier;
    input.estimateKbps = estimateKbps;
    input.stableMs = 60000;
    input.msSinceTierChange = 60000;
    input.returnHoldMs = 4000;
    return input;
}

struct Tiers {
    bool main = true;
    bool middle = true;
    bool proxy = true;
    bool adaptive = true;
};

TierPlanner::Plan planFor(const std::vector<Input>& clients, Tiers tiers = {}, int defaultMainKbps = 8000,
                          const TierPlanner::Profile& profile = TierPlanner::normalProfile()) {
    return TierPlanner::plan(clients, defaultMainKbps, tiers.adaptive, tiers.proxy, tiers.middle, tiers.main,
                             profile);
}

uint8_t tierOf(const Input& client, Tiers tiers = {}) {
    return planFor({client}, tiers).assignments.at(client.id);
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
    const auto plan = planFor(clients, {.adaptive = false});
    EXPECT_EQ(plan.assignments.at("a"), 0);
    EXPECT_EQ(plan.assignments.at("b"), 0);

    const auto noMain = planFor(clients, {.main = false, .middle = true, .proxy = true, .adaptive = false});
    EXPECT_EQ(noMain.assignments.at("a"), 1);
    EXPECT_EQ(noMain.assignments.at("b"), 1);
}

TEST(TierPlanner, MainViewerStepsDownOnlyAfterTwoSeconds) {
    Input viewer = settled("a", 0, 100);
    viewer.msSinceTierChange = 2000;
    EXPECT_EQ(tierOf(viewer), 0);

    viewer.msSinceTierChange = 2001;
    viewer.estimateKbps = 1999;
    EXPECT_EQ(tierOf(viewer, {.middle = false}), 2);
    EXPECT_EQ(tierOf(viewer), 1);  // with the middle tier running, 1999 is enough for it
    viewer.estimateKbps = 1499;
    EXPECT_EQ(tierOf(viewer), 2);
    viewer.estimateKbps = 2000;  // exactly the minimum keeps main
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
    middle.stableMs = 60000;
    middle.msSinceTierChange = middle.returnHoldMs;
    EXPECT_EQ(tierOf(middle), 1);

    // Without a middle encoder a middle viewer either rises or drops to the proxy.
    Input orphan = settled("b", 1, 2599);
    EXPECT_EQ(tierOf(orphan, {.middle = false}), 2);
    orphan.estimateKbps = 2600;
    EXPECT_EQ(tierOf(orphan, {.middle = false}), 0);

    // A middle viewer below its minimum drops even inside the hold.
    Input weak = settled("c", 1, 1499);
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
    proxy.stableMs = 100;
    EXPECT_EQ(tierOf(proxy), 2);
}

TEST(TierPlanner, QualityPreferenceOverridesTheEstimate) {
    Input full = settled("a", 2, 10);
    full.quality = StreamQuality::full;
    EXPECT_EQ(tierOf(full), 0);
    EXPECT_EQ(tierOf(full, {.main = false, .middle = false, .proxy = true}), 2);

    Input proxy = settled("b", 0, 50000);
    proxy.quality = StreamQuality::proxy;
    EXPECT_EQ(tierOf(proxy), 2);
}

TEST(TierPlanner, FitsToTheNearestRunningTier) {
    Input full = settled("b", 2, 10);
    full.quality = StreamQuality::full;  // wants 0
    EXPECT_EQ(tierOf(full, {.main = false, .middle = true, .proxy = true}), 1);
    Input proxy = settled("c", 2, 10);  // wants 2
    EXPECT_EQ(tierOf(proxy, {.main = true, .middle = false, .proxy = false}), 0);
    Input middle = settled("d", 1, 2000);  // wants 1
    EXPECT_EQ(tierOf(middle), 1);
    // With nothing running the main tier stands in.
    EXPECT_EQ(tierOf(middle, {.main = false, .middle = false, .proxy = false}), 0);
}

TEST(TierPlanner, MainRateSubtractsStandbyAndCapsUpgradingViewers) {
    Input standby = settled("a", 0, 5000);
    standby.standbyKbps = 1500;
    EXPECT_EQ(planFor({standby}).mainKbps, 3500);

    Input climbing = settled("b", 2, 9000);
    climbing.candidateTier = 0;
    climbing.quality = StreamQuality::proxy;  // assigned elsewhere: the candidate alone makes it count
    const auto plan = planFor({climbing, settled("c", 0, 6000)});
    EXPECT_EQ(plan.mainKbps, 2400);
    EXPECT_EQ(plan.assignments.at("b"), 2);
    EXPECT_EQ(plan.proxyClientKbps, 9000);
}

TEST(TierPlanner, MiddleRateIsAShareOfTheWeakestUpToItsMaximum) {
    Input middle = settled("a", 1, 3000);
    middle.stableMs = 0;  // hold not passed: stays on middle
    EXPECT_EQ(planFor({middle}).middleKbps, 1800);
    middle.estimateKbps = 5000;
    EXPECT_EQ(planFor({middle}).middleKbps, 2500);

    Input climbing = settled("b", 2, 9000);
    climbing.candidateTier = 1;
    climbing.stableMs = 0;
    EXPECT_EQ(planFor({climbing}).middleKbps, 840);  // probe 1400 × 0.6
}

TEST(TierPlanner, ProxyClientRateIsTheLowestProxyEstimate) {
    Input a = settled("a", 2, 900);
    Input b = settled("b", 2, 700);
    a.stableMs = b.stableMs = 0;
    const auto plan = planFor({a, b, settled("c", 0, 9000)});
    EXPECT_EQ(plan.proxyClientKbps, 700);
    EXPECT_EQ(plan.mainKbps, 9000);
}

TEST(TierPlanner, NeverPlansAMainRateOfZeroOrLess) {
    Input standby = settled("a", 0, 1000);
    standby.quality = StreamQuality::full;
    standby.standbyKbps = 1500;
    EXPECT_EQ(planFor({standby}).mainKbps, TierPlanner::lowestPlannedKbps);
    EXPECT_EQ(planFor({}, {}, 0).mainKbps, TierPlanner::lowestPlannedKbps);
    EXPECT_EQ(planFor({}, {}, -20).mainKbps, TierPlanner::lowestPlannedKbps);
}

TEST(TierPlanner, LaterInputWithTheSameIdWins) {
    const auto plan = planFor({settled("a", 0, 9000), settled("a", 2, 100)});
    EXPECT_EQ(plan.assignments.size(), 1u);
    EXPECT_EQ(plan.assignments.at("a"), 2);
}

TEST(TierPlanner, StudioProfileScalesWithTheMainBitrate) {
    const auto big = TierPlanner::studioProfile(50000, 14000);
    EXPECT_EQ(big.mainMinimumKbps, 15000);
    EXPECT_EQ(big.mainUpgradeKbps, 19500);
    EXPECT_EQ(big.mainProbeKbps, 19500);
    EXPECT_EQ(big.middleMaximumKbps, 14000);
    EXPECT_FALSE(big.middleIsSmall);
    for (int m : {0, 20000, 39999}) {
        const auto small = TierPlanner::studioProfile(m, 8000);
        EXPECT_EQ(small.mainMinimumKbps, 12000);
        EXPECT_EQ(small.mainUpgradeKbps, 15600);
        EXPECT_EQ(small.mainProbeKbps, 15600);
    }
    EXPECT_EQ(TierPlanner::studioProfile(40000, 8000).mainMinimumKbps, 12000);
    EXPECT_GT(TierPlanner::studioProfile(std::numeric_limits<int>::max(), 8000).mainUpgradeKbps, 0);
}

TEST(TierPlanner, MinimumPerTier) {
    EXPECT_EQ(TierPlanner::defaultMinimumKbps(0), 2000);
    EXPECT_EQ(TierPlanner::defaultMinimumKbps(1), 1500);
    EXPECT_EQ(TierPlanner::defaultMinimumKbps(2), 0);
    EXPECT_EQ(TierPlanner::studioProfile(50000, 1).minimumKbps(0), 15000);
}

}  // namespace
}  // namespace kelvora
