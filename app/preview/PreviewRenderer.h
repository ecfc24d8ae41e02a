#pragma once

#include <memory>
#include <mutex>

#include "app/preview/PreviewStatistics.h"
#include "core/MonotonicClock.h"
#include "platform/PixelBuffer.h"
#include "platform/SerialQueue.h"
#include "receiver/session/VideoRenderer.h"

namespace kelvora {

// Where a preview renderer puts its pictures. Called on the renderer's queue only.
class PreviewOutput {
  public:
    virtual ~PreviewOutput() = default;
    // The newest picture as it was submitted (NV12 or BGRA, any size): the display fits it to its own size.
    virtual void show(PixelBuffer picture) = 0;
    // No picture: black.
    virtual void clear() = 0;
};

// Hands full-size source pictures to the screen without ever making the caller wait. Pictures are shown one
// at a time on the renderer's own queue ("app.kelvora.sender.preview"); of the pictures that arrive meanwhile
// only the newest waits, the others are dropped, so a slow display never builds a backlog. The output, by
// default the renderer's VideoRenderer, gets the picture as it is: the video item converts it once, on this
// queue, straight to its own size in pixels. Scaling here first to a size of our own would only make that
// item scale a second time.
//
// Threads: submit and clear from any thread. One mutex guards the waiting picture and whether a picture
// is queued; it is never held while showing. The statistics and the output are touched on the queue only.
class PreviewRenderer {
  public:
    // Shows the pictures on `display()`. The size is the one the preview is laid out for, named in the log.
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
    void show(PixelBuffer picture);

    const int width_;
    const int height_;
    const Clock clock_;
    std::shared_ptr<VideoRenderer> display_;
    std::shared_ptr<PreviewOutput> output_;

    std::mutex mutex_;
    bool isShowing_ = false;  // a picture is queued or being shown
    PixelBuffer nextInput_;

    // On the queue only.
    PreviewStatistics statistics_;

    // Last, so that it stops before the members its tasks use go away.
    SerialQueue queue_;
};

}  // namespace kelvora
