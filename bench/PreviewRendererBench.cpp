// The preview renderer's cost per 1920x1080 NV12 frame scaled to 1280x720, beside a bare libswscale call
// doing the same conversion on the same frames: the renderer's hand-off, pool and letterboxing should add
// little (within 1.15x of the bare call).
#include "app/preview/PreviewRenderer.h"

#include <benchmark/benchmark.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <condition_variable>
#include <cstring>
#include <mutex>

namespace {

using namespace kelvora;

std::vector<PixelBuffer> sourceFrames() {
    std::vector<PixelBuffer> frames;
    for (int i = 0; i < 4; ++i) {
        PixelBuffer frame = PixelBuffer::make(PixelFormat::nv12, 1920, 1080);
        for (int plane = 0; plane < 2; ++plane) {
            for (int y = 0; y < frame.planeHeight(plane); ++y) {
                uint8_t* row = frame.data(plane) + y * frame.stride(plane);
                for (int x = 0; x < frame.planeWidth(plane) * frame.bytesPerSample(plane); ++x) {
                    row[x] = static_cast<uint8_t>(16 + (x * 7 + y * 3 + i * 40) % 220);
                }
            }
        }
        frames.push_back(frame);
    }
    return frames;
}

// Tells the benchmark when a picture has been shown.
class CountingSink final : public PreviewOutput {
  public:
    void show(PixelBuffer) override {
        std::lock_guard lock(mutex_);
        ++shown_;
        changed_.notify_all();
    }
    void clear() override {}
    void waitFor(uint64_t count) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return shown_ >= count; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t shown_ = 0;
};

void BM_PreviewRenderer1080pTo720p(benchmark::State& state) {
    const auto frames = sourceFrames();
    auto sink = std::make_shared<CountingSink>();
    PreviewRenderer renderer(1280, 720, sink);
    uint64_t submitted = 0;
    for (auto _ : state) {
        renderer.submit(frames[submitted % frames.size()]);
        sink->waitFor(++submitted);
    }
    state.SetItemsProcessed(static_cast<int64_t>(submitted));
}
BENCHMARK(BM_PreviewRenderer1080pTo720p)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_BareSwscale1080pTo720p(benchmark::State& state) {
    const auto frames = sourceFrames();
    SwsContext* context =
        sws_getContext(1920, 1080, AV_PIX_FMT_NV12, 1280, 720, AV_PIX_FMT_BGRA,
                       SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(context, coefficients, 0, coefficients, 1, 0, 1 << 16, 1 << 16);
    PixelBuffer output = PixelBuffer::make(PixelFormat::bgra, 1280, 720);
    uint64_t converted = 0;
    for (auto _ : state) {
        const PixelBuffer& frame = frames[converted++ % frames.size()];
        const uint8_t* planes[4] = {frame.data(0), frame.data(1), nullptr, nullptr};
        const int strides[4] = {frame.stride(0), frame.stride(1), 0, 0};
        uint8_t* outPlanes[4] = {output.data(0), nullptr, nullptr, nullptr};
        const int outStrides[4] = {output.stride(0), 0, 0, 0};
        sws_scale(context, planes, strides, 0, 1080, outPlanes, outStrides);
        benchmark::DoNotOptimize(output.data(0));
    }
    sws_freeContext(context);
    state.SetItemsProcessed(static_cast<int64_t>(converted));
}
BENCHMARK(BM_BareSwscale1080pTo720p)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
