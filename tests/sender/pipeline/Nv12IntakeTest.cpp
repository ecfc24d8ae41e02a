#include <gtest/gtest.h>

#include <cstring>

#include "platform/PixelTransfer.h"
#include "sender/pipeline/Nv12Intake.h"

namespace kelvora {
namespace {

// The tiers get the picture a conversion of their own would give, also when the source changes its size;
// NV12 passes through untouched.
TEST(Nv12Intake, ConvertsBgraOnceAndPassesNv12Through) {
    Nv12Intake intake;
    for (auto [width, height] : {std::pair{64, 36}, {33, 17}}) {
        PixelBuffer source = PixelBuffer::make(PixelFormat::bgra, width, height);
        for (int row = 0; row < height; ++row) {
            uint8_t* line = source.data(0) + size_t(row) * size_t(source.stride(0));
            for (int i = 0; i < width * 4; ++i) {
                line[i] = uint8_t(i * 3 + row * 5);
            }
        }
        const PixelBuffer converted = intake.convert(source);
        ASSERT_EQ(converted.format(), PixelFormat::nv12);
        ASSERT_EQ(converted.width(), width);
        ASSERT_EQ(converted.height(), height);
        const PixelBuffer expected = PixelBuffer::make(PixelFormat::nv12, width, height);
        PixelTransfer().transfer(source, expected);
        for (int plane = 0; plane < 2; ++plane) {
            for (int row = 0; row < expected.planeHeight(plane); ++row) {
                const size_t bytes = plane == 0 ? size_t(width) : size_t(expected.planeWidth(1)) * 2;
                EXPECT_EQ(
                    std::memcmp(converted.data(plane) + size_t(row) * size_t(converted.stride(plane)),
                                expected.data(plane) + size_t(row) * size_t(expected.stride(plane)), bytes),
                    0)
                    << width << "x" << height << " plane " << plane << " row " << row;
            }
        }
    }
    const PixelBuffer nv12 = PixelBuffer::make(PixelFormat::nv12, 16, 16);
    EXPECT_TRUE(intake.convert(nv12).sharesPixelsWith(nv12));
}

}  // namespace
}  // namespace kelvora
