#include "receiver/session/VideoRenderer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace kelvora;

namespace {

PixelBuffer picture(int width = 64, int height = 36, PixelFormat format = PixelFormat::nv12) {
    return PixelBuffer::make(format, width, height);
}

}  // namespace

TEST(VideoRenderer, TheNewestPictureWinsUntilAFlushTurnsTheDisplayBlackAndFormatChangesAreCounted) {
    VideoRenderer renderer;
    EXPECT_FALSE(renderer.currentFrame().picture || renderer.format());
    const PixelBuffer second = picture();
    renderer.enqueue(picture());
    renderer.enqueue(second);
    const VideoRenderer::Frame shown = renderer.currentFrame();
    EXPECT_TRUE(shown.picture.sharesPixelsWith(second));
    // Painting again (a resize, an expose) shows the same picture and counts it once.
    EXPECT_EQ(renderer.currentFrame().generation, shown.generation);
    renderer.flush();
    const VideoRenderer::Frame black = renderer.currentFrame();
    EXPECT_FALSE(black.picture);
    EXPECT_NE(black.generation, shown.generation);
    renderer.enqueue(picture(32, 36));  // flushed before anyone painted it
    renderer.enqueue(PixelBuffer());    // ignored
    renderer.flush();
    renderer.enqueue(picture(32, 36, PixelFormat::bgra));
    EXPECT_EQ(renderer.counters(), (VideoRenderer::Counters{4, 1, 2, 2, 2}));
    EXPECT_EQ(renderer.format(), (VideoRenderer::PictureFormat{PixelFormat::bgra, 32, 36}));
}

TEST(VideoRenderer, TellsTheDisplayOfEachChangeAndLosesNoPictureUnderConcurrentUse) {
    VideoRenderer renderer;
    std::atomic<uint64_t> notified{0};
    // The handler paints at once, as a display on the calling thread would: it must not deadlock.
    renderer.changed.set([&](uint64_t generation) {
        EXPECT_GE(renderer.currentFrame().generation, generation);
        ++notified;
    });
    std::atomic<bool> done{false};
    std::thread display([&] {
        while (!done) {
            renderer.currentFrame();
        }
    });
    std::vector<std::thread> decoders;
    for (int t = 0; t < 3; ++t) {
        decoders.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                renderer.enqueue(picture(16, 16));
            }
        });
    }
    for (auto& thread : decoders) {
        thread.join();
    }
    done = true;
    display.join();
    renderer.flush();
    const VideoRenderer::Counters counters = renderer.counters();
    EXPECT_EQ(notified, 901u);
    EXPECT_EQ(counters.enqueued, 900u);
    EXPECT_EQ(counters.displayed + counters.dropped, 900u);
}
