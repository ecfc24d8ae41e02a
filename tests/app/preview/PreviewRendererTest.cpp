#include "app/preview/PreviewRenderer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <future>

#include "support/Eventually.h"
#include "support/UniformPicture.h"

namespace kelvora {
namespace {

PixelBuffer picture(int width, int height, uint8_t luma) {
    return testing::uniformPicture(width, height, luma);
}

// What reached the sink: the luma of each shown picture's centre, or -1 for a clear.
class RecordingSink final : public PreviewOutput {
  public:
    void show(PixelBuffer picture) override {
        const int level = picture.data(0)[picture.height() / 2 * picture.stride(0) + picture.width() / 2];
        events.push(level);
        waitAtGate();
    }
    void clear() override { events.push(-1); }

    // The next show() blocks until open() is called: the renderer is then busy with that picture.
    void closeGate() {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    void open() {
        {
            std::lock_guard lock(mutex_);
            closed_ = false;
        }
        changed_.notify_all();
    }

    testing::Eventually<int> events;

  private:
    void waitAtGate() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !closed_; });
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
};

bool hasCount(const std::vector<int>& events, size_t count) {
    return events.size() >= count;
}

TEST(PreviewRenderer, AFrameConvertingWhileThreeArriveShowsTheFirstAndTheLast) {
    auto sink = std::make_shared<RecordingSink>();
    PreviewRenderer renderer(320, 180, sink);
    sink->closeGate();
    renderer.submit(picture(640, 360, 16));
    ASSERT_TRUE(sink->events.waitUntil([](const auto& e) { return hasCount(e, 1); }));
    renderer.submit(picture(640, 360, 80));
    renderer.submit(picture(640, 360, 160));
    renderer.submit(picture(640, 360, 235));
    sink->open();
    ASSERT_TRUE(sink->events.waitUntil([](const auto& e) { return hasCount(e, 2); }));
    renderer.clear();  // a marker: everything shown before it has reached the sink
    ASSERT_TRUE(sink->events.waitUntil([](const auto& e) { return hasCount(e, 3); }));
    const auto events = sink->events.values();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0], 16);
    EXPECT_EQ(events[1], 235);  // the white picture, not the 80 or 160 ones
    EXPECT_EQ(events[2], -1);
}

TEST(PreviewRenderer, ClearWhileConvertingNeverShowsTheWaitingFrameButKeepsLaterOnes) {
    auto sink = std::make_shared<RecordingSink>();
    PreviewRenderer renderer(320, 180, sink);
    sink->closeGate();
    renderer.submit(picture(640, 360, 16));
    ASSERT_TRUE(sink->events.waitUntil([](const auto& e) { return hasCount(e, 1); }));
    renderer.submit(picture(640, 360, 235));  // waits, and is dropped by the clear
    renderer.clear();
    renderer.submit(picture(640, 360, 16));  // submitted after the clear: must stay on screen
    sink->open();
    ASSERT_TRUE(sink->events.waitUntil([](const auto& e) { return hasCount(e, 3); }));
    renderer.clear();
    ASSERT_TRUE(sink->events.waitUntil([](const auto& e) { return hasCount(e, 4); }));
    EXPECT_EQ(sink->events.values(), (std::vector<int>{16, -1, 16, -1}));
}

TEST(PreviewRenderer, HandsTheDisplayThePictureItselfForTheItemToConvertOnce) {
    PreviewRenderer renderer(1280, 720);
    testing::Eventually<uint64_t> generations;
    renderer.display()->changed.set([&](uint64_t generation) { generations.push(generation); });
    const PixelBuffer submitted = picture(1440, 1080, 235);
    renderer.submit(submitted);
    ASSERT_TRUE(generations.waitFor([](uint64_t) { return true; }));
    renderer.display()->changed.set(nullptr);
    EXPECT_EQ(renderer.display()->currentFrame().picture.data(0), submitted.data(0));
}

TEST(PreviewStatistics, ReportsRateAndLongestPauseOncePerWindowOfTwoSeconds) {
    PreviewStatistics statistics(1280, 720);
    constexpr uint64_t kSecond = 1'000'000'000;
    const uint64_t start = 50 * kSecond;
    EXPECT_FALSE(statistics.record(start));
    EXPECT_FALSE(statistics.record(start + kSecond / 2));
    // Ten seconds without frames, then one: the window spans the pause.
    EXPECT_EQ(statistics.record(start + kSecond / 2 + 10 * kSecond),
              "Vorschau 1280×720: 0.3 fps, längste Pause 10000 ms");
    // A new window starts at that frame.
    EXPECT_FALSE(statistics.record(start + 11 * kSecond));
    EXPECT_EQ(statistics.record(start + kSecond / 2 + 12 * kSecond + 1),
              "Vorschau 1280×720: 1.0 fps, längste Pause 1500 ms");
}

}  // namespace
}  // namespace kelvora
