#include "app/preview/PreviewRenderer.h"

#include "platform/Logger.h"

#include <utility>

namespace kelvora {
namespace {

class VideoRendererOutput final : public PreviewOutput {
  public:
    explicit VideoRendererOutput(std::shared_ptr<VideoRenderer> renderer) : renderer_(std::move(renderer)) {}
    void show(PixelBuffer picture) override { renderer_->enqueue(std::move(picture)); }
    void clear() override { renderer_->flush(); }

  private:
    std::shared_ptr<VideoRenderer> renderer_;
};

spdlog::logger& previewLog() {
    return platformLogger("preview");
}

}  // namespace

PreviewRenderer::PreviewRenderer(int width, int height)
    : PreviewRenderer(width, height, nullptr, MonotonicClock::system()) {}

PreviewRenderer::PreviewRenderer(int width, int height, std::shared_ptr<PreviewOutput> output, Clock clock)
    : width_(width),
      height_(height),
      clock_(std::move(clock)),
      output_(std::move(output)),
      statistics_(width, height),
      queue_(SerialQueue::labelFor("preview")) {
    if (width <= 0 || height <= 0 || width > PixelBuffer::kMaximumDimension ||
        height > PixelBuffer::kMaximumDimension) {
        throw PixelBufferError("a preview needs a size within 1...16384");
    }
    if (!output_) {
        display_ = std::make_shared<VideoRenderer>();
        output_ = std::make_shared<VideoRendererOutput>(display_);
    }
}

PreviewRenderer::~PreviewRenderer() = default;

void PreviewRenderer::submit(PixelBuffer picture) {
    if (!picture) {
        return;
    }
    PixelBuffer replaced;
    {
        std::lock_guard lock(mutex_);
        if (isShowing_) {
            // The replaced picture is released outside the lock: its pixels may go back to a pool.
            replaced = std::exchange(nextInput_, std::move(picture));
            return;
        }
        isShowing_ = true;
    }
    queue_.async([this, picture = std::move(picture)]() mutable { show(std::move(picture)); });
}

void PreviewRenderer::clear() {
    PixelBuffer dropped;
    {
        std::lock_guard lock(mutex_);
        dropped = std::exchange(nextInput_, PixelBuffer());
    }
    queue_.async([this] { output_->clear(); });
}

void PreviewRenderer::show(PixelBuffer picture) {
    // The display converts while this call runs, so the rate in the log is what reached the screen.
    output_->show(std::move(picture));
    if (auto line = statistics_.record(clock_())) {
        previewLog().debug("{}", *line);
    }
    // Each picture is its own task, so a clear() that arrives while one is shown is carried out before the
    // next picture, and a picture submitted after that clear() stays on screen.
    PixelBuffer next;
    {
        std::lock_guard lock(mutex_);
        if (!nextInput_) {
            isShowing_ = false;
            return;
        }
        next = std::exchange(nextInput_, PixelBuffer());
    }
    queue_.async([this, next = std::move(next)]() mutable { show(std::move(next)); });
}

}  // namespace kelvora
