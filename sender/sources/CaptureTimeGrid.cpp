#include "sender/sources/CaptureTimeGrid.h"

#include <algorithm>

namespace kelvora {

uint64_t CaptureTimeGrid::stamp(uint64_t now, uint64_t frameDuration) {
    uint64_t expected = clockStart + frameIndex * frameDuration;
    if (clockStart == 0 || expected + 3 * frameDuration < now) {
        frameIndex = 0;
        clockStart = now;
        expected = now;
    }
    ++frameIndex;
    return std::min(now, expected);
}

}  // namespace kelvora
