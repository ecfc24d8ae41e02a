#pragma once

#include <cstdint>

namespace kelvora {

// Capture times on a regular grid of the monotonic clock for a source that paces itself with a timer (the
// video file): the k-th picture after the anchor is stamped anchor + k × frame duration, never later than
// the moment it is delivered. Timer jitter therefore does not show in the stamps, a delay of up to three
// frame durations is absorbed, and a longer stall (or the first picture) starts a new grid at `now`.
struct CaptureTimeGrid {
    // 0 = not anchored yet.
    uint64_t clockStart = 0;
    // Pictures stamped since the anchor.
    uint64_t frameIndex = 0;

    // The capture time of the picture delivered at `now`, for a frame duration of `frameDuration` ns.
    uint64_t stamp(uint64_t now, uint64_t frameDuration);

    bool operator==(const CaptureTimeGrid&) const = default;
};

}  // namespace kelvora
