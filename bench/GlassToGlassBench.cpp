// Glass to glass on loopback: a sender pipeline on the test pattern and one receiver session playing it over
// TCP, at 720p and 1080p, 30 and 60 frames per second, with playout smoothing off (every picture shown as
// soon as it is decoded) and on (held to the session's even playout target). For every picture the session
// hands to its renderer the capture time is read back from the picture's time-code strip; the latency from
// capture to that hand-over (median and 95th percentile) is reported as counters, with the count of pictures
// and the session's own view of lost frames and decode errors.
//
//     build/bench/GlassToGlassBench

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

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

void GlassToGlass(benchmark::State& state) {
    const VideoDimensions size = state.range(0) == 720 ? VideoDimensions::hd720() : VideoDimensions::hd1080();
    const int frameRate = int(state.range(1));
    const bool smoothing = state.range(2) != 0;

    for (auto _ : state) {
        SenderSettings settings;
        settings.senderName = "Messung " + std::to_string(getpid());
        settings.enabledEngines = {"tcp"};
        settings.controlPort = 0;
        settings.useTestPattern = true;
        settings.resolution = size;
        settings.frameRate = frameRate;
        SenderPipeline::Options options;
        options.sources = SourceFactory::system();
        options.autoSourceRecovery = [] { return false; };
        options.announce = false;
        auto pipeline =
            SenderPipeline::create(settings, "BENCH-G2G-" + std::to_string(getpid()), {}, options);
        std::mutex portMutex;
        std::condition_variable portChanged;
        std::optional<uint16_t> port;
        pipeline->setStatusHandler([&](SenderStatus status) {
            std::lock_guard lock(portMutex);
            port = status.controlPort;
            portChanged.notify_all();
        });
        pipeline->start();
        {
            std::unique_lock lock(portMutex);
            if (!portChanged.wait_for(lock, std::chrono::seconds(30), [&] { return port.has_value(); })) {
                state.SkipWithError("the sender did not start listening");
                break;
            }
        }

        LatencyDisplay display(frameRate * 20);
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
            std::this_thread::sleep_for(kMeasured);
            display.setMeasuring(false);
        }
        const PlaybackStatistics stats = session->statistics();

        session->stop();
        session->queue().sync([] {});
        session.reset();
        // The handler refers to this iteration's locals; nothing may call it once they are gone.
        pipeline->setStatusHandler({});
        pipeline->stop();
        pipeline->queue().sync([] {});

        const SampleWindow latencies = display.latencies();
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
