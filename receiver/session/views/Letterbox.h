#pragma once

#include "platform/PixelBuffer.h"
#include "platform/PixelTransfer.h"

namespace kelvora {

// Where a picture lands when it is fitted into an area without changing its aspect ratio: as large as the
// area allows, centred, at least one pixel in each direction.
struct FitRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const FitRect&) const = default;
};

FitRect aspectFit(int sourceWidth, int sourceHeight, int width, int height);

// Fills all of `destination` (BGRA) with opaque black.
void fillBlack(const PixelBuffer& destination);

// Fills `destination` (BGRA) with opaque black outside the aspect-fit rectangle of a source of the given size
// and gives that rectangle, for the caller to draw the picture into.
FitRect fillAroundFit(const PixelBuffer& destination, int sourceWidth, int sourceHeight);

// Fills all of `destination` (BGRA): `source` scaled into its aspect-fit rectangle, opaque black around it.
// Throws PixelBufferError when `destination` is not BGRA or the transfer cannot convert `source`.
void letterbox(PixelTransfer& transfer, const PixelBuffer& source, const PixelBuffer& destination);

}  // namespace kelvora
