// Decoding cost of the receiver's video decoder against the ffmpeg command-line tool on the same stream.
//
// For each size, a 10 s H.264 stream (libx264, zero latency, keyframe every 2 s) of a panning, noisy
// picture is made once. The `ffmpeg` tool decodes its Annex B form in one run (`-f null`); we read the
// child's CPU time from wait4. The decoder then decodes the same frames in their wire form, NV12 pictures
// included, and the process CPU time is divided by the frame count. The counters give both figures in
// milliseconds per frame and their ratio (ours / ffmpeg's); `ffmpeg_1t_ms` is ffmpeg limited to one thread.

#include "core/Nal.h"
#include "core/ParameterSets.h"
#include "receiver/session/VideoDecoder.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/opt.h>
}

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>

extern char** environ;

namespace {

using namespace kelvora;

constexpr int kFrames = 300;

struct Stream {
    Bytes annexB;
    std::vector<EncodedVideoFrame> frames;
};

Stream makeStream(int width, int height, int bitrateKbps) {
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = {1, 30};
    context->framerate = {30, 1};
    context->gop_size = 60;
    context->max_b_frames = 0;
    context->bit_rate = int64_t{bitrateKbps} * 1000;
    av_opt_set(context->priv_data, "preset", "veryfast", 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    AVFrame* picture = av_frame_alloc();
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = width;
    picture->height = height;
    AVPacket* packet = av_packet_alloc();
    if (avcodec_open2(context, codec, nullptr) < 0 || av_frame_get_buffer(picture, 0) < 0) {
        throw std::runtime_error("libx264 did not open");
    }

    // A texture twice the picture's size that pans, plus fresh noise, so that every frame carries detail.
    std::mt19937 random(7);
    std::vector<uint8_t> texture(static_cast<size_t>(width) * 2 * height * 2);
    for (size_t i = 0; i < texture.size(); ++i) {
        texture[i] =
            static_cast<uint8_t>(((i % (width * 2)) / 8 + (i / (width * 2)) / 8) * 9 + random() % 40);
    }
    Stream stream;
    for (int n = 0; n < kFrames; ++n) {
        av_frame_make_writable(picture);
        const int dx = (n * 5) % width, dy = (n * 3) % height;
        for (int y = 0; y < height; ++y) {
            const uint8_t* source = texture.data() + static_cast<size_t>(y + dy) * width * 2 + dx;
            uint8_t* row = picture->data[0] + y * picture->linesize[0];
            for (int x = 0; x < width; ++x) {
                row[x] = static_cast<uint8_t>(source[x] + random() % 8);
            }
        }
        for (int plane = 1; plane < 3; ++plane) {
            for (int y = 0; y < height / 2; ++y) {
                for (int x = 0; x < width / 2; ++x) {
                    picture->data[plane][y * picture->linesize[plane] + x] =
                        static_cast<uint8_t>(128 + ((x + y + n) % 64) - 32);
                }
            }
        }
        picture->pts = n;
        if (avcodec_send_frame(context, picture) < 0 || avcodec_receive_packet(context, packet) < 0) {
            throw std::runtime_error("libx264 gave no frame");
        }
        const ByteView annexB(packet->data, static_cast<size_t>(packet->size));
        stream.annexB.insert(stream.annexB.end(), annexB.begin(), annexB.end());
        EncodedVideoFrame frame;
        frame.codec = VideoCodec::h264;
        frame.frameNumber = static_cast<uint64_t>(n) + 1;
        frame.dimensions = {width, height};
        if (packet->flags & AV_PKT_FLAG_KEY) {
            frame.flags = EncodedVideoFrame::Flags::keyframe;
            frame.parameterSets = ParameterSets::extract(annexB, VideoCodec::h264);
        }
        frame.payload = nal::toLengthPrefixed(annexB, VideoCodec::h264);
        stream.frames.push_back(std::move(frame));
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    av_frame_free(&picture);
    avcodec_free_context(&context);
    return stream;
}

double cpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds of one `ffmpeg` run decoding the file to nothing.
double ffmpegCpuSeconds(const std::string& path, const char* threads) {
    std::vector<std::string> arguments{"ffmpeg",   "-nostdin", "-hide_banner", "-loglevel", "error",
                                       "-threads", threads,    "-f",           "h264",      "-i",
                                       path,       "-f",       "null",         "-"};
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    if (posix_spawnp(&child, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("ffmpeg did not start (is the ffmpeg package installed?)");
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("ffmpeg failed");
    }
    return cpuSeconds(usage);
}

struct Fixture {
    Stream stream;
    double ffmpegMsPerFrame = 0;
    double ffmpegSingleThreadMsPerFrame = 0;
};

const Fixture& fixture(int width, int height, int bitrateKbps) {
    static std::map<int, Fixture> fixtures;
    Fixture& fixture = fixtures[width];
    if (fixture.stream.frames.empty()) {
        fixture.stream = makeStream(width, height, bitrateKbps);
        const auto path =
            std::filesystem::temp_directory_path() /
            ("kelvora-decoder-bench-" + std::to_string(getpid()) + "-" + std::to_string(width) + ".h264");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(fixture.stream.annexB.data()),
                   static_cast<std::streamsize>(fixture.stream.annexB.size()));
        // The best of three runs, as the benchmark's own figure is the mean of steady iterations.
        double automatic = 1e9, single = 1e9;
        for (int run = 0; run < 3; ++run) {
            automatic = std::min(automatic, ffmpegCpuSeconds(path, "0"));
            single = std::min(single, ffmpegCpuSeconds(path, "1"));
        }
        std::filesystem::remove(path);
        fixture.ffmpegMsPerFrame = automatic * 1000 / kFrames;
        fixture.ffmpegSingleThreadMsPerFrame = single * 1000 / kFrames;
    }
    return fixture;
}

void decodeStream(benchmark::State& state) {
    const int width = static_cast<int>(state.range(0));
    const int height = static_cast<int>(state.range(1));
    const Fixture& f = fixture(width, height, static_cast<int>(state.range(2)));

    std::mutex mutex;
    std::condition_variable done;
    size_t pictures = 0;
    size_t errors = 0;
    VideoDecoder decoder([&](VideoDecoder::Result result) {
        std::lock_guard lock(mutex);
        (std::holds_alternative<DecodedFrame>(result) ? pictures : errors) += 1;
        done.notify_all();
    });

    double cpu = 0;
    size_t frames = 0;
    for (auto _ : state) {
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        for (const EncodedVideoFrame& frame : f.stream.frames) {
            decoder.decode(frame, 0);
        }
        {
            std::unique_lock lock(mutex);
            done.wait(lock, [&] { return pictures + errors == frames + f.stream.frames.size(); });
        }
        getrusage(RUSAGE_SELF, &after);
        cpu += cpuSeconds(after) - cpuSeconds(before);
        frames += f.stream.frames.size();
    }
    if (errors > 0) {
        state.SkipWithError("decode errors");
    }
    const double ours = cpu * 1000 / static_cast<double>(frames);
    state.counters["cpu_ms"] = ours;
    state.counters["ffmpeg_ms"] = f.ffmpegMsPerFrame;
    state.counters["ffmpeg_1t_ms"] = f.ffmpegSingleThreadMsPerFrame;
    state.counters["ratio"] = ours / f.ffmpegMsPerFrame;
    state.counters["stream_kbps"] = static_cast<double>(f.stream.annexB.size()) * 8 / 10 / 1000;
}

BENCHMARK(decodeStream)
    ->Args({1280, 720, 6000})
    ->Args({1920, 1080, 10000})
    ->Unit(benchmark::kMillisecond)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
