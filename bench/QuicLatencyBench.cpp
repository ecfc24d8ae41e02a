// Glass to glass on loopback, QUIC against TCP with the same settings: a pipeline on the test pattern (720p,
// 30 frames per second) and one viewer session asking for the engine, with smoothing off. Each shown
// picture's time code is read back; capture to showing, on the one clock both sides share in this process,
// gives the latency. Reported as counters: median, 95th and 99th percentile and the worst picture over the
// measured seconds; the pictures that never showed and those later than one frame interval; and, per
// one-second window, how many windows had a 95th percentile beyond one frame interval and the worst such
// percentile, since a viewer notices a bad second rather than a bad average. The engine the viewer actually
// got and its decode errors are checked too.
//
//     build/bench/QuicLatencyBench
//
// Under packet loss, run through scripts/bench-loss.sh: it drops a share of the packets in a private
// network namespace and names the share in the benchmark context.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/MonotonicClock.h"
#include "core/SampleWindow.h"
#include "core/TestPatternTimecode.h"
#include "receiver/session/ReceiverSession.h"
#include "sender/pipeline/SenderPipeline.h"

using namespace kelvora;
using bench::ScratchFolder;

namespace {

constexpr auto kWarmUp = std::chrono::seconds(3);
constexpr int kFrameRate = 30;
constexpr double kFrameIntervalMs = 1000.0 / kFrameRate;

struct Shown {
    uint64_t at;
    double latencyMs;
};

void GlassToGlass(benchmark::State& state) {
    const EngineKind wanted = state.range(0) == 0 ? EngineKind::tcp() : EngineKind::quic();
    const int windows = int(state.range(1));
    for (auto _ : state) {
        ScratchFolder folder;
        SenderSettings settings;
        settings.senderName = "Messung";
        settings.enabledEngines = {"tcp", "quic"};
        settings.controlPort = 0;
        settings.useTestPattern = true;
        settings.resolution = VideoDimensions::hd720();
        settings.frameRate = kFrameRate;
        SenderPipeline::Options options;
        options.applicationFolder = folder.path();
        options.announce = false;
        auto pipeline = SenderPipeline::create(settings, "BENCH-QUIC", {}, options);
        const std::optional<uint16_t> port = bench::startAndWaitForPort(*pipeline);
        if (!port) {
            state.SkipWithError("the sender did not open its port");
            return;
        }
        std::mutex mutex;

        bool measuring = false;
        std::vector<Shown> shown;
        auto session = ReceiverSession::create(wanted, NetworkEndpoint::hostPort("127.0.0.1", *port),
                                               ReceiverIdentity{"BENCH-VIEWER", "Messgerät", "Linux"});
        session->setSmoothingEnabled(false);
        session->frameOutput.set([&](PixelBuffer picture) {
            const uint64_t now = MonotonicClock::now();
            auto capture = TestPatternTimecode::read(picture);
            std::lock_guard lock(mutex);
            if (measuring && capture) {
                shown.push_back({now, MonotonicClock::milliseconds(*capture, now)});
            }
        });
        session->start();
        std::this_thread::sleep_for(kWarmUp);
        const PlaybackStatistics before = session->statistics();
        uint64_t measureStart = 0;
        {
            std::lock_guard lock(mutex);
            measuring = true;
            measureStart = MonotonicClock::now();
        }
        std::this_thread::sleep_for(std::chrono::seconds(windows));
        {
            std::lock_guard lock(mutex);
            measuring = false;
        }
        const PlaybackStatistics statistics = session->statistics();
        session->stop();
        session->queue().sync([] {});
        bench::stopAndWait(*pipeline);

        std::vector<Shown> measured;
        {
            std::lock_guard lock(mutex);
            measured = shown;
        }
        if (statistics.engine != wanted) {
            state.SkipWithError(("the viewer got engine " +
                                 (statistics.engine ? statistics.engine->rawValue : std::string("none")))
                                    .c_str());
            return;
        }
        SampleWindow all(int(measured.size()));
        std::map<int64_t, SampleWindow> perSecond;
        int latePictures = 0;
        for (const Shown& picture : measured) {
            all.add(picture.latencyMs);
            latePictures += picture.latencyMs > kFrameIntervalMs ? 1 : 0;
            int64_t window = int64_t(MonotonicClock::milliseconds(measureStart, picture.at) / 1000);
            perSecond.try_emplace(window, kFrameRate * 4).first->second.add(picture.latencyMs);
        }
        int badWindows = 0;
        double worstWindowP95 = 0;
        for (const auto& [window, latencies] : perSecond) {
            double p95 = latencies.p95().value_or(0);
            badWindows += p95 > kFrameIntervalMs ? 1 : 0;
            worstWindowP95 = std::max(worstWindowP95, p95);
        }
        bench::setLatencyCounters(state, all);
        state.counters["pictures"] = double(measured.size());
        // Pictures the source made in the measured time that were never shown.
        state.counters["missing"] = std::max(0.0, double(windows * kFrameRate) - double(measured.size()));
        state.counters["late"] = latePictures;
        state.counters["windows_over"] = badWindows;
        state.counters["worst_window_p95"] = worstWindowP95;
        state.counters["lost_gaps"] = statistics.framesLost - before.framesLost;
        state.counters["overtaken"] = statistics.framesLate - before.framesLate;
        state.counters["decode_errors"] = statistics.decodeErrors;
        state.SetIterationTime(double(windows));
        session.reset();
        pipeline.reset();
    }
    state.SetLabel(wanted.rawValue);
}

BENCHMARK(GlassToGlass)
    ->ArgNames({"quic", "seconds"})
    ->ArgsProduct({{0, 1}, {35}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
