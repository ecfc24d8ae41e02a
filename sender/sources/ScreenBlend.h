#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvora {

// Screen-blends `count` premultiplied 8-bit samples of `source` onto `destination`:
// d = s + d − s·d (in 0...1), which brightens and never darkens. Samples are blended one by one, so BGRA rows
// go through as they are; an opaque destination stays opaque.
//
// Cairo's own screen operator works per pixel in floating point and costs several milliseconds per
// 1080p disc; this loop is built with vectorisation on in every build type (see CMakeLists.txt).
void screenBlend(uint8_t* destination, const uint8_t* source, size_t count);

}  // namespace kelvora
