// Glass to glass on loopback, QUIC against TCP with the same settings: a pipeline on the test pattern (720p,
// 30 frames per second) and one viewer session asking for the engine, with smoothing off. Each shown
// picture's time code is read back; capture to showing, on the one clock both sides share in this process,
// gives the latency. Median and 95th percentile over the measured seconds are reported as counters, together
// with the engine the viewer actually got and its decode errors.
//
//     build/bench/QuicLatencyBench

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/MonotonicClock.h"
#include "core/TestPatternTimecode.h"
#include "receiver/session/ReceiverSession.h"
#include "sender/pipeline/SenderPipeline.h"

using namespace kelvora;

namespace {

constexpr auto kWarmUp = std::chrono::seconds(3);
constexpr auto kMeasured = std::chrono::seconds(8);

// The identity the QUIC engine makes lives here for the run, not in the user's application folder.
class ScratchFolder {
  public:
    ScratchFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvora-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~ScratchFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) {
        return -1;
    }
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(fraction * double(values.size() - 1) + 0.5));
    return values[index];
}

void GlassToGlass(benchmark::State& state) {
    const EngineKind wanted = state.range(0) == 0 ? EngineKind::tcp() : EngineKind::quic();
    for (auto _ : state) {
        ScratchFolder folder;
        SenderSettings settings;
        settings.senderName = "Messung";
        settings.enabledEngines = {"tcp", "quic"};
        settings.controlPort = 0;
        settings.useTestPattern = true;
        settings.resolution = VideoDimensions::hd720();
        settings.frameRate = 30;
        SenderPipeline::Options options;
        options.applicationFolder = folder.path();
        options.announce = false;
        auto pipeline = SenderPipeline::create(settings, "BENCH-QUIC", {}, options);
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<uint16_t> port;
        pipeline->setStatusHandler([&](SenderStatus status) {
            std::lock_guard lock(mutex);
            port = status.controlPort;
            changed.notify_all();
        });
        pipeline->start();
        {
            std::unique_lock lock(mutex);
            if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return bool(port); })) {
                state.SkipWithError("the sender did not open its port");
                return;
            }
        }

        bool measuring = false;
        std::vector<double> latencies;
        auto session = ReceiverSession::create(wanted, NetworkEndpoint::hostPort("127.0.0.1", *port),
                                               ReceiverIdentity{"BENCH-VIEWER", "Messgerät", "Linux"});
        session->setSmoothingEnabled(false);
        session->frameOutput.set([&](PixelBuffer picture) {
            const uint64_t shown = MonotonicClock::now();
            auto capture = TestPatternTimecode::read(picture);
            std::lock_guard lock(mutex);
            if (measuring && capture) {
                latencies.push_back(MonotonicClock::milliseconds(*capture, shown));
            }
        });
        session->start();
        std::this_thread::sleep_for(kWarmUp);
        {
            std::lock_guard lock(mutex);
            measuring = true;
        }
        std::this_thread::sleep_for(kMeasured);
        {
            std::lock_guard lock(mutex);
            measuring = false;
        }
        const PlaybackStatistics statistics = session->statistics();
        session->stop();
        session->queue().sync([] {});
        pipeline->stop();
        pipeline->queue().sync([] {});

        std::vector<double> measured;
        {
            std::lock_guard lock(mutex);
            measured = latencies;
        }
        if (statistics.engine != wanted) {
            state.SkipWithError(("the viewer got engine " +
                                 (statistics.engine ? statistics.engine->rawValue : std::string("none")))
                                    .c_str());
            return;
        }
        state.counters["median_ms"] = percentile(measured, 0.5);
        state.counters["p95_ms"] = percentile(measured, 0.95);
        state.counters["pictures"] = double(measured.size());
        state.counters["decode_errors"] = statistics.decodeErrors;
        session.reset();
        pipeline.reset();
    }
    state.SetLabel(wanted.rawValue);
}

BENCHMARK(GlassToGlass)->Arg(0)->Arg(1)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
