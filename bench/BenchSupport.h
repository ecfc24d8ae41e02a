#pragma once

// Set-up the loopback benchmarks share.

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "core/SampleWindow.h"
#include "sender/pipeline/SenderPipeline.h"
#include "sender/pipeline/SourceFactory.h"

namespace kelvora::bench {

// A throw-away folder for what a run writes (the QUIC engine's identity, for one), not the user's
// application folder; removed with its contents.
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

// A sender on the test picture for viewers in the same process: TCP only, on any free port, not announced,
// without the watchdog's source recovery; its name and sender id carry the process id.
inline std::shared_ptr<SenderPipeline> testPatternPipeline(SenderSettings settings, const std::string& name,
                                                           const std::string& idPrefix) {
    settings.senderName = name + " " + std::to_string(getpid());
    settings.enabledEngines = {"tcp"};
    settings.controlPort = 0;
    settings.useTestPattern = true;
    SenderPipeline::Options options;
    options.sources = SourceFactory::system();
    options.autoSourceRecovery = [] { return false; };
    options.announce = false;
    return SenderPipeline::create(settings, idPrefix + "-" + std::to_string(getpid()), {}, options);
}

// Starts the pipeline and waits up to 30 seconds for its status to name the control port it listens on;
// nothing when it never does.
inline std::optional<uint16_t> startAndWaitForPort(SenderPipeline& pipeline) {
    struct Wait {
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<uint16_t> port;
    };
    auto wait = std::make_shared<Wait>();
    pipeline.setStatusHandler([wait](SenderStatus status) {
        std::lock_guard lock(wait->mutex);
        wait->port = status.controlPort;
        wait->changed.notify_all();
    });
    pipeline.start();
    std::unique_lock lock(wait->mutex);
    wait->changed.wait_for(lock, std::chrono::seconds(30), [&] { return wait->port.has_value(); });
    return wait->port;
}

// Stops the pipeline and waits until its queue has carried that out. Its status handler goes first: it refers
// to the caller's locals, and nothing may call it once they are gone.
inline void stopAndWait(SenderPipeline& pipeline) {
    pipeline.setStatusHandler({});
    pipeline.stop();
    pipeline.queue().sync([] {});
}

// The latency figures the transports are compared by: median, 95th and 99th percentile and the worst.
inline void setLatencyCounters(benchmark::State& state, const SampleWindow& latencies) {
    state.counters["median_ms"] = latencies.median().value_or(-1);
    state.counters["p95_ms"] = latencies.p95().value_or(-1);
    state.counters["p99_ms"] = latencies.percentile(0.99).value_or(-1);
    state.counters["max_ms"] = latencies.percentile(1.0).value_or(-1);
}

}  // namespace kelvora::bench
