#include "receiver/session/EncodedStreamMonitor.h"

#include "receiver/session/TestStreams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace kelvora;
using test::TestEncoder;

namespace {

constexpr uint64_t kMs = 1'000'000;
constexpr uint64_t kStart = 1'000'000 * kMs;

class EncodedStreamMonitorTest : public ::testing::Test {
  protected:
    std::atomic<uint64_t> now{kStart};
    std::shared_ptr<EncodedStreamMonitor> monitor =
        EncodedStreamMonitor::create([this] { return now.load(); });

    uint64_t pictures(uint8_t tier) { return monitor->renderer(tier)->counters().enqueued; }

    // Polls what the monitor's threads change: a dropped frame gives no event to wait for.
    bool eventually(const std::function<bool()>& condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return condition();
    }

    // Until every frame submitted so far is decoded or dropped: switching off drains each decoder, then
    // clears the figures.
    void drain() {
        monitor->setEnabled(false);
        ASSERT_TRUE(eventually([&] { return monitor->tierInfos().empty(); }));
    }
};

}  // namespace

TEST_F(EncodedStreamMonitorTest, ReportsCodecSizeRateAndTimingsForThreeTiers) {
    TestEncoder main({640, 360}, 0), middle({480, 270}, 1), proxy({320, 180}, 2);
    main.encodeDelayNs = 6 * kMs, middle.encodeDelayNs = 4 * kMs, proxy.encodeDelayNs = 2 * kMs;
    monitor->setEnabled(true);
    for (uint64_t i = 0; i < 9; ++i) {
        for (TestEncoder* encoder : {&main, &middle, &proxy}) {
            EncodedVideoFrame frame = encoder->encode(kStart - (38 - i) * kMs, i == 0);  // 30...38 ms ago
            if (i == 8 && encoder == &proxy) {
                frame.encodeDoneTime = frame.captureTime - 1;  // no encode sample, the rest counts
                frame.dimensions = {300, 170};
            }
            monitor->submit(frame);
        }
    }
    ASSERT_TRUE(eventually([&] { return pictures(0) == 9 && pictures(1) == 9 && pictures(2) == 9; }));
    const std::vector<EncodedStreamMonitor::TierInfo> infos = monitor->tierInfos();
    const std::vector<VideoDimensions> sizes{{640, 360}, {480, 270}, {300, 170}};
    ASSERT_EQ(infos.size(), 3u);
    for (uint8_t tier = 0; tier < 3; ++tier) {
        const double encodeMs = 6.0 - 2.0 * tier;
        EXPECT_EQ(infos[tier],
                  (EncodedStreamMonitor::TierInfo{tier, VideoCodec::h264, sizes[tier], 9.0, encodeMs, 34.0}));
    }
    EXPECT_EQ(monitor->renderer(2)->format(), (VideoRenderer::PictureFormat{PixelFormat::nv12, 320, 180}));
    now += 1500 * kMs;  // the rate covers the last second only
    EXPECT_EQ(monitor->tierInfos()[0].framesPerSecond, 0.0);
}

TEST_F(EncodedStreamMonitorTest, ATierWaitsForAKeyframeAtStartAndAfterAGapWhileOthersRun) {
    TestEncoder main({320, 180}, 0), middle({320, 180}, 1), extra({320, 180}, 3);
    monitor->submit(main.encode(kStart, true));  // ignored while off
    monitor->setEnabled(true);
    monitor->submit(extra.encode(kStart, true));  // ignored: no tier 3
    EXPECT_EQ(monitor->renderer(3), nullptr);
    monitor->submit(main.encode(kStart));  // tier 0 joins mid-stream
    monitor->submit(middle.encode(kStart, true));
    monitor->submit(middle.encode(kStart));
    middle.encode(kStart);  // tier 1 loses a frame
    monitor->submit(middle.encode(kStart));
    monitor->submit(main.encode(kStart, true));
    monitor->submit(main.encode(kStart));
    middle.encode(kStart);
    monitor->submit(middle.encode(kStart, true));  // a keyframe after a gap counts at once
    monitor->submit(middle.encode(kStart));
    ASSERT_TRUE(eventually([&] { return pictures(0) >= 2 && pictures(1) >= 4; }));
    EXPECT_EQ(monitor->tierInfos().size(), 2u);
    drain();
    EXPECT_EQ(pictures(0), 2u);
    EXPECT_EQ(pictures(1), 4u);
    EXPECT_EQ(pictures(2), 0u);
    // On again, every tier starts afresh at its next keyframe.
    monitor->setEnabled(true);
    monitor->submit(main.encode(kStart));
    monitor->submit(main.encode(kStart, true));
    ASSERT_TRUE(eventually([&] { return pictures(0) == 3; }));
    drain();
    EXPECT_EQ(pictures(0), 3u);
}
