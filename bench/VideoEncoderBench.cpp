// The tier encoder against the ffmpeg command-line tool encoding the same pictures with libx264 at the same
// preset, tuning and rate control, in one run: CPU per frame of both (and their ratio), and the tier
// encoder's latency from submitting a picture to receiving its frame. Run it pinned to two cores to see the
// latency a small machine gets:  taskset -c 0,1 build/bench/VideoEncoderBench

#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/MonotonicClock.h"
#include "core/SampleWindow.h"
#include "sender/pipeline/SenderSettings.h"
#include "sender/pipeline/VideoEncoder.h"
#include "sender/pipeline/X264Session.h"

extern char** environ;

using namespace kelvora;

namespace {

constexpr int kFrames = 300;  // ten seconds at 30 fps
constexpr int kDistinctPictures = 30;

// A second of camera-like pictures: a drifting pattern with a noisy region that changes every frame.
std::vector<PixelBuffer> pictures(int width, int height) {
    std::vector<PixelBuffer> out;
    uint32_t seed = 1;
    for (int t = 0; t < kDistinctPictures; ++t) {
        PixelBuffer buffer = PixelBuffer::make(PixelFormat::nv12, width, height);
        for (int y = 0; y < height; ++y) {
            uint8_t* row = buffer.data(0) + size_t(y) * buffer.stride(0);
            for (int x = 0; x < width; ++x) {
                int value = ((x + 3 * t) / 8 ^ (y + t) / 8) * 7 % 200 + 20;
                if (x > width / 2 && y > height / 2) {
                    seed = seed * 1664525u + 1013904223u;
                    value = std::clamp(value + int(seed >> 28) - 8, 16, 235);
                }
                row[x] = uint8_t(value);
            }
        }
        for (int y = 0; y < buffer.planeHeight(1); ++y) {
            uint8_t* row = buffer.data(1) + size_t(y) * buffer.stride(1);
            for (int x = 0; x < buffer.planeWidth(1); ++x) {
                row[2 * x] = uint8_t(128 + ((x + t) % 64) - 32);
                row[2 * x + 1] = uint8_t(128 + ((y + 2 * t) % 48) - 24);
            }
        }
        out.push_back(std::move(buffer));
    }
    return out;
}

double cpuSeconds(const rusage& usage) {
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return cpuSeconds(usage);
}

struct OwnRun {
    double cpuMsPerFrame = 0;
    SampleWindow latencyMs{kFrames};
};

// Submits one picture at a time and waits for its frame, so every latency sample is one picture's own.
OwnRun runTierEncoder(const std::vector<PixelBuffer>& input, int width, int height, int kbps) {
    EncoderConfiguration configuration;
    configuration.codec = VideoCodec::h264;
    configuration.dimensions = {width, height};
    configuration.frameRate = 30;
    configuration.bitrateKbps = kbps;
    configuration.keyframeInterval = 2.0;

    std::mutex mutex;
    std::condition_variable arrived;
    uint64_t lastOutput = 0;
    int outputs = 0;
    VideoEncoder encoder(0, configuration, [&](EncodedVideoFrame frame) {
        benchmark::DoNotOptimize(frame.payload.data());
        std::lock_guard lock(mutex);
        lastOutput = MonotonicClock::now();
        ++outputs;
        arrived.notify_all();
    });

    OwnRun run;
    double cpuBefore = processCpuSeconds();
    for (int i = 0; i < kFrames; ++i) {
        uint64_t submitted = MonotonicClock::now();
        encoder.encode(input[size_t(i % kDistinctPictures)], uint64_t(i) * 33'333'333, false);
        std::unique_lock lock(mutex);
        arrived.wait(lock, [&] { return outputs == i + 1; });
        run.latencyMs.add(MonotonicClock::milliseconds(submitted, lastOutput));
    }
    run.cpuMsPerFrame = (processCpuSeconds() - cpuBefore) * 1000 / kFrames;
    return run;
}

// The same pictures through `ffmpeg` with libx264: CPU of the child process per frame; -1 when the tool
// cannot be run.
double runFfmpeg(const std::vector<PixelBuffer>& input, int width, int height, int kbps) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return -1;
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    std::string rate = std::to_string(kbps) + "k";
    std::string buffer = std::to_string(std::max(kbps / 10, kbps / 30)) + "k";
    std::vector<std::string> arguments = {"ffmpeg",
                                          "-hide_banner",
                                          "-loglevel",
                                          "error",
                                          "-nostdin",
                                          "-f",
                                          "rawvideo",
                                          "-pix_fmt",
                                          "nv12",
                                          "-s:v",
                                          size,
                                          "-framerate",
                                          "30",
                                          "-i",
                                          "pipe:3",
                                          "-c:v",
                                          "libx264",
                                          "-preset",
                                          X264Session::preset,
                                          "-tune",
                                          "zerolatency",
                                          "-profile:v",
                                          "high",
                                          "-b:v",
                                          rate,
                                          "-maxrate",
                                          rate,
                                          "-bufsize",
                                          buffer,
                                          "-g",
                                          "60",
                                          "-keyint_min",
                                          "1",
                                          "-sc_threshold",
                                          "0",
                                          "-f",
                                          "null",
                                          "-"};
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], 3);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    pid_t child = 0;
    int spawned = posix_spawnp(&child, "ffmpeg", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[0]);
    if (spawned != 0) {
        close(pipeEnds[1]);
        return -1;
    }
    signal(SIGPIPE, SIG_IGN);
    std::vector<uint8_t> packed(size_t(width) * height * 3 / 2);
    for (int i = 0; i < kFrames; ++i) {
        const PixelBuffer& picture = input[size_t(i % kDistinctPictures)];
        uint8_t* at = packed.data();
        for (int y = 0; y < height; ++y, at += width)
            std::memcpy(at, picture.data(0) + size_t(y) * picture.stride(0), size_t(width));
        for (int y = 0; y < height / 2; ++y, at += width)
            std::memcpy(at, picture.data(1) + size_t(y) * picture.stride(1), size_t(width));
        for (size_t written = 0; written < packed.size();) {
            ssize_t n = write(pipeEnds[1], packed.data() + written, packed.size() - written);
            if (n <= 0)
                break;
            written += size_t(n);
        }
    }
    close(pipeEnds[1]);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return cpuSeconds(usage) * 1000 / kFrames;
}

void BM_TierEncoderAgainstFfmpeg(benchmark::State& state) {
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    const int kbps = SenderSettings::automaticBitrateKbps(width, height, 30, false);
    const auto input = pictures(width, height);
    OwnRun own;
    double ffmpeg = -1;
    for (auto _ : state) {
        own = runTierEncoder(input, width, height, kbps);
        ffmpeg = runFfmpeg(input, width, height, kbps);
    }
    state.counters["cpu_ms_per_frame"] = own.cpuMsPerFrame;
    state.counters["ffmpeg_cpu_ms_per_frame"] = ffmpeg;
    state.counters["cpu_ratio"] = ffmpeg > 0 ? own.cpuMsPerFrame / ffmpeg : -1;
    state.counters["latency_p50_ms"] = own.latencyMs.median().value_or(-1);
    state.counters["latency_p95_ms"] = own.latencyMs.p95().value_or(-1);
    state.counters["latency_max_ms"] = own.latencyMs.percentile(1.0).value_or(-1);
    state.counters["frame_interval_ms"] = 1000.0 / 30;
}

BENCHMARK(BM_TierEncoderAgainstFfmpeg)
    ->Args({1280, 720})
    ->Args({1920, 1080})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
