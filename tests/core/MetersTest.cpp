#include "core/JitterEstimator.h"
#include "core/RateMeter.h"
#include "core/SampleWindow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

using namespace kelvora;

namespace {
constexpr uint64_t ms(uint64_t value) {
    return value * 1'000'000;
}
}  // namespace

TEST(RateMeter, ExpiredEventsLeaveTheWindow) {
    RateMeter meter(1.0);
    meter.record(1000, ms(100));
    meter.record(1000, ms(1200));
    EXPECT_DOUBLE_EQ(meter.rate(ms(1300)), 1000);
    EXPECT_EQ(meter.count(), 1u);
}

TEST(RateMeter, EarlyQueriesKeepEveryEventAndReportOverTheFullWindow) {
    RateMeter meter(1.0);
    meter.record(100, 0);
    meter.record(100, ms(200));
    EXPECT_DOUBLE_EQ(meter.rate(ms(500)), 200);
    EXPECT_DOUBLE_EQ(meter.eventRate(ms(500)), 2);

    RateMeter half(0.5);
    half.record(10, ms(100));
    EXPECT_DOUBLE_EQ(half.rate(ms(200)), 20);
}

TEST(RateMeter, SteadyStreamOverManyWindowsKeepsAnExactRunningSum) {
    RateMeter meter(1.0);
    for (uint64_t frame = 0; frame < 10'000; ++frame) {
        meter.record(static_cast<int>(frame % 7), frame * ms(10));
    }
    // The last second holds the frames 9899...9999: frame 9899 sits exactly on the cut-off and stays.
    uint64_t now = 9999 * ms(10);
    int64_t expected = 0;
    for (uint64_t frame = 9899; frame < 10'000; ++frame) {
        expected += static_cast<int64_t>(frame % 7);
    }
    EXPECT_EQ(meter.count(), 101u);
    EXPECT_DOUBLE_EQ(meter.rate(now), static_cast<double>(expected));
    EXPECT_DOUBLE_EQ(meter.eventRate(now), 101);
}

TEST(RateMeter, RejectsAWindowThatWouldDivideByZero) {
    EXPECT_THROW(RateMeter(0.0), std::invalid_argument);
    EXPECT_THROW(RateMeter(-1.0), std::invalid_argument);
    EXPECT_THROW(RateMeter(std::numeric_limits<double>::quiet_NaN()), std::invalid_argument);
    EXPECT_THROW(RateMeter(std::numeric_limits<double>::infinity()), std::invalid_argument);
    EXPECT_EQ(RateMeter(0.25).window(), ms(250));
}

TEST(SampleWindow, PercentilesInterpolateBetweenRanks) {
    SampleWindow window(32);
    for (int value = 20; value >= 1; --value) {
        window.add(value);
    }
    EXPECT_NEAR(*window.p95(), 19.05, 1e-9);
    EXPECT_DOUBLE_EQ(*window.percentile(-3), 1);
    EXPECT_DOUBLE_EQ(*window.percentile(7), 20);
    EXPECT_DOUBLE_EQ(*window.percentile(std::numeric_limits<double>::quiet_NaN()), 1);
    EXPECT_DOUBLE_EQ(*window.minimum(), 1);
    EXPECT_DOUBLE_EQ(*window.mean(), 10.5);
    // Asking for a percentile does not reorder the samples.
    EXPECT_DOUBLE_EQ(*window.last(), 1);
    EXPECT_DOUBLE_EQ(window.values().front(), 20);
}

TEST(SampleWindow, MedianOfEvenCountAndNonFiniteValuesIgnored) {
    SampleWindow window(10);
    for (double value : {3.0, 1.0, 2.0, 10.0}) {
        window.add(value);
    }
    window.add(std::nan(""));
    window.add(std::numeric_limits<double>::infinity());
    window.add(-std::numeric_limits<double>::infinity());
    EXPECT_EQ(window.count(), 4u);
    EXPECT_DOUBLE_EQ(*window.median(), 2.5);
    EXPECT_DOUBLE_EQ(*window.last(), 10);
}

TEST(SampleWindow, KeepsTheNewestValuesUpToCapacity) {
    SampleWindow window(3);
    for (double value : {1.0, 2.0, 3.0, 4.0}) {
        window.add(value);
    }
    EXPECT_EQ(window.values(), (std::vector<double>{2, 3, 4}));
    for (double value : {5.0, 6.0, 7.0, 8.0}) {
        window.add(value);
    }
    EXPECT_EQ(window.values(), (std::vector<double>{6, 7, 8}));
    EXPECT_DOUBLE_EQ(*window.minimum(), 6);
    EXPECT_DOUBLE_EQ(*window.median(), 7);
}

TEST(SampleWindow, EmptyWindowAnswersNothing) {
    SampleWindow window(4);
    window.add(5);
    window.removeAll();
    EXPECT_TRUE(window.isEmpty());
    EXPECT_FALSE(window.last());
    EXPECT_FALSE(window.median());
    EXPECT_FALSE(window.minimum());
    EXPECT_FALSE(window.mean());
    window.add(9);
    EXPECT_DOUBLE_EQ(*window.percentile(0.3), 9);

    SampleWindow none(0);
    none.add(1);
    EXPECT_TRUE(none.isEmpty());
    SampleWindow negative(-5);
    negative.add(1);
    EXPECT_TRUE(negative.isEmpty());
}

TEST(JitterEstimator, FirstUpdateOnlyStoresTheTransit) {
    JitterEstimator jitter;
    jitter.update(ms(1000), ms(1040));
    EXPECT_DOUBLE_EQ(jitter.jitterMs(), 0);
    EXPECT_DOUBLE_EQ(*jitter.lastTransit(), 40);
}

TEST(JitterEstimator, MovesBySixteenthOfTheTransitChange) {
    JitterEstimator jitter;
    jitter.update(ms(1000), ms(1040));
    jitter.update(ms(1033), ms(1089));  // transit 56: |56 - 40| = 16 -> 1
    EXPECT_DOUBLE_EQ(jitter.jitterMs(), 1);
    jitter.update(ms(1066), ms(1106));  // transit 40: |40 - 56| = 16 -> 1 + 15/16
    EXPECT_DOUBLE_EQ(jitter.jitterMs(), 1 + 15.0 / 16);
    jitter.reset();
    EXPECT_FALSE(jitter.lastTransit());
    EXPECT_DOUBLE_EQ(jitter.jitterMs(), 0);
}
