#include <gtest/gtest.h>

#include <cstring>

#include "platform/PixelTransfer.h"
#include "sender/pipeline/Nv12Intake.h"

namespace kelvora {
namespace {

// The tiers get exactly the picture one whole conversion gives: a band written at the wrong rows, chroma rows
// of the wrong half or a chroma filter cut off at a band's edge would differ. Sizes: bands of 360 (136) rows,
// a picture too small to split, an odd height (converted whole), and a source changing its size.
TEST(Nv12Intake, BandsGiveTheWholeConversionsPictureAndNv12PassesThrough) {
    for (size_t bands : {3, 8}) {
        ParallelLoop loop(bands - 1);
        Nv12Intake intake(bands);
        for (auto [width, height] : {std::pair{1920, 1080}, {64, 20}, {33, 17}, {640, 362}}) {
            PixelBuffer source = PixelBuffer::make(PixelFormat::bgra, width, height);
            for (int row = 0; row < height; ++row) {
                uint8_t* line = source.data(0) + size_t(row) * size_t(source.stride(0));
                for (int i = 0; i < width * 4; ++i) {
                    line[i] = uint8_t(i * 3 + row * 5 + (row % 7) * 40);
                }
            }
            const PixelBuffer converted = intake.convert(source, loop);
            ASSERT_EQ(converted.format(), PixelFormat::nv12);
            ASSERT_EQ(converted.width(), width);
            ASSERT_EQ(converted.height(), height);
            const PixelBuffer expected = PixelBuffer::make(PixelFormat::nv12, width, height);
            PixelTransfer().transfer(source, expected);
            int differingRows = 0;
            for (int plane = 0; plane < 2; ++plane) {
                for (int row = 0; row < expected.planeHeight(plane); ++row) {
                    const size_t bytes = plane == 0 ? size_t(width) : size_t(expected.planeWidth(1)) * 2;
                    differingRows +=
                        std::memcmp(converted.data(plane) + size_t(row) * size_t(converted.stride(plane)),
                                    expected.data(plane) + size_t(row) * size_t(expected.stride(plane)),
                                    bytes) != 0;
                }
            }
            EXPECT_EQ(differingRows, 0) << width << "x" << height << " in " << bands << " bands";
        }
    }
    ParallelLoop loop(2);
    Nv12Intake intake(3);
    const PixelBuffer nv12 = PixelBuffer::make(PixelFormat::nv12, 16, 16);
    EXPECT_TRUE(intake.convert(nv12, loop).sharesPixelsWith(nv12));
}

}  // namespace
}  // namespace kelvora
