#include "receiver/session/VideoRenderer.h"

namespace kelvora {

void VideoRenderer::enqueue(PixelBuffer picture) {
    if (!picture) {
        return;
    }
    const PictureFormat format{picture.format(), picture.width(), picture.height()};
    PixelBuffer replaced;
    uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (format_ != format) {
            if (format_) {
                ++counters_.formatChanges;
            }
            format_ = format;
        }
        if (latest_ && !latestDisplayed_) {
            ++counters_.dropped;
        }
        // The old picture leaves the lock before it is released: its last reference may return pixels to a
        // pool, which takes a lock of its own.
        replaced = std::exchange(latest_, std::move(picture));
        latestDisplayed_ = false;
        ++counters_.enqueued;
        generation = ++generation_;
    }
    changed(generation);
}

void VideoRenderer::flush() {
    PixelBuffer replaced;
    uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (latest_ && !latestDisplayed_) {
            ++counters_.dropped;
        }
        replaced = std::exchange(latest_, PixelBuffer());
        ++counters_.flushes;
        generation = ++generation_;
    }
    changed(generation);
}

VideoRenderer::Frame VideoRenderer::currentFrame() {
    std::lock_guard lock(mutex_);
    if (latest_ && !latestDisplayed_) {
        latestDisplayed_ = true;
        ++counters_.displayed;
    }
    return Frame{latest_, generation_};
}

std::optional<VideoRenderer::PictureFormat> VideoRenderer::format() const {
    std::lock_guard lock(mutex_);
    return format_;
}

VideoRenderer::Counters VideoRenderer::counters() const {
    std::lock_guard lock(mutex_);
    return counters_;
}

}  // namespace kelvora
