#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "core/LockedHandler.h"
#include "platform/PixelBuffer.h"

namespace kelvora {

// Shows decoded pictures with the least possible delay. Pictures come in from any thread (decoder workers,
// presentation queues); the renderer keeps only the newest one, and a display (the video item of the UI)
// takes it when it paints. A picture replaced before any display took it is dropped: the newest always
// wins, and a burst after a stall never builds a backlog. Nothing here depends on a UI.
//
// Threads: every member may be called from any thread. One mutex guards the picture, its format and the
// counters; it is never held while `changed` runs.
class VideoRenderer {
  public:
    // Size and layout of a picture: a display rebuilds its textures when this changes.
    struct PictureFormat {
        PixelFormat pixelFormat = PixelFormat::nv12;
        int width = 0;
        int height = 0;

        bool operator==(const PictureFormat&) const = default;
    };

    // What a display paints: the newest picture, or a null buffer for black. The generation changes with
    // every enqueue and flush, so a display can skip uploading a picture it already has.
    struct Frame {
        PixelBuffer picture;
        uint64_t generation = 0;
    };

    struct Counters {
        uint64_t enqueued = 0;   // pictures handed in
        uint64_t displayed = 0;  // pictures a display took, each counted once
        uint64_t dropped = 0;    // pictures replaced or flushed before a display took them
        uint64_t flushes = 0;
        uint64_t formatChanges = 0;  // pictures whose format differed from the picture before

        bool operator==(const Counters&) const = default;
    };

    VideoRenderer() = default;
    VideoRenderer(const VideoRenderer&) = delete;
    VideoRenderer& operator=(const VideoRenderer&) = delete;

    // Makes `picture` the one to show. A null buffer is ignored.
    void enqueue(PixelBuffer picture);
    // Forgets the picture: the display turns black until the next one.
    void flush();

    // For the display, when it paints.
    Frame currentFrame();

    // The format of the last picture; kept across a flush.
    std::optional<PictureFormat> format() const;
    Counters counters() const;

    // Runs after every enqueue and flush, on the calling thread, with the new generation: a display schedules
    // a repaint from here (the Qt item posts an update to its own thread).
    LockedHandler<uint64_t> changed;

  private:
    mutable std::mutex mutex_;
    std::optional<PictureFormat> format_;
    PixelBuffer latest_;
    bool latestDisplayed_ = false;
    uint64_t generation_ = 0;
    Counters counters_;
};

}  // namespace kelvora
