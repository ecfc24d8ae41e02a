#pragma once

#include "platform/PixelBuffer.h"

#include <array>
#include <cstdint>
#include <optional>

namespace kelvora {

// A machine-readable strip of black and white cells along the bottom edge of test-pattern pictures: the
// marker 1, 0, 1, 0 and then the low 48 bits of the capture time in microseconds, most significant first.
// A viewer reads it back from the decoded picture to measure capture-to-display latency. Cells are large,
// two-level and sampled inside, so the strip survives encoding, decoding and scaling.
//
// Geometry for a W x H picture: cells W / 80 wide (4 below 320) and H / 54 high (4 below 216); cell i covers
// columns i * cw ... (i + 1) * cw - 1 of the bottom ch rows. Stateless; safe on any thread.
class TestPatternTimecode {
  public:
    TestPatternTimecode() = delete;

    static constexpr std::array<bool, 4> marker{true, false, true, false};
    static constexpr int bitCount = 48;
    static constexpr int cellCount = 52;

    struct CellSize {
        int width;
        int height;
        bool operator==(const CellSize&) const = default;
    };

    static CellSize cellSize(int width, int height);

    // The marker, then bits 47 down to 0 of time / 1000.
    static std::array<bool, cellCount> bits(uint64_t time);

    // Draws the strip for `time` (monotonic nanoseconds): a black band across the full width, ch rows high
    // at the bottom, with a white cell for every 1 bit. NV12 in video range (black 16, white 235, neutral
    // chroma) or BGRA. Cells that do not fit a very small picture are clipped.
    static void write(const PixelBuffer& picture, uint64_t time);

    // The capture time (whole microseconds, in nanoseconds) the strip carries, or nothing when the picture
    // has no readable strip. NV12 is judged by luma, BGRA by its green byte; a level above 128 is white.
    // The picture may have been scaled since it was written: cells are looked for on this size's own grid
    // and, where it differs, on the grid of a picture written at a width divisible by 80 and then scaled.
    // Every cell must read the same at three points across it; a grid that does not, or two grids that
    // disagree, give nothing rather than a wrong time.
    static std::optional<uint64_t> read(const PixelBuffer& picture);
};

}  // namespace kelvora
