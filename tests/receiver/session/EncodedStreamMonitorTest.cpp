#include "receiver/session/EncodedStreamMonitor.h"

#include "core/TestPatternTimecode.h"
#include "receiver/session/HeldQueue.h"
#include "receiver/session/TestStreams.h"
#include "sender/pipeline/VideoEncoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
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
    frames.back().encodeDoneTime = frames.back().captureTime - 1;  // gives no encode sample

    // Decoded at one frozen instant, the figures follow from the frames alone.
    now = MonotonicClock::now();
    monitor->setEnabled(true);
    std::map<uint8_t, SampleWindow> encode;
    for (const EncodedVideoFrame& frame : frames) {
        monitor->submit(frame);
        if (frame.encodeDoneTime >= frame.captureTime) {
            encode.try_emplace(frame.tier, 60)
                .first->second.add(MonotonicClock::milliseconds(frame.captureTime, frame.encodeDoneTime));
        }
    }
    ASSERT_TRUE(eventually([&] { return pictures(0) == 9 && pictures(1) == 9 && pictures(2) == 9; }));
    const std::vector<EncodedStreamMonitor::TierInfo> infos = monitor->tierInfos();
    ASSERT_EQ(infos.size(), 3u);
    for (uint8_t tier = 0; tier < 3; ++tier) {
        const EncodedStreamMonitor::TierInfo expected{
            tier, VideoCodec::h264,         sizes[tier],
            9.0,  encode.at(tier).median(), MonotonicClock::milliseconds(first + 4 * 33'333'333, now),
            0};
        EXPECT_EQ(infos[tier], expected);
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
