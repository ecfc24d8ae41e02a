#include "platform/PixelBufferPool.h"
#include "sender/pipeline/Nv12Intake.h"
#include "sender/pipeline/ParallelLoop.h"
#include "sender/sources/SampleVideoPainter.h"
#include "sender/sources/TestPatternPainter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <deque>
#include <vector>

using namespace kelvora;

// One 1080p test picture into a buffer whose content is unknown (the source's first pictures); at 60 fps the
// budget is 16.7 ms.
static void BM_TestPatternDraw1080p(benchmark::State& state) {
    TestPatternPainter painter(VideoDimensions::hd1080(), 60);
    auto picture = PixelBuffer::make(PixelFormat::bgra, 1920, 1080);
    uint64_t counter = 0;
    for (auto _ : state) {
        ++counter;
        painter.draw(picture, TestPatternPainter::Frame{
                                  counter, counter * 16'666'667, counter * 16.7,
                                  TestPatternPainter::clockText(std::chrono::system_clock::now())});
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TestPatternDraw1080p)->Unit(benchmark::kMillisecond);

// As the source draws once running: into buffers of its pool that come back with an earlier picture, while
// the consumers hold the last three.
static void BM_TestPatternDrawRecycled1080p(benchmark::State& state) {
    TestPatternPainter painter(VideoDimensions::hd1080(), 60);
    PixelBufferPool pool(PixelFormat::bgra, 1920, 1080, 6);
    std::deque<PixelBuffer> held;
    uint64_t counter = 0;
    for (auto _ : state) {
        ++counter;
        const auto contents = pool.idleCount() > 0 ? TestPatternPainter::Contents::earlierPicture
                                                   : TestPatternPainter::Contents::unknown;
        PixelBuffer picture = pool.make();
        painter.draw(
            picture,
            TestPatternPainter::Frame{counter, counter * 16'666'667, counter * 16.7,
                                      TestPatternPainter::clockText(std::chrono::system_clock::now())},
            contents);
        benchmark::ClobberMemory();
        held.push_back(std::move(picture));
        if (held.size() > 3) {
            held.pop_front();
        }
    }
}
BENCHMARK(BM_TestPatternDrawRecycled1080p)->Unit(benchmark::kMillisecond);

// The pipeline's intake turning one drawn 1080p test picture into NV12 for the encoders, in as many bands
// as the argument says (0: one per processor this process may run on, as the pipeline does).
static void BM_TestPatternToNv12_1080p(benchmark::State& state) {
    const size_t bands = state.range(0) > 0 ? size_t(state.range(0)) : Nv12Intake::bandsForThisProcess();
    TestPatternPainter painter(VideoDimensions::hd1080(), 60);
    auto picture = PixelBuffer::make(PixelFormat::bgra, 1920, 1080);
    painter.draw(picture, TestPatternPainter::Frame{1, 16'666'667, 16.7, "12:34:56.789"});
    ParallelLoop loop(std::max<size_t>(2, bands - 1));
    Nv12Intake intake(bands);
    for (auto _ : state) {
        benchmark::DoNotOptimize(intake.convert(picture, loop));
    }
    state.counters["bands"] = double(bands);
}
BENCHMARK(BM_TestPatternToNv12_1080p)->Arg(1)->Arg(3)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime();

// One picture of the 720-picture sample clip (drawing only; encoding comes on top).
static void BM_SampleVideoDraw1080p(benchmark::State& state) {
    SampleVideoPainter painter(VideoDimensions::hd1080());
    std::vector<uint8_t> picture(1920 * 1080 * 4);
    int index = 0;
    for (auto _ : state) {
        painter.draw(picture.data(), 1920 * 4, index, 720);
        index = (index + 1) % 720;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SampleVideoDraw1080p)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
