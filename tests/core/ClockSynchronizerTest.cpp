#include "core/ClockSynchronizer.h"

#include <gtest/gtest.h>

using namespace kelvora;

TEST(ClockSynchronizer, OneExchangeGivesRoundTripAndOffset) {
    ClockSynchronizer sync(24);
    auto sample = sync.add(1000, 5000, 5200, 1400);
    ASSERT_TRUE(sample);
    EXPECT_EQ(*sample, (ClockSynchronizer::Sample{3900, 200, 1400}));
    EXPECT_DOUBLE_EQ(sync.lastRttMilliseconds(), 0.0002);
    EXPECT_EQ(sync.bestOffset(), 3900);
    EXPECT_EQ(sync.localTime(10'000), 6100u);
    EXPECT_FALSE(sync.isSynchronized());
}

TEST(ClockSynchronizer, SenderClockBehindGivesANegativeOffsetHalvedTowardZero) {
    ClockSynchronizer sync(24);
    // (t2 + t3) - (t1 + t4) = -1999999; halved toward zero, not down.
    auto sample = sync.add(10'000'000, 9'500'000, 9'500'001, 11'000'000);
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->offsetNanoseconds, -999'999);
    EXPECT_EQ(sample->rttNanoseconds, 999'999);
    // A sender time converts across the offset without wrapping trouble.
    EXPECT_EQ(sync.localTime(5'000'000), 5'999'999u);
}

TEST(ClockSynchronizer, RejectsNegativeAndOverlongRoundTripsWithoutChange) {
    ClockSynchronizer sync(24);
    sync.add(1000, 5000, 5200, 1400);
    // Server claims to have spent longer than the whole round trip.
    EXPECT_FALSE(sync.add(1000, 5000, 6000, 1400));
    // Round trip 5 s plus 1 ns, then exactly the limit.
    EXPECT_FALSE(sync.add(0, 10, 10, 5'000'000'001));
    EXPECT_EQ(sync.sampleCount(), 1);
    EXPECT_DOUBLE_EQ(sync.lastRttMilliseconds(), 0.0002);
    EXPECT_TRUE(sync.add(0, 10, 10, 4'999'999'999));
    EXPECT_EQ(sync.sampleCount(), 2);
}

TEST(ClockSynchronizer, SmallestRoundTripWinsOldestOnTieAndAgesOut) {
    ClockSynchronizer sync(24);
    sync.add(0, 1000, 1000, 100);   // rtt 100, offset 950
    sync.add(0, 2000, 2000, 100);   // rtt 100, offset 1950: tie, the older stays best
    sync.add(0, 3000, 3000, 5000);  // rtt 5000
    EXPECT_EQ(sync.bestOffset(), 950);
    EXPECT_DOUBLE_EQ(sync.minimumRttMilliseconds(), 0.0001);
    for (int i = 0; i < 22; ++i) {
        sync.add(0, 7000, 7000, 400);  // rtt 400, offset 6800
    }
    // 25 accepted: the first one has left, its twin is now the best.
    EXPECT_EQ(sync.sampleCount(), 24);
    EXPECT_EQ(sync.samples().front().offsetNanoseconds, 1950);
    EXPECT_EQ(sync.bestOffset(), 1950);
    sync.add(0, 7000, 7000, 400);
    EXPECT_EQ(sync.bestOffset(), 6800);
}

TEST(ClockSynchronizer, LatencyNeedsThreeSamplesAndMayBeNegative) {
    ClockSynchronizer sync(24);
    EXPECT_FALSE(sync.localTime(1));
    EXPECT_DOUBLE_EQ(sync.minimumRttMilliseconds(), -1.0);
    sync.add(1000, 5000, 5200, 1400);
    sync.add(1000, 5000, 5200, 1400);
    EXPECT_TRUE(sync.localTime(1));
    EXPECT_FALSE(sync.latencyMilliseconds(5000, 2000));
    sync.add(1000, 5000, 5200, 1400);
    ASSERT_TRUE(sync.isSynchronized());
    // Captured at sender 9'000'000 = local 8'996'100; now local 10'996'100 -> 2 ms.
    EXPECT_DOUBLE_EQ(*sync.latencyMilliseconds(9'000'000, 10'996'100), 2.0);
    EXPECT_DOUBLE_EQ(*sync.latencyMilliseconds(9'000'000, 7'996'100), -1.0);

    sync.reset();
    EXPECT_EQ(sync.sampleCount(), 0);
    EXPECT_DOUBLE_EQ(sync.lastRttMilliseconds(), -1.0);
    EXPECT_FALSE(sync.bestOffset());
}
