// The video item on the software scene graph at 1280x720: what one new picture costs from hand-over to a
// rendered frame, and that a picture standing still causes no repaint at all.
#include "app/ui/VideoFeed.h"
#include "app/ui/VideoItem.h"

#include <QGuiApplication>
#include <QQuickWindow>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

namespace {

using namespace kelvora;

struct Scene {
    Scene() : renderer(std::make_shared<VideoRenderer>()), feed(renderer) {
        window.resize(1280, 720);
        item.setParentItem(window.contentItem());
        item.setSize(QSizeF(1280, 720));
        item.setRadius(10);
        item.setFeed(&feed);
        QObject::connect(&window, &QQuickWindow::frameSwapped, [this] { ++frames; });
        window.show();
        renderUntil([&] { return frames > 0; });
    }

    // Runs the event loop until `done` holds; the count keeps a broken build from spinning for ever.
    template <typename Done>
    bool renderUntil(Done done) {
        for (int i = 0; i < 1'000'000 && !done(); ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents);
        }
        return done();
    }

    std::shared_ptr<VideoRenderer> renderer;
    VideoFeed feed;
    QQuickWindow window;
    VideoItem item;
    uint64_t frames = 0;
};

std::vector<PixelBuffer> pictures() {
    std::vector<PixelBuffer> result;
    for (int i = 0; i < 2; ++i) {
        PixelBuffer picture = PixelBuffer::make(PixelFormat::bgra, 1280, 720);
        std::memset(picture.data(0), 60 + i * 120, static_cast<size_t>(picture.stride(0)) * 720);
        result.push_back(picture);
    }
    return result;
}

void BM_VideoItemNewFrame720p(benchmark::State& state) {
    Scene scene;
    const auto frames = pictures();
    uint64_t shown = 0;
    for (auto _ : state) {
        const uint64_t before = scene.frames;
        scene.renderer->enqueue(frames[shown++ % frames.size()]);
        if (!scene.renderUntil([&] { return scene.frames > before; })) {
            state.SkipWithError("the window did not render the new picture");
            break;
        }
    }
    state.counters["uploads"] = static_cast<double>(scene.item.uploadCount());
}
BENCHMARK(BM_VideoItemNewFrame720p)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_VideoItemStillPicture720p(benchmark::State& state) {
    Scene scene;
    scene.renderer->enqueue(pictures().front());
    const uint64_t first = scene.frames;
    scene.renderUntil([&] { return scene.frames > first; });
    const uint64_t framesBefore = scene.frames;
    const quint64 uploadsBefore = scene.item.uploadCount();
    for (auto _ : state) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    state.counters["repaints"] = static_cast<double>(scene.frames - framesBefore);
    state.counters["uploads"] = static_cast<double>(scene.item.uploadCount() - uploadsBefore);
}
BENCHMARK(BM_VideoItemStillPicture720p)->Iterations(10000);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("QT_QUICK_BACKEND", "software", 1);
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QGuiApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
