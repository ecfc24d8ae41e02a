// What the preview costs per 1920x1080 NV12 frame: the renderer handing each picture to a display that fits
// it into 960x540 at display quality on the renderer's queue (what the video item does), beside a bare
// libswscale call doing the same conversion, and beside the two exact scalings the preview used to make (to a
// 1280x720 picture of its own, then again to the item's size). The renderer's hand-off, pool and letterboxing
// should add little (within 1.15x of the bare call).
#include "app/preview/PreviewRenderer.h"
#include "platform/PixelBufferPool.h"
#include "receiver/session/views/Letterbox.h"

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

// Fits each picture into the item's size as the video item does, and tells the benchmark when it is shown.
class LetterboxingSink final : public PreviewOutput {
  public:
    void show(PixelBuffer picture) override {
        letterbox(transfer_, picture, pool_.make());
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
    PixelTransfer transfer_{TransferQuality::display};
    PixelBufferPool pool_{PixelFormat::bgra, 960, 540, 3};
    std::mutex mutex_;
    std::condition_variable changed_;
    uint64_t shown_ = 0;
};

void BM_PreviewRenderer1080pTo540p(benchmark::State& state) {
    const auto frames = sourceFrames();
    auto sink = std::make_shared<LetterboxingSink>();
    PreviewRenderer renderer(1280, 720, sink);
    uint64_t submitted = 0;
    for (auto _ : state) {
        renderer.submit(frames[submitted % frames.size()]);
        sink->waitFor(++submitted);
    }
    state.SetItemsProcessed(static_cast<int64_t>(submitted));
}
BENCHMARK(BM_PreviewRenderer1080pTo540p)->UseRealTime()->Unit(benchmark::kMillisecond);

SwsContext* scaler(int width, int height, AVPixelFormat from, int toWidth, int toHeight, int flags) {
    SwsContext* context = sws_getContext(width, height, from, toWidth, toHeight, AV_PIX_FMT_BGRA, flags,
                                         nullptr, nullptr, nullptr);
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(context, coefficients, from == AV_PIX_FMT_NV12 ? 0 : 1, coefficients, 1, 0,
                             1 << 16, 1 << 16);
    return context;
}

void scale(SwsContext* context, const PixelBuffer& from, const PixelBuffer& to) {
    const uint8_t* planes[4] = {from.data(0), from.planeCount() > 1 ? from.data(1) : nullptr, nullptr,
                                nullptr};
    const int strides[4] = {from.stride(0), from.planeCount() > 1 ? from.stride(1) : 0, 0, 0};
    uint8_t* outPlanes[4] = {to.data(0), nullptr, nullptr, nullptr};
    const int outStrides[4] = {to.stride(0), 0, 0, 0};
    sws_scale(context, planes, strides, 0, from.height(), outPlanes, outStrides);
    benchmark::DoNotOptimize(to.data(0));
}

void BM_BareSwscale1080pTo540p(benchmark::State& state) {
    const auto frames = sourceFrames();
    SwsContext* context = scaler(1920, 1080, AV_PIX_FMT_NV12, 960, 540, SWS_BILINEAR);
    PixelBuffer output = PixelBuffer::make(PixelFormat::bgra, 960, 540);
    uint64_t converted = 0;
    for (auto _ : state) {
        scale(context, frames[converted++ % frames.size()], output);
    }
    sws_freeContext(context);
    state.SetItemsProcessed(static_cast<int64_t>(converted));
}
BENCHMARK(BM_BareSwscale1080pTo540p)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_TwoExactScalings1080pTo720pTo540p(benchmark::State& state) {
    const auto frames = sourceFrames();
    constexpr int kExact = SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT;
    SwsContext* first = scaler(1920, 1080, AV_PIX_FMT_NV12, 1280, 720, kExact);
    SwsContext* second = scaler(1280, 720, AV_PIX_FMT_BGRA, 960, 540, kExact);
    PixelBuffer preview = PixelBuffer::make(PixelFormat::bgra, 1280, 720);
    PixelBuffer output = PixelBuffer::make(PixelFormat::bgra, 960, 540);
    uint64_t converted = 0;
    for (auto _ : state) {
        scale(first, frames[converted++ % frames.size()], preview);
        scale(second, preview, output);
    }
    sws_freeContext(first);
    sws_freeContext(second);
    state.SetItemsProcessed(static_cast<int64_t>(converted));
}
BENCHMARK(BM_TwoExactScalings1080pTo720pTo540p)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
