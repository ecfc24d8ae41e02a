// The video item on the software scene graph at 1280x720: what one new picture costs from hand-over to a
// rendered frame, for a 1280x720 BGRA picture and for a decoder's 1920x1080 NV12 picture (what the viewer,
// and the sender's preview of a camera, hand it), and that a picture standing still causes no repaint at all.
#include "receiver/session/views/VideoFeed.h"
#include "receiver/session/views/VideoItem.h"

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

std::vector<PixelBuffer> pictures(PixelFormat format = PixelFormat::bgra, int width = 1280,
                                  int height = 720) {
    std::vector<PixelBuffer> result;
    for (int i = 0; i < 2; ++i) {
        PixelBuffer picture = PixelBuffer::make(format, width, height);
        for (int plane = 0; plane < picture.planeCount(); ++plane) {
            std::memset(picture.data(plane), plane == 0 ? 60 + i * 120 : 128,
                        static_cast<size_t>(picture.stride(plane)) * picture.planeHeight(plane));
        }
        result.push_back(picture);
    }
    return result;
}

void newFrames(benchmark::State& state, const std::vector<PixelBuffer>& frames) {
    Scene scene;
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

void BM_VideoItemNewFrame720p(benchmark::State& state) {
    newFrames(state, pictures());
}
BENCHMARK(BM_VideoItemNewFrame720p)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_VideoItemNewFrameNv12From1080p(benchmark::State& state) {
    newFrames(state, pictures(PixelFormat::nv12, 1920, 1080));
}
BENCHMARK(BM_VideoItemNewFrameNv12From1080p)->UseRealTime()->Unit(benchmark::kMillisecond);

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
