#include "receiver/session/views/Letterbox.h"

#include <algorithm>
#include <cstring>

namespace kelvora {
namespace {

// Opaque black in BGRA memory order.
constexpr uint8_t kBlack[4] = {0, 0, 0, 255};

void fillBlack(uint8_t* row, int pixels) {
    for (int i = 0; i < pixels; ++i) {
        std::memcpy(row + i * 4, kBlack, 4);
    }
}

}  // namespace

FitRect aspectFit(int sourceWidth, int sourceHeight, int width, int height) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || width <= 0 || height <= 0) {
        return FitRect{0, 0, std::max(width, 0), std::max(height, 0)};
    }
    // Cross products in 64 bits: dimensions up to 16384 keep them far from overflow.
    const int64_t sw = sourceWidth;
    const int64_t sh = sourceHeight;
    int fitWidth = width;
    int fitHeight = height;
    if (sw * height > int64_t(width) * sh) {
        fitHeight = static_cast<int>((sh * width * 2 + sw) / (sw * 2));  // rounded to nearest
    } else {
        fitWidth = static_cast<int>((sw * height * 2 + sh) / (sh * 2));
    }
    fitWidth = std::clamp(fitWidth, 1, width);
    fitHeight = std::clamp(fitHeight, 1, height);
    return FitRect{(width - fitWidth) / 2, (height - fitHeight) / 2, fitWidth, fitHeight};
}

void fillBlack(const PixelBuffer& destination) {
    for (int y = 0; y < destination.height(); ++y) {
        fillBlack(destination.data(0) + static_cast<ptrdiff_t>(y) * destination.stride(0),
                  destination.width());
    }
}

FitRect fillAroundFit(const PixelBuffer& destination, int sourceWidth, int sourceHeight) {
    const FitRect fit = aspectFit(sourceWidth, sourceHeight, destination.width(), destination.height());
    for (int y = 0; y < destination.height(); ++y) {
        uint8_t* row = destination.data(0) + static_cast<ptrdiff_t>(y) * destination.stride(0);
        if (y < fit.y || y >= fit.y + fit.height) {
            fillBlack(row, destination.width());
        } else {
            fillBlack(row, fit.x);
            fillBlack(row + (fit.x + fit.width) * 4, destination.width() - fit.x - fit.width);
        }
    }
    return fit;
}

void letterbox(PixelTransfer& transfer, const PixelBuffer& source, const PixelBuffer& destination) {
    if (!source || !destination || destination.format() != PixelFormat::bgra) {
        throw PixelBufferError("letterboxing needs a picture and a BGRA destination");
    }
    const FitRect fit = fillAroundFit(destination, source.width(), source.height());
    PictureView target = PictureView::of(destination);
    target.planes[0] =
        destination.data(0) + static_cast<ptrdiff_t>(fit.y) * destination.stride(0) + fit.x * 4;
    target.width = fit.width;
    target.height = fit.height;
    transfer.transfer(PictureView::of(source), target);
}

}  // namespace kelvora
