#pragma once

#include <cstdint>

namespace kelvora {

// A closed range of frame numbers of one tier: a viewer's acknowledged reference chain, from the keyframe
// that started it to its newest reference frame.
struct FrameNumberRange {
    uint64_t first = 0;
    uint64_t last = 0;

    bool contains(uint64_t frameNumber) const { return first <= frameNumber && frameNumber <= last; }
    bool operator==(const FrameNumberRange&) const = default;
};

}  // namespace kelvora
