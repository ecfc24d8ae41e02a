// Glass to glass on loopback: a sender pipeline on the test pattern and one receiver session playing it over
// TCP, at 720p and 1080p, 30 and 60 frames per second, with playout smoothing off (every picture shown as
// soon as it is decoded) and on (held to the session's even playout target). For every picture the session
// hands to its renderer the capture time is read back from the picture's time-code strip; the latency from
// capture to that hand-over (median and 95th percentile) is reported as counters, with the count of pictures
// and the session's own view of lost frames and decode errors.
//
// Every picture is also followed through the stages of its way (intake, encoder, connection, viewer) by its
// capture time; each row prints the median and 95th percentile of every stage, the encoder's and the
// decoder's own time in the same run, and how far the whole stays above those two:
// ratio = p95 glass to glass / (encoder median + decoder median). Run it under `taskset -c 0,1` for a
// two-core machine.
//
//     build/bench/GlassToGlassBench

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "bench/BenchSupport.h"
#include "core/LatencyTrace.h"
#include "core/MonotonicClock.h"
#include "core/SampleWindow.h"
#include "core/TestPatternTimecode.h"
#include "receiver/session/ReceiverSession.h"
#include "receiver/session/VideoRenderer.h"
#include "sender/pipeline/SenderPipeline.h"

using namespace kelvora;

namespace {

constexpr auto kWarmUp = std::chrono::seconds(4);
constexpr auto kMeasured = std::chrono::seconds(8);

// Notes the capture-to-renderer latency of every picture while measuring is on.
class LatencyDisplay {
  public:
    explicit LatencyDisplay(int capacity) : latencies_(capacity) {}

    void present(const PixelBuffer& picture) {
        const uint64_t now = MonotonicClock::now();
        const auto capture = TestPatternTimecode::read(picture);
        std::lock_guard lock(mutex_);
        if (measuring_ && capture) {
            latencies_.add(MonotonicClock::milliseconds(*capture, now));
        }
        ++pictures_;
        changed_.notify_all();
    }
    void setMeasuring(bool on) {
        std::lock_guard lock(mutex_);
        measuring_ = on;
    }
    bool waitForPictures(int count, std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return pictures_ >= count; });
    }
    SampleWindow latencies() const {
        std::lock_guard lock(mutex_);
        return latencies_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool measuring_ = false;
    int pictures_ = 0;
    SampleWindow latencies_;
};

// Collects the stage marks of every picture and, once the picture is presented, the time each stage took.
class StageRecorder final : public LatencyTrace::Recorder {
  public:
    static constexpr int steps = latencyStageCount;  // capture -> intake, ..., decoded -> presented

    explicit StageRecorder(int capacity) {
        for (int step = 0; step < steps; ++step) {
            stepMs_.emplace_back(capacity);
        }
    }

    void mark(LatencyStage stage, uint8_t tier, uint64_t captureTime, uint64_t at) override {
        const uint64_t key = captureTime / 1000;  // the time code carries microseconds
        std::lock_guard lock(mutex_);
        Picture& picture = pictures_[key];
        picture.captureTime = captureTime;
        if (tier == LatencyTrace::anyTier) {
            picture.common[size_t(stage)] = at;
        } else if (tier < picture.tiers.size()) {
            picture.tiers[tier][size_t(stage)] = at;
            if (stage == LatencyStage::decoded) {
                picture.shownTier = tier;
            }
        }
        if (stage == LatencyStage::presented) {
            if (measuring_) {
                note(picture);
            }
            // Pictures never presented (other tiers' only, or dropped) go once they are old.
            pictures_.erase(pictures_.begin(), pictures_.upper_bound(key));
        } else if (pictures_.size() > 4096) {
            pictures_.erase(pictures_.begin());
        }
    }

    void setMeasuring(bool on) {
        std::lock_guard lock(mutex_);
        measuring_ = on;
    }

    std::vector<SampleWindow> stepMs() const {
        std::lock_guard lock(mutex_);
        return stepMs_;
    }

  private:
    using Times = std::array<uint64_t, latencyStageCount>;
    struct Picture {
        uint64_t captureTime = 0;
        Times common{};
        std::array<Times, 3> tiers{};
        int shownTier = -1;
    };

    void note(const Picture& picture) {
        if (picture.shownTier < 0) {
            return;
        }
        const Times& tier = picture.tiers[size_t(picture.shownTier)];
        Times at = tier;
        at[size_t(LatencyStage::intake)] = picture.common[size_t(LatencyStage::intake)];
        at[size_t(LatencyStage::presented)] = picture.common[size_t(LatencyStage::presented)];
        uint64_t previous = picture.captureTime;
        for (int step = 0; step < steps; ++step) {
            if (at[size_t(step)] == 0) {
                continue;  // a stage this engine does not mark; the next step spans both
            }
            stepMs_[size_t(step)].add(MonotonicClock::milliseconds(previous, at[size_t(step)]));
            previous = at[size_t(step)];
        }
    }

    mutable std::mutex mutex_;
    bool measuring_ = false;
    std::map<uint64_t, Picture> pictures_;
    std::vector<SampleWindow> stepMs_;
};

void GlassToGlass(benchmark::State& state) {
    const VideoDimensions size = state.range(0) == 720 ? VideoDimensions::hd720() : VideoDimensions::hd1080();
    const int frameRate = int(state.range(1));
    const bool smoothing = state.range(2) != 0;

    for (auto _ : state) {
        SenderSettings settings;
        settings.resolution = size;
        settings.frameRate = frameRate;
        auto pipeline = bench::testPatternPipeline(settings, "Messung", "BENCH-G2G");
        const std::optional<uint16_t> port = bench::startAndWaitForPort(*pipeline);
        if (!port) {
            state.SkipWithError("the sender did not start listening");
            break;
        }

        LatencyDisplay display(frameRate * 20);
        StageRecorder stages(frameRate * 20);
        LatencyTrace::install(&stages);
        auto renderer = std::make_shared<VideoRenderer>();
        auto session =
            ReceiverSession::create(EngineKind::tcp(), NetworkEndpoint::hostPort("127.0.0.1", *port),
                                    ReceiverIdentity{"BENCH-G2G-VIEWER", "Messgerät", "Benchmark"}, renderer);
        session->setSmoothingEnabled(smoothing);
        // The viewer that wants the best picture: the main tier, as soon as it is ready.
        session->setPreferredQuality(StreamQuality::full);
        session->frameOutput.set([&display](PixelBuffer picture) { display.present(picture); });
        session->start();
        if (!display.waitForPictures(1, std::chrono::seconds(30))) {
            state.SkipWithError("no picture arrived");
        } else {
            std::this_thread::sleep_for(kWarmUp);
            display.setMeasuring(true);
            stages.setMeasuring(true);
            std::this_thread::sleep_for(kMeasured);
            stages.setMeasuring(false);
            display.setMeasuring(false);
        }
        const PlaybackStatistics stats = session->statistics();

        session->stop();
        session->queue().sync([] {});
        session.reset();
        bench::stopAndWait(*pipeline);
        // Encoder threads may still finish a picture after the pipeline's queue is idle.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        LatencyTrace::install(nullptr);

        const SampleWindow latencies = display.latencies();
        const std::vector<SampleWindow> steps = stages.stepMs();
        const double encoderMs = steps[size_t(LatencyStage::encoderOutput)].median().value_or(0);
        const double decoderMs = steps[size_t(LatencyStage::decoded)].median().value_or(0);
        std::printf("\n%dx%d @ %d fps, %s: per stage, median / p95 ms\n", size.width, size.height, frameRate,
                    smoothing ? "smoothed" : "shown at once");
        for (int step = 0; step < StageRecorder::steps; ++step) {
            const SampleWindow& window = steps[size_t(step)];
            std::printf("  %-16s %7.2f %7.2f  (%zu)\n",
                        std::string(latencyStageName(LatencyStage(step))).c_str(),
                        window.median().value_or(-1), window.p95().value_or(-1), window.count());
        }
        std::fflush(stdout);
        state.counters["encoder_ms"] = encoderMs;
        state.counters["decoder_ms"] = decoderMs;
        state.counters["ratio"] =
            encoderMs + decoderMs > 0 ? latencies.p95().value_or(0) / (encoderMs + decoderMs) : -1;
        state.counters["median_ms"] = latencies.median().value_or(-1);
        state.counters["p95_ms"] = latencies.p95().value_or(-1);
        state.counters["pictures"] = double(latencies.count());
        state.counters["lost"] = stats.framesLost;
        state.counters["decode_errors"] = stats.decodeErrors;
        state.SetIterationTime(std::chrono::duration<double>(kMeasured).count());
    }
}

}  // namespace

BENCHMARK(GlassToGlass)
    ->ArgNames({"height", "fps", "smoothing"})
    ->ArgsProduct({{720, 1080}, {30, 60}, {0, 1}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
