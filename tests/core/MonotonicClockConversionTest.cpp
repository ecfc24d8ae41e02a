#include "core/MonotonicClock.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <limits>

using namespace kelvora;

TEST(MonotonicClockConversion, PresentationTimesBecomeNanosecondsTruncated) {
    EXPECT_EQ(MonotonicClock::nanoseconds(3, 1, 2), 1'500'000'000u);
    EXPECT_EQ(MonotonicClock::nanoseconds(1, 1, 3), 333'333'333u);
    // A 90 kHz stream time base, and one large enough to overflow 64-bit intermediate products.
    EXPECT_EQ(MonotonicClock::nanoseconds(900'000, 1, 90'000), 10'000'000'000u);
    EXPECT_EQ(MonotonicClock::nanoseconds(4'000'000'000'000'000'000, 1, 1'000'000'000),
              4'000'000'000'000'000'000u);
    EXPECT_EQ(MonotonicClock::nanoseconds(timeval{12, 345'678}), 12'345'678'000u);
}

TEST(MonotonicClockConversion, UnusableTimesGiveTheCurrentReading) {
    auto isNow = [](uint64_t converted) {
        // The reading was taken between the two surrounding calls.
        return converted > 0 && converted <= MonotonicClock::now();
    };
    uint64_t before = MonotonicClock::now();
    for (uint64_t converted : {
             MonotonicClock::nanoseconds(0, 1, 1000),
             MonotonicClock::nanoseconds(-5, 1, 1000),
             MonotonicClock::nanoseconds(std::numeric_limits<int64_t>::min(), 1, 90'000),  // no time stamp
             MonotonicClock::nanoseconds(5, 1, 0),
             MonotonicClock::nanoseconds(5, 0, 1),
             MonotonicClock::nanoseconds(1, 1, 3'000'000'000),  // below one nanosecond
             MonotonicClock::nanoseconds(std::numeric_limits<int64_t>::max(), 1000, 1),
             MonotonicClock::nanoseconds(timeval{0, 0}),
             MonotonicClock::nanoseconds(timeval{-1, 5}),
             MonotonicClock::nanoseconds(timeval{1, 2'000'000}),
         }) {
        EXPECT_GE(converted, before);
        EXPECT_TRUE(isNow(converted));
    }
}
