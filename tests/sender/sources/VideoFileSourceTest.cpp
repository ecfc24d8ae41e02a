#include "Cadence.h"
#include "TestVideoFile.h"
#include "core/MonotonicClock.h"
#include "sender/sources/VideoFileSource.h"
#include "support/Eventually.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

using namespace kelvora;
using kelvora::testing::Eventually;
using kelvora::testsupport::TemporaryFolder;

namespace {

struct Received {
    // Counts the pictures of one start, from 0.
    size_t sequence = 0;
    uint64_t captureTime = 0;
    uint64_t deliveredAt = 0;
    int pictureIndex = -1;
    VideoDimensions dimensions;
    PixelFormat format = PixelFormat::bgra;
    bool isTestPattern = true;
};

// Starts `source` with handlers that record every picture and every failure.
void startRecording(VideoFileSource& source, Eventually<Received>& frames,
                    Eventually<std::string>& failures) {
    source.start(
        [&frames, sequence = size_t{0}](SourceFrame frame) mutable {
            frames.push({sequence++, frame.captureTime, MonotonicClock::now(),
                         testsupport::pictureIndexOf(frame.pixelBuffer), frame.dimensions(),
                         frame.pixelBuffer.format(), frame.isTestPattern});
        },
        [&failures](const SourceError& error) { failures.push(error.what()); });
}

size_t framesDeliveredBetween(const std::vector<Received>& frames, uint64_t from, uint64_t to) {
    size_t count = 0;
    for (const Received& frame : frames) {
        count += frame.deliveredAt >= from && frame.deliveredAt < to ? 1 : 0;
    }
    return count;
}

}  // namespace

TEST(VideoFileSource, FrameDurationFollowsTheNominalRateOrFallsBackToThirtyFps) {
    EXPECT_DOUBLE_EQ(VideoFileSource::frameDurationFor(25), 0.04);
    EXPECT_DOUBLE_EQ(VideoFileSource::frameDurationFor(59.94), 1 / 59.94);
    EXPECT_DOUBLE_EQ(VideoFileSource::frameDurationFor(0), 1.0 / 30);
    EXPECT_DOUBLE_EQ(VideoFileSource::frameDurationFor(1.0), 1.0 / 30);
    EXPECT_DOUBLE_EQ(VideoFileSource::frameDurationFor(-5), 1.0 / 30);
    EXPECT_DOUBLE_EQ(VideoFileSource::frameDurationFor(std::nan("")), 1.0 / 30);
    // A broken time base, not a frame rate: it must not turn the timer into a busy loop.
    EXPECT_DOUBLE_EQ(VideoFileSource::frameDurationFor(90000), 1.0 / 30);
}

TEST(VideoFileSource, PlaysTheFileInOrderLoopsWithoutAJumpInTimeAndStops) {
    TemporaryFolder folder;
    const auto path = folder.path() / "grey.mp4";
    testsupport::writeGreyVideo(path, 160, 90, 25, 50);  // 2 s

    auto source = std::make_shared<VideoFileSource>(path);
    Eventually<Received> frames;
    Eventually<std::string> failures;
    startRecording(*source, frames, failures);
    // Into the second pass.
    ASSERT_TRUE(
        frames.waitFor([](const Received& frame) { return frame.sequence == 55; }, std::chrono::seconds(20)));
    source->stop();
    const uint64_t stoppedAt = MonotonicClock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // five frame durations
    const auto received = frames.values();
    EXPECT_TRUE(failures.values().empty());

    ASSERT_GE(received.size(), 56u);
    for (size_t k = 0; k < 56; ++k) {
        EXPECT_EQ(received[k].pictureIndex, static_cast<int>(k % 50)) << "picture " << k;
        EXPECT_EQ(received[k].dimensions, (VideoDimensions{160, 90}));
        EXPECT_EQ(received[k].format, PixelFormat::nv12);
        EXPECT_FALSE(received[k].isTestPattern);
        EXPECT_LE(received[k].captureTime, received[k].deliveredAt);
    }
    // Looping does not touch the time grid: the last picture of the first pass and the first of the second
    // are about one frame duration apart, not a restart's worth.
    const auto gap = static_cast<int64_t>(received[50].captureTime - received[49].captureTime);
    EXPECT_NEAR(static_cast<double>(gap), 40e6, 20e6);
    // At most a delivery already under way completes after stop.
    size_t afterStop = 0;
    for (const Received& frame : received) {
        afterStop += frame.deliveredAt > stoppedAt ? 1 : 0;
    }
    EXPECT_LE(afterStop, 1u);
}

TEST(VideoFileSource, FramesFollowTheNominalRateForTenSecondsWithoutDrift) {
    TemporaryFolder folder;
    const auto path = folder.path() / "short.mp4";
    testsupport::writeGreyVideo(path, 64, 48, 25, 13);  // loops several times in ten seconds

    constexpr uint64_t interval = 40'000'000;
    constexpr uint64_t window = 10'000'000'000;
    auto source = std::make_shared<VideoFileSource>(path);
    Eventually<Received> frames;
    Eventually<std::string> failures;
    startRecording(*source, frames, failures);
    auto first = frames.waitFor([](const Received&) { return true; }, std::chrono::seconds(20));
    ASSERT_TRUE(first);
    ASSERT_TRUE(frames.waitFor(
        [&](const Received& frame) { return frame.deliveredAt >= first->deliveredAt + window; },
        std::chrono::seconds(30)));
    source->stop();
    const auto received = frames.values();

    std::vector<uint64_t> deliveries;
    for (const Received& frame : received) {
        deliveries.push_back(frame.deliveredAt);
    }
    const auto cadence = testsupport::Cadence::of(deliveries, interval, window);
    // 250 deadlines in ten seconds: never more pictures. A machine busy enough to hold the queue back for
    // more than a frame costs a deadline now and then, not a fifth of them.
    EXPECT_LE(cadence.frames, 250u);
    EXPECT_GE(cadence.frames, 200u);
    // No drift: to the end of the run, every second has a picture within a quarter frame of a deadline.
    EXPECT_LT(cadence.worstBestLateness, static_cast<int64_t>(interval / 4));

    // Looping keeps the order: 13 pictures, then the first again.
    for (size_t k = 0; k < received.size(); ++k) {
        EXPECT_EQ(received[k].pictureIndex, static_cast<int>(k % 13)) << "picture " << k;
    }
    EXPECT_TRUE(failures.values().empty());
}

TEST(VideoFileSource, StartingAgainNeverRunsASecondFrameClock) {
    TemporaryFolder folder;
    const auto path = folder.path() / "grey.mp4";
    testsupport::writeGreyVideo(path, 64, 48, 25, 25);

    auto source = std::make_shared<VideoFileSource>(path);
    Eventually<Received> frames;
    Eventually<std::string> failures;
    // start, stop and start again in quick succession, then a start on top of a running source.
    startRecording(*source, frames, failures);
    source->stop();
    startRecording(*source, frames, failures);
    startRecording(*source, frames, failures);
    auto first = frames.waitFor([](const Received&) { return true; }, std::chrono::seconds(20));
    ASSERT_TRUE(first);
    ASSERT_TRUE(frames.waitFor(
        [&](const Received& frame) { return frame.deliveredAt >= first->deliveredAt + 2'000'000'000; },
        std::chrono::seconds(20)));
    source->stop();
    // One clock delivers 50 pictures in two seconds; two would deliver about 100. A clock that falls behind
    // on a loaded machine catches up in a burst, so allow a few over 50 without coming near the doubled
    // count.
    const size_t count =
        framesDeliveredBetween(frames.values(), first->deliveredAt, first->deliveredAt + 2'000'000'000);
    EXPECT_LE(count, 60u);
    EXPECT_GE(count, 40u);
}

TEST(VideoFileSource, AFileNamedInLatin1PlaysUnderAValidName) {
    TemporaryFolder folder;
    const auto path = folder.path() /
                      "Gr\xFC\xDF"
                      "e vom B\xE4"
                      "cker.mp4";
    testsupport::writeGreyVideo(path, 64, 48, 25, 5);
    auto source = std::make_shared<VideoFileSource>(path);
    EXPECT_EQ(source->name(), "Gr\uFFFD\uFFFDe vom B\uFFFDcker");
    EXPECT_EQ(source->identifier(), "videofile:" + path.string());

    Eventually<Received> frames;
    Eventually<std::string> failures;
    startRecording(*source, frames, failures);
    EXPECT_TRUE(frames.waitFor([](const Received& frame) { return frame.pictureIndex == 2; }));
    source->stop();
    EXPECT_TRUE(failures.values().empty());
}

TEST(VideoFileSource, StopWhileOpeningDeliversNothing) {
    TemporaryFolder folder;
    const auto path = folder.path() / "grey.mp4";
    testsupport::writeGreyVideo(path, 64, 48, 25, 5);
    auto source = std::make_shared<VideoFileSource>(path);
    Eventually<Received> frames;
    Eventually<std::string> failures;
    startRecording(*source, frames, failures);
    source->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    source.reset();
    EXPECT_TRUE(frames.values().empty());
    EXPECT_TRUE(failures.values().empty());
}

TEST(VideoFileSource, ReportsFilesItCannotPlay) {
    TemporaryFolder folder;
    const auto audioOnly = folder.path() / "silence.wav";
    testsupport::writeAudioOnlyFile(audioOnly);
    const auto text = folder.path() / "notes.mov";
    std::ofstream(text) << "not a movie";

    struct Case {
        std::filesystem::path path;
        std::string expected;
    };
    for (const Case& c :
         {Case{audioOnly, "Die Datei enthält keine Videospur."},
          Case{text, "Die Videodatei kann nicht gelesen werden: "},
          Case{folder.path() / "missing.mov", "Die Videodatei kann nicht gelesen werden: "}}) {
        auto source = std::make_shared<VideoFileSource>(c.path);
        Eventually<Received> frames;
        Eventually<std::string> failures;
        startRecording(*source, frames, failures);
        auto failure = failures.waitFor([](const std::string&) { return true; });
        source->stop();
        source.reset();
        ASSERT_TRUE(failure) << c.path;
        EXPECT_EQ(failure->rfind(c.expected, 0), 0u) << *failure;
        EXPECT_GT(failure->size(), c.expected.size() - 1);
        EXPECT_TRUE(frames.values().empty());
    }
}
