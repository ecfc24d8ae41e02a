#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include "app/preview/PreviewStatistics.h"
#include "core/MonotonicClock.h"
#include "platform/PixelBuffer.h"
#include "platform/PixelBufferPool.h"
#include "platform/PixelTransfer.h"
#include "platform/SerialQueue.h"
#include "receiver/session/VideoRenderer.h"

namespace kelvora {

// Where a preview renderer puts its pictures. Called on the renderer's queue only.
class PreviewOutput {
  public:
    virtual ~PreviewOutput() = default;
    // A new picture at the renderer's size (BGRA).
    virtual void show(PixelBuffer picture) = 0;
    // No picture: black.
    virtual void clear() = 0;
};

// Turns full-size source pictures into a small picture of one fixed size (BGRA, letterboxed on black)
// without ever making the caller wait. Pictures are converted one at a time on the renderer's own queue
// ("app.kelvora.sender.preview"); of the pictures that arrive meanwhile only the newest waits, the others
// are dropped, so a slow conversion never builds a backlog. The result goes to an output, by default the
// renderer's VideoRenderer, which the video item shows.
//
// Threads: submit and clear from any thread. One mutex guards the waiting picture and whether a
// conversion is queued; it is never held while converting or showing. The pool, the scaler, the
// statistics and the output are touched on the queue only.
class PreviewRenderer {
  public:
    // Shows the pictures on `display()`.
    PreviewRenderer(int width, int height);
    PreviewRenderer(int width, int height, std::shared_ptr<PreviewOutput> output,
                    Clock clock = MonotonicClock::system());
    // Stops the queue: a picture still waiting is dropped.
    ~PreviewRenderer();
    PreviewRenderer(const PreviewRenderer&) = delete;
    PreviewRenderer& operator=(const PreviewRenderer&) = delete;

    // Hands over one picture (NV12 or BGRA, any size) and returns at once.
    void submit(PixelBuffer picture);
    // Drops the waiting picture and turns the preview black. The renderer stays usable: a picture submitted
    // after this call is shown as usual.
    void clear();

    int width() const { return width_; }
    int height() const { return height_; }
    // What the video item shows; null for a renderer made with an output of its own.
    const std::shared_ptr<VideoRenderer>& display() const { return display_; }

  private:
    void convertAndShow(PixelBuffer picture);

    const int width_;
    const int height_;
    const Clock clock_;
    std::shared_ptr<VideoRenderer> display_;
    std::shared_ptr<PreviewOutput> output_;

    std::mutex mutex_;
    bool isScaling_ = false;  // a conversion is queued or running
    PixelBuffer nextInput_;

    // On the queue only.
    std::optional<PixelBufferPool> pool_;
    PixelTransfer transfer_;
    PreviewStatistics statistics_;

    // Last, so that it stops before the members its tasks use go away.
    SerialQueue queue_;
};

}  // namespace kelvora
