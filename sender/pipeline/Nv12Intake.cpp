#include "sender/pipeline/Nv12Intake.h"

#include "platform/Processors.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <mutex>

namespace kelvora {
namespace {

// Rows a band converts beyond its own on either side: the vertical chroma filter's reach.
constexpr int kMargin = 2;

void copyRows(const PixelBuffer& from, int fromRow, const PixelBuffer& to, int toRow, int plane, int rows,
              size_t bytes) {
    for (int row = 0; row < rows; ++row) {
        std::memcpy(to.data(plane) + size_t(toRow + row) * size_t(to.stride(plane)),
                    from.data(plane) + size_t(fromRow + row) * size_t(from.stride(plane)), bytes);
    }
}

}  // namespace

size_t Nv12Intake::bandsForThisProcess() {
    constexpr int maximumBands = 8;
    return size_t(std::min(usableProcessorCount(), maximumBands));
}

Nv12Intake::Nv12Intake(size_t bands) {
    for (size_t band = 0; band < std::max<size_t>(bands, 1); ++band) {
        bands_.push_back(std::make_unique<Band>());
    }
}

PixelBuffer Nv12Intake::convert(const PixelBuffer& picture, ParallelLoop& loop) {
    if (!picture || picture.format() != PixelFormat::bgra) {
        return picture;
    }
    const int width = picture.width();
    const int height = picture.height();
    if (!pool_ || pool_->width() != width || pool_->height() != height) {
        pool_ = std::make_unique<PixelBufferPool>(PixelFormat::nv12, width, height, 4);
    }
    PixelBuffer out = pool_->make();

    // Bands of an even number of rows, each worth the margins; an odd height scales chroma by another ratio
    // than its bands would, so it is converted whole.
    const int perBand = (height + int(bands_.size()) - 1) / int(bands_.size());
    const int bandRows = std::max(8 * kMargin, (perBand + 1) & ~1);
    const size_t bandCount = height % 2 != 0 ? 1 : size_t((height + bandRows - 1) / bandRows);
    if (bandCount <= 1) {
        bands_[0]->transfer.transfer(picture, out);
        return out;
    }

    std::exception_ptr failure;
    std::mutex failureLock;
    loop.run(bandCount, [&](size_t index) {
        Band& band = *bands_[index];
        const int top = int(index) * bandRows;
        const int rows = std::min(bandRows, height - top);
        const int sliceTop = std::max(0, top - kMargin);
        const int sliceRows = std::min(height, top + rows + kMargin) - sliceTop;
        try {
            if (!band.scratch || band.scratch->width() != width || band.scratch->height() != sliceRows) {
                band.scratch = std::make_unique<PixelBufferPool>(PixelFormat::nv12, width, sliceRows, 1);
            }
            const PixelBuffer slice = band.scratch->make();
            PictureView from = PictureView::of(picture);
            from.planes[0] += size_t(sliceTop) * size_t(from.strides[0]);
            from.height = sliceRows;
            band.transfer.transfer(from, PictureView::of(slice));
            copyRows(slice, top - sliceTop, out, top, 0, rows, size_t(width));
            copyRows(slice, (top - sliceTop) / 2, out, top / 2, 1, (rows + 1) / 2,
                     size_t(out.planeWidth(1)) * 2);
        } catch (...) {
            std::lock_guard lock(failureLock);
            failure = std::current_exception();
        }
    });
    if (failure) {
        std::rethrow_exception(failure);
    }
    return out;
}

}  // namespace kelvora
