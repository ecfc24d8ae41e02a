#include "receiver/session/EncodedStreamMonitor.h"

#include "core/TestPatternTimecode.h"
#include "receiver/session/HeldQueue.h"
#include "receiver/session/TestStreams.h"
#include "sender/pipeline/VideoEncoder.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
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

TEST_F(EncodedStreamMonitorTest, ReportsTheFiguresOfAThreeTierTestPatternSender) {
    // Three tier encoders as a sender runs them, each given the same test-pattern pictures, captured 33 ms
    // apart in the past; every output is collected before the next picture goes in.
    const std::vector<VideoDimensions> sizes{{640, 360}, {480, 270}, {320, 180}};
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<EncodedVideoFrame> frames;
    std::vector<std::unique_ptr<VideoEncoder>> encoders;
    for (uint8_t tier = 0; tier < 3; ++tier) {
        EncoderConfiguration configuration{VideoCodec::h264, sizes[tier], 30, 1500 / (tier + 1)};
        encoders.push_back(std::make_unique<VideoEncoder>(tier, configuration, [&](EncodedVideoFrame frame) {
            std::lock_guard lock(mutex);
            frames.push_back(std::move(frame));
            arrived.notify_all();
        }));
    }
    const uint64_t first = MonotonicClock::now() - 1000 * kMs;
    for (uint64_t i = 0; i < 9; ++i) {
        PixelBuffer picture = PixelBuffer::make(PixelFormat::nv12, 640, 360);
        std::memset(picture.data(0), 120, static_cast<size_t>(picture.stride(0)) * 360);
        std::memset(picture.data(1), 128, static_cast<size_t>(picture.stride(1)) * 180);
        TestPatternTimecode::write(picture, first + i * 33'333'333);
        for (auto& encoder : encoders) {
            encoder->encode(picture, first + i * 33'333'333, true);
        }
        std::unique_lock lock(mutex);
        ASSERT_TRUE(
            arrived.wait_for(lock, std::chrono::seconds(30), [&] { return frames.size() == 3 * (i + 1); }));
    }
    encoders.clear();
    // Each tier's pictures took 7, 3, 9, 1, 5, 8, 2, 6 and 4 ms to encode, in that order; the last picture of
    // tier 2 claims to be done before it was captured and gives no sample.
    const std::array<uint64_t, 9> encodeMs{7, 3, 9, 1, 5, 8, 2, 6, 4};
    std::map<uint8_t, size_t> perTier;
    for (EncodedVideoFrame& frame : frames) {
        const size_t k = perTier[frame.tier]++;
        frame.encodeDoneTime =
            frame.tier == 2 && k == 8 ? frame.captureTime - 1 : frame.captureTime + encodeMs.at(k) * kMs;
    }

    // All decoded one second after the first capture, at a frozen instant.
    now = first + 1000 * kMs;
    monitor->setEnabled(true);
    for (const EncodedVideoFrame& frame : frames) {
        monitor->submit(frame);
    }
    ASSERT_TRUE(eventually([&] { return pictures(0) == 9 && pictures(1) == 9 && pictures(2) == 9; }));
    const std::vector<EncodedStreamMonitor::TierInfo> infos = monitor->tierInfos();
    ASSERT_EQ(infos.size(), 3u);
    // Medians: 5 of 1...9 ms; 5.5 of the eight samples of tier 2 (1, 2, 3, 5 | 6, 7, 8, 9). The median
    // picture was captured 4 × 33.333333 ms after the first, 866.666668 ms before the decoding instant.
    const std::array<double, 3> encodeMedians{5.0, 5.0, 5.5};
    for (uint8_t tier = 0; tier < 3; ++tier) {
        EXPECT_EQ(infos[tier].tier, tier);
        EXPECT_EQ(infos[tier].codec, VideoCodec::h264);
        EXPECT_EQ(infos[tier].dimensions, sizes[tier]);
        EXPECT_EQ(infos[tier].framesPerSecond, 9.0);
        ASSERT_TRUE(infos[tier].encodeMs && infos[tier].decodedMs);
        EXPECT_DOUBLE_EQ(*infos[tier].encodeMs, encodeMedians[tier]) << "tier " << int(tier);
        EXPECT_DOUBLE_EQ(*infos[tier].decodedMs, 866.666668) << "tier " << int(tier);
        EXPECT_EQ(infos[tier].framesDropped, 0);
    }
    // The picture on screen is the last one, time code and all.
    EXPECT_EQ(TestPatternTimecode::read(monitor->renderer(0)->currentFrame().picture),
              (first + 8 * 33'333'333) / 1000 * 1000);
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

TEST_F(EncodedStreamMonitorTest, ATierWhoseDecoderFallsBehindDropsToItsNextKeyframeAndCountsTheDrops) {
    test::HeldQueue worker;
    monitor = EncodedStreamMonitor::create([this] { return now.load(); }, worker.queue);
    monitor->setEnabled(true);
    TestEncoder main({320, 180});
    const size_t backlog = VideoDecoder::kMaximumBacklogFrames;
    for (size_t i = 0; i < backlog + 10; ++i) {
        monitor->submit(main.encode(kStart, i == 0));
    }
    const auto dropped = [&] {
        const auto infos = monitor->tierInfos();
        return infos.empty() ? -1 : infos[0].framesDropped;
    };
    // The frame over the bound and the nine behind it.
    ASSERT_TRUE(eventually([&] { return dropped() == 10; }));
    worker.release();
    ASSERT_TRUE(eventually([&] { return pictures(0) == backlog; }));
    monitor->submit(main.encode(kStart));
    monitor->submit(main.encode(kStart, true));
    monitor->submit(main.encode(kStart));
    ASSERT_TRUE(eventually([&] { return pictures(0) == backlog + 2; }));
    EXPECT_EQ(dropped(), 11);
}
