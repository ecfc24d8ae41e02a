#include "sender/pipeline/FrameIntake.h"
#include "sender/pipeline/FrameRateFollower.h"

#include <gtest/gtest.h>

#include <cstring>

#include "support/UniformPicture.h"

namespace kelvora {
namespace {

constexpr uint64_t ms = 1'000'000;

PixelBuffer lumaPicture(uint8_t luma, int width = 64, int height = 36) {
    return testing::uniformPicture(width, height, luma);
}

TEST(BlackPicture, SampledLumaDecides) {
    PixelBuffer dark = lumaPicture(24);
    EXPECT_EQ(FrameIntake::isBlack(dark), true);

    dark.data(0)[2 * dark.stride(0) + 4] = 25;  // even row, even column: seen
    EXPECT_EQ(FrameIntake::isBlack(dark), false);

    PixelBuffer oddBright = lumaPicture(16);
    oddBright.data(0)[3 * oddBright.stride(0) + 4] = 255;  // odd row
    oddBright.data(0)[2 * oddBright.stride(0) + 5] = 255;  // odd column
    EXPECT_EQ(FrameIntake::isBlack(oddBright), true);

    PixelBuffer bgra = PixelBuffer::make(PixelFormat::bgra, 64, 36);
    std::memset(bgra.data(0), 0, size_t(bgra.stride(0)) * 36);
    EXPECT_EQ(FrameIntake::isBlack(bgra), std::nullopt);
}

TEST(FrameIntake, BlackPeriodStartsAtTheFirstBlackSampleAndEndsWithALightOne) {
    FrameIntake intake;
    const uint64_t start = 10'000 * ms;
    intake.sampleBlack(lumaPicture(16), start);
    EXPECT_EQ(intake.blackSince(), start);
    // Sampled at most every 500 ms: a light picture 100 ms later is not looked at.
    intake.sampleBlack(lumaPicture(200), start + 100 * ms);
    EXPECT_EQ(intake.blackSince(), start);
    // Still black later: the period keeps its start.
    intake.sampleBlack(lumaPicture(16), start + 600 * ms);
    EXPECT_EQ(intake.blackSince(), start);
    intake.sampleBlack(lumaPicture(200), start + 1200 * ms);
    EXPECT_EQ(intake.blackSince(), 0u);
    // BGRA moves the sampling time but leaves the state alone.
    intake.setBlackSince(start);
    PixelBuffer bgra = PixelBuffer::make(PixelFormat::bgra, 64, 36);
    intake.sampleBlack(bgra, start + 1800 * ms);
    EXPECT_EQ(intake.blackSince(), start);
    intake.sampleBlack(lumaPicture(200), start + 2000 * ms);
    EXPECT_EQ(intake.blackSince(), start);
}

TEST(FrameIntake, SizeChangesAndTimingReports) {
    FrameIntake intake;
    EXPECT_TRUE(intake.observeSize({1920, 1080}));
    EXPECT_FALSE(intake.observeSize({1920, 1080}));
    EXPECT_TRUE(intake.observeSize({1280, 720}));
    EXPECT_EQ(intake.observedDimensions(), VideoDimensions::hd720());

    const uint64_t start = 5'000 * ms;
    intake.addHandOff(2.0);
    EXPECT_FALSE(intake.finishFrame(3.0, start));
    intake.addHandOff(4.0);
    EXPECT_FALSE(intake.finishFrame(5.0, start + 1000 * ms));
    intake.addHandOff(6.0);
    auto report = intake.finishFrame(1.0, start + 2000 * ms);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->count, 3);
    EXPECT_DOUBLE_EQ(report->averageMs, 3.0);
    EXPECT_DOUBLE_EQ(report->maximumMs, 5.0);
    EXPECT_DOUBLE_EQ(report->averageHandOffMs, 4.0);
    EXPECT_DOUBLE_EQ(report->maximumHandOffMs, 6.0);
    // The next period starts empty.
    EXPECT_EQ(intake.finishFrame(1.0, start + 4000 * ms)->count, 1);
}

TEST(ElapsedMilliseconds, ATimeFromAnotherThreadThatIsNewerCountsAsNow) {
    EXPECT_DOUBLE_EQ(elapsedMilliseconds(1000 * ms, 3500 * ms), 2500.0);
    EXPECT_DOUBLE_EQ(elapsedMilliseconds(3500 * ms + 1, 3500 * ms), 0.0);
    EXPECT_DOUBLE_EQ(elapsedMilliseconds(UINT64_MAX, 0), 0.0);
}

TEST(FrameRateFollower, TakesAStandardRateOnTheSecondCheckInARow) {
    FrameRateFollower follower;
    EXPECT_EQ(follower.observe(25.1, 30), std::nullopt);
    EXPECT_EQ(follower.observe(24.9, 30), 25);
    // Taken over: seeing it again changes nothing.
    EXPECT_EQ(follower.observe(25.0, 25), std::nullopt);
    EXPECT_EQ(follower.observe(25.0, 25), std::nullopt);

    // 29.97 is 30.
    EXPECT_EQ(follower.observe(29.97, 30), std::nullopt);
    EXPECT_EQ(follower.observe(29.97, 30), std::nullopt);

    // A check that sees the current rate again cancels the candidate.
    EXPECT_EQ(follower.observe(50, 30), std::nullopt);
    EXPECT_EQ(follower.observe(30, 30), std::nullopt);
    EXPECT_EQ(follower.observe(50, 30), std::nullopt);
    EXPECT_EQ(follower.observe(50, 30), 50);

    // A measurement outside every band leaves the candidate as it was.
    EXPECT_EQ(follower.observe(60, 30), std::nullopt);
    EXPECT_EQ(follower.observe(40, 30), std::nullopt);
    EXPECT_EQ(follower.observe(60, 30), 60);
}

TEST(FrameRateFollower, SlowAndInBetweenRatesAreNotFollowed) {
    EXPECT_EQ(FrameRateFollower::standardRate(27.5), std::nullopt);  // tie goes to 25, outside its band
    EXPECT_EQ(FrameRateFollower::standardRate(24.5), 24);
    EXPECT_EQ(FrameRateFollower::standardRate(54.0), 50);
    EXPECT_EQ(FrameRateFollower::standardRate(std::nan("")), std::nullopt);

    FrameRateFollower follower;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(follower.observe(9.5, 30), std::nullopt);
    }
}

}  // namespace
}  // namespace kelvora
