#include "TestVideoFile.h"
#include "core/MonotonicClock.h"
#include "sender/sources/VideoFileSource.h"
#include "support/Eventually.h"
#include "support/ManualTimers.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Starts `source` with handlers that record every picture, delivered at `clock`'s time, and every failure.
void startRecording(VideoFileSource& source, Eventually<Received>& frames, Eventually<std::string>& failures,
                    Clock clock = MonotonicClock::system()) {
    source.start(
        [&frames, clock, sequence = size_t{0}](SourceFrame frame) mutable {
            frames.push({sequence++, frame.captureTime, clock(),
                         testsupport::pictureIndexOf(frame.pixelBuffer), frame.dimensions(),
                         frame.pixelBuffer.format(), frame.isTestPattern});
        },
        [&failures](const SourceError& error) { failures.push(error.what()); });
}

// A video file source on a queue of the test's own, its frame clock moved by hand, with what it delivers.
struct HandDrivenFile {
    std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("app.kelvora.sender.test");
    std::shared_ptr<kelvora::testing::ManualTimers> timers =
        std::make_shared<kelvora::testing::ManualTimers>();
    Eventually<Received> frames;
    Eventually<std::string> failures;
    std::shared_ptr<VideoFileSource> source;

    explicit HandDrivenFile(const std::filesystem::path& path)
        : source(std::make_shared<VideoFileSource>(path, VideoFileSource::Options{queue, timers})) {}
    ~HandDrivenFile() {
        source->stop();
        queue->sync([] {});
    }

    // Starts it, recording on the hand-driven clock.
    void record() {
        startRecording(*source, frames, failures, [timers = timers] { return timers->now(); });
    }
    // Starts it and lets the file open.
    void start() {
        record();
        queue->sync([] {});
    }
    size_t deliveredAfter(uint64_t time) const {
        const auto all = frames.values();
        return static_cast<size_t>(
            std::count_if(all.begin(), all.end(), [&](const Received& f) { return f.deliveredAt > time; }));
    }
};

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

    HandDrivenFile file(path);
    file.start();
    const uint64_t start = file.timers->now();
    // Into the second pass: 56 pictures.
    file.timers->advance(std::chrono::milliseconds(55 * 40));
    file.source->stop();
    const uint64_t stoppedAt = file.timers->now();
    file.timers->advance(std::chrono::seconds(1));
    EXPECT_TRUE(file.failures.values().empty());

    const auto received = file.frames.values();
    ASSERT_EQ(received.size(), 56u);
    for (size_t k = 0; k < received.size(); ++k) {
        EXPECT_EQ(received[k].pictureIndex, static_cast<int>(k % 50)) << "picture " << k;
        EXPECT_EQ(received[k].dimensions, (VideoDimensions{160, 90}));
        EXPECT_EQ(received[k].format, PixelFormat::nv12);
        EXPECT_FALSE(received[k].isTestPattern);
    }
    // Looping does not touch the time grid: the last picture of the first pass and the first of the second
    // are one frame duration apart, not a restart's worth.
    EXPECT_EQ(received[50].captureTime - received[49].captureTime, 40'000'000u);
    EXPECT_EQ(received[55].captureTime, start + 55 * uint64_t{40'000'000});
    EXPECT_EQ(file.deliveredAfter(stoppedAt), 0u);
}

TEST(VideoFileSource, FramesFollowTheNominalRateForTenSecondsWithoutDrift) {
    TemporaryFolder folder;
    const auto path = folder.path() / "short.mp4";
    testsupport::writeGreyVideo(path, 64, 48, 25, 13);  // loops several times in ten seconds

    HandDrivenFile file(path);
    file.start();
    const uint64_t start = file.timers->now();
    file.timers->advance(std::chrono::seconds(10));

    // The first picture at the start, then one every 40 ms to the end; looping keeps the order: 13
    // pictures, then the first again.
    const auto received = file.frames.values();
    ASSERT_EQ(received.size(), 251u);
    for (size_t k = 0; k < received.size(); ++k) {
        EXPECT_EQ(received[k].captureTime, start + k * 40'000'000) << "picture " << k;
        EXPECT_EQ(received[k].pictureIndex, static_cast<int>(k % 13)) << "picture " << k;
    }
    EXPECT_TRUE(file.failures.values().empty());
}

TEST(VideoFileSource, StartingAgainNeverRunsASecondFrameClock) {
    TemporaryFolder folder;
    const auto path = folder.path() / "grey.mp4";
    testsupport::writeGreyVideo(path, 64, 48, 25, 25);

    HandDrivenFile file(path);
    // start, stop and start again in quick succession, then a start on top of a running source.
    file.record();
    file.source->stop();
    file.record();
    file.start();
    const uint64_t started = file.timers->now();
    file.timers->advance(std::chrono::seconds(2));
    // One clock delivers 50 pictures in the two seconds after the starts; two would deliver 100.
    EXPECT_EQ(file.deliveredAfter(started), 50u);
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
    HandDrivenFile file(path);
    file.record();
    file.source->stop();
    file.timers->advance(std::chrono::seconds(1));
    EXPECT_TRUE(file.frames.values().empty());
    EXPECT_TRUE(file.failures.values().empty());
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
