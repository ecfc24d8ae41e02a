#include "receiver/session/views/Letterbox.h"

#include <gtest/gtest.h>

#include <array>

#include "support/UniformPicture.h"

namespace kelvora {
namespace {

PixelBuffer picture(int width, int height, uint8_t luma) {
    return testing::uniformPicture(width, height, luma);
}

const uint8_t* pixel(const PixelBuffer& buffer, int x, int y) {
    return buffer.data(0) + y * buffer.stride(0) + x * 4;
}

TEST(Letterbox, AFourByThreeSourceGetsColumnsOf160PixelsAtEitherQuality) {
    for (TransferQuality quality : {TransferQuality::exact, TransferQuality::display}) {
        PixelTransfer transfer(quality);
        const PixelBuffer shown = PixelBuffer::make(PixelFormat::bgra, 1280, 720);
        letterbox(transfer, picture(1440, 1080, 235), shown);
        for (int y : {0, 360, 719}) {
            for (int x : {0, 159, 1120, 1279}) {
                const uint8_t* p = pixel(shown, x, y);
                EXPECT_EQ((std::array<int, 4>{p[0], p[1], p[2], p[3]}), (std::array<int, 4>{0, 0, 0, 255}))
                    << x << "," << y;
            }
            for (int x : {160, 640, 1119}) {
                EXPECT_GE(pixel(shown, x, y)[1], 250) << x << "," << y;
            }
        }
    }
}

TEST(AspectFit, CentresThePictureAsLargeAsTheAreaAllows) {
    const struct {
        int sourceWidth, sourceHeight, width, height;
        FitRect fit;
    } cases[] = {
        {1440, 1080, 1280, 720, {160, 0, 960, 720}}, {1920, 1080, 1280, 720, {0, 0, 1280, 720}},
        {1920, 800, 1280, 720, {0, 93, 1280, 533}},  {1080, 1920, 640, 360, {218, 0, 203, 360}},
        {16384, 1, 640, 360, {0, 179, 640, 1}},      {0, 1080, 640, 360, {0, 0, 640, 360}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(aspectFit(c.sourceWidth, c.sourceHeight, c.width, c.height), c.fit)
            << c.sourceWidth << "x" << c.sourceHeight;
    }
}

}  // namespace
}  // namespace kelvora
