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

ReceiverReportMessage cleanReport(int64_t bytesReceived = 1'250'000, double latencyMs = 40) {
    ReceiverReportMessage report{};
    report.intervalMs = 1000;
    report.framesReceived = 30;
    report.framesDecoded = 30;
    report.bytesReceived = bytesReceived;
    report.latencyMedianMs = latencyMs;
    return report;
}

ReceiverReportMessage lossyReport(int64_t lost) {
    ReceiverReportMessage report = cleanReport();
    report.framesLost = lost;
    return report;
}

TEST(ClientRateController, ClampsTheStartIntoItsBounds) {
    EXPECT_EQ(ClientRateController(50000, 300, 40000, kStart).estimateKbps, 40000);
    EXPECT_EQ(ClientRateController(100, 300, 40000, kStart).estimateKbps, 300);

    ClientRateController controller(10000, 300, 40000, kStart);
    controller.setBounds(300, 8000);
    EXPECT_EQ(controller.estimateKbps, 8000);
    controller.setBounds(9000, 20000);
    EXPECT_EQ(controller.estimateKbps, 9000);
}

TEST(ClientRateController, IgnoresReportsOfTheFirstTwoSecondsUnlessCongested) {
    ClientRateController controller(10000, 300, 40000, kStart);
    EXPECT_FALSE(controller.update(lossyReport(5), 0, 8000, false, false, ms(1000)));
    EXPECT_EQ(controller.estimateKbps, 10000);
    EXPECT_TRUE(controller.latencyBaseline.isEmpty());

    // With congestion counted, the same report's counters are judged: a lost frame is severe.
    EXPECT_TRUE(controller.update(lossyReport(5), 1, 8000, false, false, ms(1500)));
    EXPECT_LT(controller.estimateKbps, 10000);
    EXPECT_TRUE(controller.latencyBaseline.isEmpty());
}

TEST(ClientRateController, TolerantModeMayRiseWithinTheFirstTwoSeconds) {
    ClientRateController normal(10000, 300, 40000, kStart);
    EXPECT_FALSE(normal.update(cleanReport(), 0, 8000, false, false, ms(1600)));
    EXPECT_EQ(normal.estimateKbps, 10000);

    ClientRateController tolerant(10000, 300, 40000, kStart);
    tolerant.isTolerant = true;
    EXPECT_TRUE(tolerant.update(cleanReport(), 0, 8000, false, false, ms(1600)));
    EXPECT_EQ(tolerant.estimateKbps, 12700);
}

TEST(ClientRateController, RisesAfterAStableStretchWithTheRightFactor) {
    auto afterStableStretch = [](bool tolerant, bool onProxy, int maximum) {
        ClientRateController controller(10000, 300, maximum, kStart);
        controller.isTolerant = tolerant;
        controller.lastIncrease = ms(1500);
        controller.update(cleanReport(), 0, 8000, false, onProxy, ms(3001));
        return controller.estimateKbps;
    };
    EXPECT_EQ(afterStableStretch(false, false, 40000), 11700);
    EXPECT_EQ(afterStableStretch(true, false, 40000), 12700);
    EXPECT_EQ(afterStableStretch(false, true, 40000), 12700);
    EXPECT_EQ(afterStableStretch(false, false, 11000), 11000);

    // Exactly at the thresholds nothing happens yet.
    ClientRateController early(10000, 300, 40000, kStart);
    early.lastIncrease = ms(1500);
    EXPECT_FALSE(early.update(cleanReport(), 0, 8000, false, false, ms(3000)));
    EXPECT_EQ(early.estimateKbps, 10000);
}

TEST(ClientRateController, TruncatesTheProductBeforeAddingTheStep) {
    ClientRateController controller(6000, 300, 40000, kStart);
    controller.update(cleanReport(), 0, 5000, false, false, ms(3001));
    EXPECT_EQ(controller.estimateKbps, 7099);
}

TEST(ClientRateController, OneLostFrameIsSevereOnlyInNormalMode) {
    ClientRateController normal(10000, 300, 40000, kStart);
    EXPECT_TRUE(normal.update(lossyReport(1), 0, 8000, false, false, ms(2500)));
    EXPECT_EQ(normal.estimateKbps, 9000);  // the measured 10000 kbit/s × 0.9

    // Tolerant: one lost frame is mild and the path took what was offered, so the estimate stays but the
    // stable stretch starts over.
    ClientRateController tolerant(10000, 300, 40000, kStart);
    tolerant.isTolerant = true;
    EXPECT_FALSE(tolerant.update(lossyReport(1), 0, 8000, false, false, ms(2500)));
    EXPECT_EQ(tolerant.estimateKbps, 10000);
    EXPECT_EQ(tolerant.stableSince, ms(2500));
    EXPECT_TRUE(tolerant.update(lossyReport(2), 0, 8000, false, false, ms(2600)));
    EXPECT_LT(tolerant.estimateKbps, 10000);
}

TEST(ClientRateController, HoldsBetweenDecreases) {
    ClientRateController once(10000, 300, 40000, kStart);
    EXPECT_TRUE(once.update(std::nullopt, 2, 8000, false, false, ms(3000)));
    EXPECT_EQ(once.estimateKbps, 7500);
    EXPECT_FALSE(once.update(std::nullopt, 2, 8000, false, false, ms(4000)));
    EXPECT_EQ(once.estimateKbps, 7500);
    EXPECT_EQ(once.lastProblem, ms(4000));

    ClientRateController twice(10000, 300, 40000, kStart);
    twice.update(std::nullopt, 2, 8000, false, false, ms(3000));
    EXPECT_TRUE(twice.update(std::nullopt, 2, 8000, false, false, ms(4600)));
    EXPECT_EQ(twice.estimateKbps, 5625);
}

TEST(ClientRateController, CongestionFallsToTheReceivedRateButNotBelowAThird) {
    // 500 000 bytes in a second: 4000 kbit/s received against 9000 offered.
    ClientRateController controller(10000, 300, 40000, kStart);
    controller.update(cleanReport(500'000), 1, 9000, false, false, ms(3000));
    EXPECT_EQ(controller.estimateKbps, 3600);

    ClientRateController floor(12000, 300, 40000, kStart);
    floor.update(cleanReport(125'000), 1, 9000, false, false, ms(3000));  // 1000 kbit/s received
    EXPECT_EQ(floor.estimateKbps, 4000);

    // When the viewer got nearly all that was offered, severe congestion only costs 15 %.
    ClientRateController near(10000, 300, 40000, kStart);
    near.update(cleanReport(1'000'000), 2, 9000, false, false, ms(3000));
    EXPECT_EQ(near.estimateKbps, 8500);
}

TEST(ClientRateController, RisingLatencyIsAProblem) {
    ClientRateController controller(10000, 300, 40000, kStart);
    controller.update(cleanReport(1'250'000, 40), 0, 8000, false, false, ms(2500));
    EXPECT_EQ(controller.estimateKbps, 10000);
    EXPECT_TRUE(controller.update(cleanReport(1'250'000, 66), 0, 8000, false, false, ms(3500)));
    EXPECT_LT(controller.estimateKbps, 10000);
}

TEST(ClientRateController, CapacityAboveTheEstimateRaisesOnlyAfterAStableStretch) {
    for (bool congested : {false, true}) {
        ClientRateController controller(10000, 300, 40000, kStart);
        EXPECT_FALSE(controller.applyCapacityMeasurement(20000, congested, ms(1500)));
        EXPECT_EQ(controller.estimateKbps, 10000);
        EXPECT_TRUE(controller.applyCapacityMeasurement(20000, congested, ms(2100)));
        EXPECT_EQ(controller.estimateKbps, 14000);
    }
}

TEST(ClientRateController, CapacityLowersByModeAndCongestion) {
    auto after = [](bool tolerant, bool congested, double capacity) {
        ClientRateController controller(10000, 300, 40000, kStart);
        controller.isTolerant = tolerant;
        controller.applyCapacityMeasurement(capacity, congested, ms(500));
        return controller.estimateKbps;
    };
    EXPECT_EQ(after(false, true, 10000), 8500);
    EXPECT_EQ(after(false, false, 10000), 10000);  // 8500 is not below 60 %
    EXPECT_EQ(after(false, false, 6000), 5100);
    EXPECT_EQ(after(true, true, 6000), 10000);  // 5400 is not below half
    EXPECT_EQ(after(true, true, 5000), 4500);
    EXPECT_EQ(after(true, false, 1000), 10000);
    EXPECT_EQ(after(false, true, 100), 300);  // never below the minimum
}

TEST(ClientRateController, RemembersRecentCapacity) {
    ClientRateController controller(10000, 300, 40000, kStart);
    EXPECT_EQ(controller.recentCapacity(ms(100), 30000), std::nullopt);
    controller.applyCapacityMeasurement(12000, false, ms(1000));
    EXPECT_EQ(controller.recentCapacity(ms(31000), 30000), 12000.0);
    EXPECT_EQ(controller.recentCapacity(ms(31001), 30000), std::nullopt);
}

TEST(ClientRateController, FailedProbesCollapsesAndLimitsStayAboveTheMinimum) {
    ClientRateController controller(10000, 2000, 40000, kStart);
    controller.probeFailed(ms(100));
    EXPECT_EQ(controller.estimateKbps, 6000);
    EXPECT_EQ(controller.lastDecrease, ms(100));
    controller.confirmCollapse(340, ms(200));
    EXPECT_EQ(controller.estimateKbps, 2000);
    EXPECT_EQ(controller.stableSince, ms(200));
    controller.limitEstimate(50000);
    EXPECT_EQ(controller.estimateKbps, 2000);
    controller.probeFailed(ms(300));
    EXPECT_EQ(controller.estimateKbps, 2000);
}

TEST(ClientRateController, NegativeCountersFromAViewerCountAsNothing) {
    ReceiverReportMessage report = cleanReport();
    report.framesLost = -3;
    report.framesDropped = -100;
    report.decodeErrors = -1;
    ClientRateController controller(10000, 300, 40000, kStart);
    EXPECT_FALSE(controller.update(report, 0, 8000, false, false, ms(2500)));
    EXPECT_EQ(controller.estimateKbps, 10000);
    EXPECT_EQ(controller.lastProblem, 0u);
}

TEST(ClientRateController, AbsurdReportFiguresNeitherWrapNorCrash) {
    constexpr auto huge = std::numeric_limits<decltype(ReceiverReportMessage{}.framesDropped)>::max();
    ReceiverReportMessage report = cleanReport(std::numeric_limits<decltype(report.bytesReceived)>::max());
    report.framesDropped = huge;
    report.framesLate = huge;
    report.latencyMedianMs = std::numeric_limits<double>::infinity();
    ClientRateController controller(10000, 300, 40000, kStart);
    EXPECT_TRUE(controller.update(report, 3, 8000, false, false, ms(2500)));
    EXPECT_GE(controller.estimateKbps, 300);
    EXPECT_LE(controller.estimateKbps, 10000);

    ReceiverReportMessage nan = cleanReport();
    nan.latencyMedianMs = std::nan("");
    EXPECT_FALSE(controller.update(nan, 0, 8000, false, false, ms(2600)));
    EXPECT_FALSE(controller.applyCapacityMeasurement(std::nan(""), true, ms(2700)));
}

}  // namespace
}  // namespace kelvora
