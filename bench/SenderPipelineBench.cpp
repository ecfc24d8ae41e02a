// The whole sender on loopback: a pipeline on the test pattern serving 1 or 10 viewers over TCP at 720p and
// 1080p, 30 and 60 frames per second. For every frame of the main tier each viewer notes when its last byte
// arrived; the latency from the picture's capture time to that moment (median and 95th percentile over all
// viewers), and the sender's CPU per second of wall time (the viewers' own threads left out), are reported
// as counters. The viewers ask for the full quality and report the main tier ready, as players do.
//
//     build/bench/SenderPipelineBench

#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/resource.h>
#include <time.h>

#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/ControlMessage.h"
#include "core/MonotonicClock.h"
#include "core/SampleWindow.h"
#include "sender/pipeline/SenderPipeline.h"

using namespace kelvora;

namespace {

constexpr auto kWarmUp = std::chrono::seconds(3);
constexpr auto kMeasured = std::chrono::seconds(6);

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A viewer that keeps nothing but the latencies of the main tier's frames while measuring is on.
class LatencyViewer {
  public:
    LatencyViewer(uint16_t port, int number) : socket_(context_) {
        socket_.connect(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port));
        HelloMessage hello;
        hello.clientID = "BENCH-VIEWER-" + std::to_string(number);
        hello.clientName = "Messgerät " + std::to_string(number);
        hello.protocolVersion = HelloMessage::currentProtocolVersion;
        hello.engine = EngineKind::tcp();
        hello.supportedCodecs = {VideoCodec::h264};
        hello.deviceModel = "Benchmark";
        send(hello);
        send(QualityPreferenceMessage{StreamQuality::full});
        reader_ = std::thread([this] { read(); });
    }
    ~LatencyViewer() {
        std::error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        reader_.join();
        socket_.close(ignored);
    }

    void setMeasuring(bool on) { measuring_ = on; }
    std::vector<double> latencies() {
        std::lock_guard lock(mutex_);
        return latencies_;
    }
    // CPU time of the reading thread so far.
    double threadCpuSeconds() {
        clockid_t clock{};
        timespec time{};
        if (pthread_getcpuclockid(reader_.native_handle(), &clock) != 0 || clock_gettime(clock, &time) != 0) {
            return 0;
        }
        return double(time.tv_sec) + double(time.tv_nsec) / 1e9;
    }

  private:
    void send(const ControlMessage& message) {
        std::lock_guard lock(sendMutex_);
        Bytes bytes = message.encoded();
        std::error_code ignored;
        asio::write(socket_, asio::buffer(bytes), ignored);
    }

    void read() {
        ControlMessageParser parser;
        std::vector<uint8_t> buffer(256 * 1024);
        bool reportedReady = false;
        while (true) {
            std::error_code error;
            const size_t count = socket_.read_some(asio::buffer(buffer), error);
            if (error) {
                break;
            }
            const uint64_t arrival = MonotonicClock::now();
            auto result = parser.append(ByteView(buffer.data(), count));
            for (const auto& message : result.messages) {
                const auto* frame = message.get<EncodedVideoFrame>();
                if (frame == nullptr || frame->tier != 0) {
                    continue;
                }
                if (!reportedReady) {
                    reportedReady = true;
                    send(TierReadyMessage{0, false});
                }
                if (measuring_) {
                    std::lock_guard lock(mutex_);
                    latencies_.push_back(MonotonicClock::milliseconds(frame->captureTime, arrival));
                }
            }
            if (result.error) {
                break;
            }
        }
    }

    asio::io_context context_;
    asio::ip::tcp::socket socket_;
    std::mutex sendMutex_;
    std::atomic<bool> measuring_{false};
    std::mutex mutex_;
    std::vector<double> latencies_;
    std::thread reader_;
};

void CaptureToSent(benchmark::State& state) {
    const VideoDimensions size = state.range(0) == 720 ? VideoDimensions::hd720() : VideoDimensions::hd1080();
    const int frameRate = int(state.range(1));
    const int viewerCount = int(state.range(2));

    for (auto _ : state) {
        SenderSettings settings;
        settings.senderName = "Messung";
        settings.enabledEngines = {"tcp"};
        settings.controlPort = 0;
        settings.useTestPattern = true;
        settings.resolution = size;
        settings.frameRate = frameRate;
        SenderPipeline::Options hidden;
        hidden.announce = false;
        auto pipeline =
            SenderPipeline::create(settings, "BENCH-" + std::to_string(state.range(0)), {}, hidden);
        std::mutex portMutex;
        std::optional<uint16_t> port;
        pipeline->setStatusHandler([&](SenderStatus status) {
            std::lock_guard lock(portMutex);
            port = status.controlPort;
        });
        pipeline->start();
        while (true) {
            {
                std::lock_guard lock(portMutex);
                if (port) {
                    break;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }

        std::vector<std::unique_ptr<LatencyViewer>> viewers;
        for (int i = 0; i < viewerCount; ++i) {
            viewers.push_back(std::make_unique<LatencyViewer>(*port, i));
        }
        std::this_thread::sleep_for(kWarmUp);

        for (auto& viewer : viewers) {
            viewer->setMeasuring(true);
        }
        double viewerCpu = 0;
        for (auto& viewer : viewers) {
            viewerCpu -= viewer->threadCpuSeconds();
        }
        const double cpuStart = cpuSeconds(RUSAGE_SELF);
        const auto wallStart = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(kMeasured);
        for (auto& viewer : viewers) {
            viewer->setMeasuring(false);
        }
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        const double cpuEnd = cpuSeconds(RUSAGE_SELF);
        for (auto& viewer : viewers) {
            viewerCpu += viewer->threadCpuSeconds();
        }

        bench::stopAndWait(*pipeline);
        SampleWindow all(size_t(viewerCount) * size_t(frameRate) * 10);
        std::vector<std::vector<double>> perViewer;
        for (auto& viewer : viewers) {
            perViewer.push_back(viewer->latencies());
        }
        viewers.clear();
        for (const auto& latencies : perViewer) {
            for (double latency : latencies) {
                all.add(latency);
            }
        }
        state.counters["median_ms"] = all.percentile(0.5).value_or(-1);
        state.counters["p95_ms"] = all.percentile(0.95).value_or(-1);
        state.counters["frames"] = double(all.count());
        state.counters["sender_cpu_s_per_s"] = (cpuEnd - cpuStart - viewerCpu) / wall;
        state.SetIterationTime(wall);
    }
}

}  // namespace

BENCHMARK(CaptureToSent)
    ->ArgNames({"height", "fps", "viewers"})
    ->ArgsProduct({{720, 1080}, {30, 60}, {1, 10}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
