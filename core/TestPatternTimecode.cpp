#include "core/TestPatternTimecode.h"

#include <algorithm>
#include <cstring>

namespace kelvora {
namespace {

constexpr uint8_t kVideoBlack = 16;
constexpr uint8_t kVideoWhite = 235;
constexpr uint8_t kNeutralChroma = 128;

void fillRect(const PixelBuffer& picture, int x0, int y0, int x1, int y1, bool white) {
    x0 = std::clamp(x0, 0, picture.width());
    x1 = std::clamp(x1, 0, picture.width());
    y0 = std::clamp(y0, 0, picture.height());
    y1 = std::clamp(y1, 0, picture.height());
    if (x0 >= x1 || y0 >= y1) {
        return;
    }
    if (picture.format() == PixelFormat::bgra) {
        const uint8_t level = white ? 255 : 0;
        const uint8_t pixel[4] = {level, level, level, 255};
        for (int y = y0; y < y1; ++y) {
            uint8_t* row = picture.data(0) + static_cast<size_t>(y) * picture.stride(0);
            for (int x = x0; x < x1; ++x) {
                std::memcpy(row + x * 4, pixel, 4);
            }
        }
        return;
    }
    for (int y = y0; y < y1; ++y) {
        std::memset(picture.data(0) + static_cast<size_t>(y) * picture.stride(0) + x0,
                    white ? kVideoWhite : kVideoBlack, static_cast<size_t>(x1 - x0));
    }
    // Grey levels need neutral chroma; the chroma rows and columns that touch the rectangle get it.
    for (int y = y0 / 2; y < (y1 + 1) / 2; ++y) {
        std::memset(picture.data(1) + static_cast<size_t>(y) * picture.stride(1) + (x0 / 2) * 2,
                    kNeutralChroma, static_cast<size_t>(((x1 + 1) / 2 - x0 / 2) * 2));
    }
}

// One candidate placement of the cells: cell i spans [origin(i), origin(i + 1)) in columns, in 1/80ths of
// the width when `proportional`, else in whole cells of the given width.
struct Grid {
    bool proportional;
    int cellWidth;
    int pictureWidth;

    double left(int cell) const {
        return proportional ? static_cast<double>(cell) * pictureWidth / 80.0
                            : static_cast<double>(cell) * cellWidth;
    }
};

class RowSampler {
  public:
    explicit RowSampler(const PixelBuffer& picture, int row) {
        bool bgra = picture.format() == PixelFormat::bgra;
        bytesPerPixel_ = bgra ? 4 : 1;
        row_ = picture.data(0) + static_cast<size_t>(row) * picture.stride(0) + (bgra ? 1 : 0);
        width_ = picture.width();
    }

    bool white(int x) const {
        return row_[static_cast<size_t>(std::clamp(x, 0, width_ - 1)) * bytesPerPixel_] > 128;
    }

  private:
    const uint8_t* row_;
    size_t bytesPerPixel_;
    int width_;
};

// The 52 cells on one grid, or nothing when a cell does not read the same at its three sample points or
// the marker is wrong.
std::optional<uint64_t> readGrid(const RowSampler& sampler, const Grid& grid) {
    uint64_t value = 0;
    for (int cell = 0; cell < TestPatternTimecode::cellCount; ++cell) {
        double left = grid.left(cell);
        double width = grid.left(cell + 1) - left;
        // The centre (as the writer's own grid has it: cw / 2 in) and a quarter cell to either side.
        int centre = grid.proportional ? static_cast<int>(left + width / 2)
                                       : cell * grid.cellWidth + grid.cellWidth / 2;
        int quarter = std::max(1, static_cast<int>(width / 4));
        bool bit = sampler.white(centre);
        if (sampler.white(centre - quarter) != bit || sampler.white(centre + quarter) != bit) {
            return std::nullopt;
        }
        if (cell < 4) {
            if (bit != TestPatternTimecode::marker[static_cast<size_t>(cell)]) {
                return std::nullopt;
            }
            continue;
        }
        value = value * 2 + (bit ? 1 : 0);
    }
    return value * 1000;
}

}  // namespace

TestPatternTimecode::CellSize TestPatternTimecode::cellSize(int width, int height) {
    return {width < 320 ? 4 : width / 80, height < 216 ? 4 : height / 54};
}

std::array<bool, TestPatternTimecode::cellCount> TestPatternTimecode::bits(uint64_t time) {
    std::array<bool, cellCount> result{};
    std::copy(marker.begin(), marker.end(), result.begin());
    uint64_t microseconds = time / 1000;
    for (int bit = bitCount - 1; bit >= 0; --bit) {
        result[static_cast<size_t>(4 + (bitCount - 1 - bit))] = ((microseconds >> bit) & 1) != 0;
    }
    return result;
}

void TestPatternTimecode::write(const PixelBuffer& picture, uint64_t time) {
    auto [cw, ch] = cellSize(picture.width(), picture.height());
    int top = picture.height() - ch;
    fillRect(picture, 0, top, picture.width(), picture.height(), false);
    auto cells = bits(time);
    for (int cell = 0; cell < cellCount; ++cell) {
        if (cells[static_cast<size_t>(cell)]) {
            fillRect(picture, cell * cw, top, (cell + 1) * cw, picture.height(), true);
        }
    }
}

std::optional<uint64_t> TestPatternTimecode::read(const PixelBuffer& picture) {
    if (!picture) {
        return std::nullopt;
    }
    int width = picture.width();
    int height = picture.height();
    auto [cw, ch] = cellSize(width, height);
    if (width < cellCount * cw || height <= 2 * ch) {
        return std::nullopt;
    }
    RowSampler sampler(picture, height - ch / 2 - 1);
    auto own = readGrid(sampler, Grid{false, cw, width});
    if (width < 320 || width % 80 == 0) {
        // The two grids are the same one.
        return own;
    }
    auto scaled = readGrid(sampler, Grid{true, cw, width});
    if (own && scaled && *own != *scaled) {
        return std::nullopt;
    }
    return own ? own : scaled;
}

}  // namespace kelvora
