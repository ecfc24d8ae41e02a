#include "sender/sources/CaptureTimeGrid.h"

#include <gtest/gtest.h>

using namespace kelvora;

namespace {

constexpr uint64_t ms = 1'000'000;
constexpr uint64_t frame = 33'333'333;  // 30 fps, truncated to whole nanoseconds
constexpr uint64_t t0 = 5'000 * ms;

}  // namespace

TEST(CaptureTimeGrid, FirstPictureAnchorsTheGridAndLaterOnesFollowItDespiteJitter) {
    CaptureTimeGrid grid;
    EXPECT_EQ(grid.stamp(t0, frame), t0);
    EXPECT_EQ(grid.stamp(t0 + frame + 2 * ms, frame), t0 + frame);
    EXPECT_EQ(grid.stamp(t0 + 2 * frame + 5 * ms, frame), t0 + 2 * frame);
    EXPECT_EQ(grid.frameIndex, 3u);
}

TEST(CaptureTimeGrid, AStampIsNeverLaterThanTheDelivery) {
    CaptureTimeGrid grid;
    grid.stamp(t0, frame);
    // A timer that fires early: the grid would lie in the future.
    const uint64_t early = t0 + frame - 3 * ms;
    EXPECT_EQ(grid.stamp(early, frame), early);
    EXPECT_EQ(grid.stamp(t0 + 2 * frame, frame), t0 + 2 * frame);
}

TEST(CaptureTimeGrid, ADelayOfUpToThreeFramesIsAbsorbedALongerStallStartsANewGrid) {
    CaptureTimeGrid grid;
    grid.stamp(t0, frame);
    // 90 ms late at 30 fps: still on the grid.
    EXPECT_EQ(grid.stamp(t0 + frame + 90 * ms, frame), t0 + frame);
    EXPECT_EQ(grid.stamp(t0 + 2 * frame + 90 * ms, frame), t0 + 2 * frame);

    // Blocked for 200 ms: the picture is stamped with the current time, and counting restarts from it.
    const uint64_t late = t0 + 3 * frame + 200 * ms;
    EXPECT_EQ(grid.stamp(late, frame), late);
    EXPECT_EQ(grid.frameIndex, 1u);
    EXPECT_EQ(grid.stamp(late + frame + 1 * ms, frame), late + frame);
}

TEST(CaptureTimeGrid, ARestartLongAfterTheOldGridAnchorsAnew) {
    CaptureTimeGrid grid;
    grid.stamp(t0, frame);
    grid.stamp(t0 + frame, frame);
    const uint64_t restart = t0 + 10'000 * ms;
    EXPECT_EQ(grid.stamp(restart, frame), restart);
    EXPECT_EQ((CaptureTimeGrid{restart, 1}), grid);
}
