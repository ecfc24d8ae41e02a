#include <gtest/gtest.h>

#include "receiver/session/FrameRateLimiter.h"
#include "receiver/session/PlaybackStatistics.h"
#include "receiver/session/PlayoutQueue.h"

namespace kelvora {
namespace {

constexpr uint64_t ms = 1'000'000;

FrameRateLimiter::Inputs at60(std::optional<double> receiverMs = std::nullopt, double gapMs = 17) {
    FrameRateLimiter::Inputs inputs;
    inputs.framesPerSecond = 60;
    inputs.receiverMedianMs = receiverMs;
    inputs.longestGapMs = gapMs;
    return inputs;
}

TEST(FrameRateLimiter, SlowDecoderAt60FpsAsksFor30) {
    FrameRateLimiter limiter;
    EXPECT_EQ(limiter.evaluate(at60(13.3), 1000 * ms), std::nullopt);
    auto change = limiter.evaluate(at60(13.4), 2000 * ms);
    ASSERT_TRUE(change);
    EXPECT_EQ(*change, (FrameRateLimiter::Change{30, "Decoder 13 ms"}));
    EXPECT_EQ(limiter.requestedMaxFps(), 30);
    // A limit in force is not asked for again.
    EXPECT_EQ(limiter.evaluate(at60(20), 3000 * ms), std::nullopt);
}

TEST(FrameRateLimiter, DecoderThresholdFollowsTheFrameIntervalButNotBelow12Ms) {
    // Above 66.7 frames/s the interval's 80 % falls under 12 ms, which then holds.
    FrameRateLimiter fast;
    auto inputs = at60(11.9);
    inputs.framesPerSecond = 100;
    EXPECT_EQ(fast.evaluate(inputs, 1000 * ms), std::nullopt);
    inputs.receiverMedianMs = 12.1;
    EXPECT_TRUE(fast.evaluate(inputs, 2000 * ms));
}

TEST(FrameRateLimiter, StallsAt60FpsLimitAndFiveCalmSecondsLiftIt) {
    FrameRateLimiter limiter;
    EXPECT_EQ(limiter.evaluate(at60(std::nullopt, 150), 1000 * ms), std::nullopt);
    auto limit = limiter.evaluate(at60(std::nullopt, 151), 2000 * ms);
    ASSERT_TRUE(limit);
    EXPECT_EQ(*limit, (FrameRateLimiter::Change{30, "Hänger 151 ms"}));

    // The limit halves the rate; calm ticks follow. Exactly 5 s after the last reason is not yet enough.
    auto calm = at60();
    calm.framesPerSecond = 30;
    for (uint64_t second = 3; second <= 7; ++second) {
        EXPECT_EQ(limiter.evaluate(calm, second * 1000 * ms), std::nullopt) << second;
    }
    auto lift = limiter.evaluate(calm, 7001 * ms);
    ASSERT_TRUE(lift);
    EXPECT_EQ(*lift, (FrameRateLimiter::Change{0, "5 s ruhig"}));
    EXPECT_EQ(limiter.requestedMaxFps(), 0);
}

TEST(FrameRateLimiter, AReasonAtLowRatesSetsNoLimitButKeepsOneInForce) {
    FrameRateLimiter limiter;
    ASSERT_TRUE(limiter.evaluate(at60(std::nullopt, 400), 1000 * ms));
    // At 20 frames/s a stall must exceed 200 ms; 250 ms is a reason that restarts the calm time.
    auto slow = at60(std::nullopt, 250);
    slow.framesPerSecond = 20;
    EXPECT_EQ(limiter.evaluate(slow, 5000 * ms), std::nullopt);
    auto calm = at60();
    calm.framesPerSecond = 20;
    EXPECT_EQ(limiter.evaluate(calm, 9000 * ms), std::nullopt);
    EXPECT_EQ(limiter.requestedMaxFps(), 30);
    EXPECT_TRUE(limiter.evaluate(calm, 10001 * ms));

    FrameRateLimiter fresh;
    auto reasonAt40 = at60(50, 400);
    reasonAt40.framesPerSecond = 40;
    EXPECT_EQ(fresh.evaluate(reasonAt40, 1000 * ms), std::nullopt);
    EXPECT_EQ(fresh.requestedMaxFps(), 0);
}

TEST(FrameRateLimiter, NoStallReasonWhileABridgeCoversThePause) {
    FrameRateLimiter limiter;
    auto inputs = at60(std::nullopt, 500);
    inputs.bridging = true;
    EXPECT_EQ(limiter.evaluate(inputs, 1000 * ms), std::nullopt);
}

TEST(FrameRateLimiter, TransferTimeRisingAboveItsLowestRecentMedian) {
    FrameRateLimiter limiter;
    auto inputs = at60();
    for (int second = 1; second <= 3; ++second) {
        inputs.transferMedianMs = 10 + second;  // 11, 12, 13: the baseline is 11
        EXPECT_EQ(limiter.evaluate(inputs, second * 1000 * ms), std::nullopt);
    }
    inputs.transferMedianMs = 31;
    EXPECT_EQ(limiter.evaluate(inputs, 4000 * ms), std::nullopt);
    inputs.transferMedianMs = 31.5;
    auto change = limiter.evaluate(inputs, 5000 * ms);
    ASSERT_TRUE(change);
    EXPECT_EQ(change->reason, "Übertragung 31 ms (sonst 11)");
}

TEST(FrameRateLimiter, OnlyTheValueOneSwitchesTheDecisionOff) {
    EXPECT_TRUE(FrameRateLimiter::isSwitchedOff("1"));
    EXPECT_FALSE(FrameRateLimiter::isSwitchedOff("true"));
    EXPECT_FALSE(FrameRateLimiter::isSwitchedOff("0"));
    EXPECT_FALSE(FrameRateLimiter::isSwitchedOff(""));
    EXPECT_FALSE(FrameRateLimiter::isSwitchedOff(nullptr));
}

SampleWindow latencies(int count, double typical, int high, double highValue) {
    SampleWindow window(90);
    for (int i = 0; i < count; ++i) {
        window.add(i < count - high ? typical : highValue);
    }
    return window;
}

TEST(PlayoutTarget, HoldsPicturesToTheLowerOfP95PlusOneAndMedianPlus40) {
    EXPECT_EQ(playoutTargetMs(true, true, latencies(21, 50, 2, 70)), 71);
    EXPECT_EQ(playoutTargetMs(true, true, latencies(21, 50, 2, 120)), 90);
}

TEST(PlayoutTarget, NoneWithoutSmoothingSyncOrTwentySamples) {
    EXPECT_EQ(playoutTargetMs(false, true, latencies(21, 50, 2, 70)), std::nullopt);
    EXPECT_EQ(playoutTargetMs(true, false, latencies(21, 50, 2, 70)), std::nullopt);
    EXPECT_EQ(playoutTargetMs(true, true, latencies(19, 50, 2, 70)), std::nullopt);
    EXPECT_TRUE(playoutTargetMs(true, true, latencies(20, 50, 2, 70)));
}

TEST(PlaybackStatistics, LatencyTextFollowsTheClockAndTheMedian) {
    PlaybackStatistics stats;
    EXPECT_EQ(stats.latencyText(), "sync …");
    stats.isClockSynchronized = true;
    EXPECT_EQ(stats.latencyText(), "–");
    stats.latencyMs = 12.4;
    EXPECT_EQ(stats.latencyText(), "12 ms");
    // A latency no real sender gives reads as none, not as a 13-digit number.
    for (const double implausible : {-4611686018426.0, 5000.1, -5000.1}) {
        stats.latencyMs = implausible;
        EXPECT_EQ(stats.latencyText(), "–");
    }
    stats.latencyMs = -5000;
    EXPECT_EQ(stats.latencyText(), "-5000 ms");
}

TEST(PlayoutQueue, HoldsAPictureBackByTargetMinusLatencyButNeverLongerThanTheTargetOrASecond) {
    struct Case {
        std::optional<double> targetMs;
        std::optional<double> latencyMs;
        double delayMs;
    };
    const Case cases[] = {
        {71, 50, 21},          {71, 70.6, 0},  // 0.4 ms: at once
        {71, 70.4, 0.6},       {std::nullopt, 50, 0},
        {71, std::nullopt, 0}, {71, -4611686018426.0, 71},  // a clock far off: no longer than the target
        {4000, -300, 1000},                                 // never longer than a second
    };
    for (const Case& c : cases) {
        EXPECT_NEAR(PlayoutQueue::delayMs(c.targetMs, c.latencyMs), c.delayMs, 1e-9)
            << c.targetMs.value_or(-1) << " " << c.latencyMs.value_or(-1);
    }
}

TEST(PlayoutQueue, PicturesLeaveInOrderAndBeyondTheBoundTheOldestIsShownAtOnce) {
    using Ids = std::vector<uint64_t>;
    Ids cancelled;
    const auto timer = [&](uint64_t id) {
        return TimerSource::Handle([&cancelled, id] { cancelled.push_back(id); });
    };
    const auto picture = [](uint64_t id) { return PlayoutQueue::Picture{PixelBuffer(), id}; };
    // The capture times of the pictures to show; their timers are cancelled.
    const auto shown = [&](PlayoutQueue::Released released) {
        cancelled.clear();
        released.timers.clear();
        Ids captures;
        for (const auto& p : released.pictures) {
            captures.push_back(p.captureTime);
        }
        EXPECT_EQ(cancelled, captures);
        return captures;
    };
    PlayoutQueue queue;
    for (uint64_t id = 1; id <= 3; ++id) {
        EXPECT_EQ(shown(queue.hold(id, picture(id), timer(id))), Ids{});
    }
    EXPECT_EQ(shown(queue.fired(2)), (Ids{1, 2}));  // due before an older one: that goes first
    EXPECT_EQ(shown(queue.fired(1)), Ids{});
    queue.hold(4, picture(4), timer(4)).timers.clear();
    cancelled.clear();
    auto now = queue.showNow(picture(5));
    ASSERT_EQ(now.pictures.size(), 3u);
    now.timers.clear();
    EXPECT_EQ(cancelled, (Ids{3, 4}));
    EXPECT_EQ(now.pictures.back().captureTime, 5u);

    for (uint64_t id = 10; id < 10 + PlayoutQueue::maximumWaiting; ++id) {
        EXPECT_EQ(shown(queue.hold(id, picture(id), timer(id))), Ids{});
    }
    EXPECT_EQ(shown(queue.hold(99, picture(99), timer(99))), Ids{10});
    EXPECT_EQ(queue.waitingCount(), PlayoutQueue::maximumWaiting);
    EXPECT_EQ(queue.clear().size(), PlayoutQueue::maximumWaiting);
}

TEST(PlaybackStatistics, EveryFieldTakesPartInEquality) {
    PlaybackStatistics a;
    PlaybackStatistics b;
    b.connectedSince = std::chrono::system_clock::time_point(std::chrono::seconds(1));
    EXPECT_NE(a, b);
    b = a;
    b.isDirectConnection = true;
    EXPECT_NE(a, b);
    b = a;
    b.latencyP95Ms = 0.0;
    EXPECT_NE(a, b);
}

TEST(PlaybackStatistics, CadenceJitterIsThePopulationStandardDeviation) {
    EXPECT_EQ(populationStandardDeviation({}), 0);
    EXPECT_EQ(populationStandardDeviation({16.7}), 0);
    EXPECT_NEAR(populationStandardDeviation({10, 20, 30}), 8.165, 0.001);
}

}  // namespace
}  // namespace kelvora
