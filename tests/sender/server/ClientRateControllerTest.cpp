#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "sender/server/ClientRateController.h"

namespace kelvora {
namespace {

constexpr uint64_t kStart = 1'000'000'000'000;  // an arbitrary uptime, far from zero
constexpr uint64_t ms(double milliseconds) {
    return kStart + static_cast<uint64_t>(milliseconds * 1e6);
}

// One second in which the viewer received `bytes` (1 250 000 bytes: 10 000 kbit/s) at the given latency.
ReceiverReportMessage report(int64_t bytes = 1'250'000, int lost = 0, double latencyMs = 40) {
    ReceiverReportMessage result{};
    result.intervalMs = 1000;
    result.framesReceived = 30;
    result.bytesReceived = bytes;
    result.framesLost = lost;
    result.latencyMedianMs = latencyMs;
    return result;
}

ClientRateController controller(int start = 10000, bool tolerant = false, int minimum = 300) {
    ClientRateController result(start, minimum, 40000, kStart);
    result.isTolerant = tolerant;
    return result;
}

TEST(ClientRateController, KeepsTheEstimateWithinItsBounds) {
    EXPECT_EQ(ClientRateController(50000, 300, 40000, kStart).estimateKbps, 40000);
    EXPECT_EQ(ClientRateController(100, 300, 40000, kStart).estimateKbps, 300);
    auto bounded = controller();
    bounded.setBounds(300, 8000);
    EXPECT_EQ(bounded.estimateKbps, 8000);
}

TEST(ClientRateController, JudgesNoReportInTheFirstTwoSecondsUnlessCongested) {
    auto normal = controller();
    EXPECT_FALSE(normal.update(report(1'250'000, 5), 0, 8000, false, false, ms(1600)));
    EXPECT_TRUE(normal.latencyBaseline.isEmpty());
    // With congestion counted the same report's counters are judged: a lost frame is severe.
    EXPECT_TRUE(normal.update(report(1'250'000, 5), 1, 8000, false, false, ms(1700)));
    EXPECT_EQ(normal.estimateKbps, 8500);

    // Only the tolerant increase check can already fire (stable for more than 1500 ms).
    auto tolerant = controller(10000, true);
    EXPECT_TRUE(tolerant.update(report(1'250'000, 5), 0, 8000, false, false, ms(1600)));
    EXPECT_EQ(tolerant.estimateKbps, 12700);
}

TEST(ClientRateController, RisesAfterAStableStretchByModeTruncatingFirst) {
    auto after = [](int start, bool tolerant, bool onProxy, double nowMs) {
        auto rising = controller(start, tolerant);
        rising.lastIncrease = ms(1500);
        rising.update(report(), 0, 5000, false, onProxy, ms(nowMs));
        return rising.estimateKbps;
    };
    EXPECT_EQ(after(10000, false, false, 3001), 11700);
    EXPECT_EQ(after(10000, true, false, 3001), 12700);
    EXPECT_EQ(after(10000, false, true, 3001), 12700);
    EXPECT_EQ(after(36000, false, false, 3001), 40000);
    EXPECT_EQ(after(6000, false, false, 3001), 7099);  // 6899.99... is truncated before the 200 are added
    EXPECT_EQ(after(10000, false, false, 3000), 10000);
}

TEST(ClientRateController, OneLostFrameIsSevereOnlyInNormalMode) {
    auto normal = controller();
    EXPECT_TRUE(normal.update(report(1'250'000, 1), 0, 8000, false, false, ms(2500)));
    EXPECT_EQ(normal.estimateKbps, 9000);  // the received 10000 kbit/s × 0.9

    // Tolerant: a mild problem the path absorbed keeps the estimate but restarts the stable stretch.
    auto tolerant = controller(10000, true);
    EXPECT_FALSE(tolerant.update(report(1'250'000, 1), 0, 8000, false, false, ms(2500)));
    EXPECT_EQ(tolerant.stableSince, ms(2500));
    EXPECT_TRUE(tolerant.update(report(1'250'000, 2), 0, 8000, false, false, ms(2600)));
    EXPECT_EQ(tolerant.estimateKbps, 9000);
}

TEST(ClientRateController, HoldsBetweenDecreases) {
    auto once = controller();
    EXPECT_TRUE(once.update(std::nullopt, 2, 8000, false, false, ms(3000)));
    EXPECT_EQ(once.estimateKbps, 7500);
    EXPECT_FALSE(once.update(std::nullopt, 2, 8000, false, false, ms(4000)));
    EXPECT_EQ(once.lastProblem, ms(4000));
    EXPECT_TRUE(once.update(std::nullopt, 2, 8000, false, false, ms(5600)));
    EXPECT_EQ(once.estimateKbps, 5625);
}

TEST(ClientRateController, CongestionFallsToTheReceivedRateButNotBelowAThird) {
    auto congested = [](int start, int64_t bytes, int events, bool tolerant = false) {
        auto falling = controller(start, tolerant);
        falling.update(report(bytes), events, 9000, false, false, ms(3000));
        return falling.estimateKbps;
    };
    EXPECT_EQ(congested(10000, 500'000, 1), 3600);    // 4000 kbit/s received × 0.9
    EXPECT_EQ(congested(12000, 125'000, 1), 4000);    // a third of the old estimate
    EXPECT_EQ(congested(10000, 1'000'000, 2), 8500);  // received nearly all that was offered
    // Tolerant: two events are a hiccup the path absorbed, three are severe.
    EXPECT_EQ(congested(10000, 1'000'000, 2, true), 10000);
    EXPECT_EQ(congested(10000, 1'000'000, 3, true), 8500);
}

TEST(ClientRateController, RisingLatencyIsAProblem) {
    auto latency = controller();
    latency.update(report(1'250'000, 0, 40), 0, 8000, false, false, ms(2500));
    EXPECT_TRUE(latency.update(report(1'250'000, 0, 66), 0, 8000, false, false, ms(3500)));
    EXPECT_EQ(latency.estimateKbps, 9000);
}

TEST(ClientRateController, CapacityMeasurementLowersByModeAndRaisesWhenStable) {
    for (bool congested : {false, true}) {
        auto high = controller();
        EXPECT_FALSE(high.applyCapacityMeasurement(20000, congested, ms(1500)));
        EXPECT_TRUE(high.applyCapacityMeasurement(20000, congested, ms(2100)));
        EXPECT_EQ(high.estimateKbps, 14000);
    }
    auto after = [](bool tolerant, bool congested, double capacity) {
        auto low = controller(10000, tolerant);
        low.applyCapacityMeasurement(capacity, congested, ms(500));
        return low.estimateKbps;
    };
    EXPECT_EQ(after(false, true, 10000), 8500);
    EXPECT_EQ(after(false, false, 10000), 10000);  // 8500 is not below 60 %
    EXPECT_EQ(after(false, false, 6000), 5100);
    EXPECT_EQ(after(true, true, 6000), 10000);  // 5400 is not below half
    EXPECT_EQ(after(true, true, 5000), 4500);
    EXPECT_EQ(after(true, false, 1000), 10000);
    EXPECT_EQ(after(false, true, 100), 300);
}

TEST(ClientRateController, FailedProbesAndCollapsesStayAboveTheMinimum) {
    auto lowered = controller(10000, false, 2000);
    lowered.probeFailed(ms(100));
    EXPECT_EQ(lowered.estimateKbps, 6000);
    lowered.confirmCollapse(340, ms(200));
    EXPECT_EQ(lowered.estimateKbps, 2000);
    EXPECT_EQ(lowered.stableSince, ms(200));
}

TEST(ClientRateController, DistrustsTheViewersFigures) {
    ReceiverReportMessage negative = report();
    negative.framesLost = -3;
    negative.decodeErrors = -1;
    auto calm = controller();
    EXPECT_FALSE(calm.update(negative, 0, 8000, false, false, ms(2500)));
    EXPECT_EQ(calm.lastProblem, 0u);

    ReceiverReportMessage absurd = report(std::numeric_limits<int64_t>::max());
    absurd.framesDropped = std::numeric_limits<int>::max();
    absurd.framesLate = std::numeric_limits<int>::max();
    absurd.latencyMedianMs = std::numeric_limits<double>::infinity();
    auto shaken = controller();
    EXPECT_TRUE(shaken.update(absurd, 3, 8000, false, false, ms(2500)));
    EXPECT_EQ(shaken.estimateKbps, 8500);
    absurd.latencyMedianMs = std::nan("");
    EXPECT_FALSE(shaken.update(absurd, 0, 8000, false, false, ms(2600)));
    EXPECT_FALSE(shaken.applyCapacityMeasurement(std::nan(""), true, ms(2700)));
}

}  // namespace
}  // namespace kelvora
