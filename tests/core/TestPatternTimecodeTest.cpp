#include "core/TestPatternTimecode.h"
#include "platform/PixelTransfer.h"
#include "support/CodecHarness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using namespace kelvora;

namespace {

// A busy, mid-grey picture, so that the strip is not the only thing in it.
PixelBuffer scene(PixelFormat format, int width, int height) {
    auto picture = PixelBuffer::make(format, width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = picture.data(0) + static_cast<size_t>(y) * picture.stride(0);
        for (int x = 0; x < picture.planeWidth(0) * picture.bytesPerSample(0); ++x) {
            row[x] = static_cast<uint8_t>(60 + (x * 7 + y * 3) % 120);
        }
    }
    if (format == PixelFormat::nv12) {
        std::memset(picture.data(1), 128, static_cast<size_t>(picture.stride(1)) * picture.planeHeight(1));
    }
    return picture;
}

PixelBuffer scaled(const PixelBuffer& source, PixelFormat format, int width, int height) {
    PixelTransfer transfer;
    auto target = PixelBuffer::make(format, width, height);
    transfer.transfer(source, target);
    return target;
}

constexpr uint64_t kTime = 123'456'789'012'345;  // about 34 hours of uptime, in ns
constexpr uint64_t kTimeInMicroseconds = kTime / 1000 * 1000;

}  // namespace

TEST(TestPatternTimecode, CellGeometrySwitchesAt320And216) {
    using Size = TestPatternTimecode::CellSize;
    EXPECT_EQ(TestPatternTimecode::cellSize(1920, 1080), (Size{24, 20}));
    EXPECT_EQ(TestPatternTimecode::cellSize(1280, 720), (Size{16, 13}));
    EXPECT_EQ(TestPatternTimecode::cellSize(320, 216), (Size{4, 4}));
    EXPECT_EQ(TestPatternTimecode::cellSize(319, 215), (Size{4, 4}));
    EXPECT_EQ(TestPatternTimecode::cellSize(399, 300), (Size{4, 5}));
}

TEST(TestPatternTimecode, BitsAreMarkerThenMicrosecondsMostSignificantFirst) {
    auto bits = TestPatternTimecode::bits(5'999);  // 5 us = ...101
    EXPECT_TRUE(bits[0]);
    EXPECT_FALSE(bits[1]);
    EXPECT_TRUE(bits[2]);
    EXPECT_FALSE(bits[3]);
    for (int i = 4; i < 49; ++i) {
        EXPECT_FALSE(bits[static_cast<size_t>(i)]) << i;
    }
    EXPECT_TRUE(bits[49]);
    EXPECT_FALSE(bits[50]);
    EXPECT_TRUE(bits[51]);
    auto top = TestPatternTimecode::bits((uint64_t{1} << 47) * 1000);  // 2^47 us: only the top bit
    EXPECT_TRUE(top[4]);
    EXPECT_FALSE(top[51]);
}

TEST(TestPatternTimecode, RoundTripsOnBothFormatsAndManySizes) {
    for (PixelFormat format : {PixelFormat::nv12, PixelFormat::bgra}) {
        for (auto [width, height] : {std::pair{1920, 1080},
                                     {1280, 720},
                                     {320, 216},
                                     {319, 240},
                                     {208, 9},
                                     {3840, 2160},
                                     {1000, 562},
                                     {1366, 768}}) {
            auto picture = scene(format, width, height);
            TestPatternTimecode::write(picture, kTime);
            EXPECT_EQ(TestPatternTimecode::read(picture), kTimeInMicroseconds)
                << pixelFormatName(format) << " " << width << "x" << height;
        }
    }
}

TEST(TestPatternTimecode, KeepsWholeMicrosecondsModulo48Bits) {
    auto picture = scene(PixelFormat::nv12, 640, 360);
    TestPatternTimecode::write(picture, 1'999);
    EXPECT_EQ(TestPatternTimecode::read(picture), 1'000u);
    uint64_t beyond = ((uint64_t{1} << 48) + 77) * 1000 + 999;
    TestPatternTimecode::write(picture, beyond);
    EXPECT_EQ(TestPatternTimecode::read(picture), 77'000u);
    TestPatternTimecode::write(picture, 0);
    EXPECT_EQ(TestPatternTimecode::read(picture), 0u);
}

TEST(TestPatternTimecode, PicturesTooSmallOrWithoutMarkerGiveNothing) {
    auto narrow = scene(PixelFormat::bgra, 200, 100);
    TestPatternTimecode::write(narrow, kTime);
    EXPECT_FALSE(TestPatternTimecode::read(narrow));
    auto flat = scene(PixelFormat::bgra, 400, 8);
    TestPatternTimecode::write(flat, kTime);
    EXPECT_FALSE(TestPatternTimecode::read(flat));

    // All cells bright: the marker's black cells are missing.
    auto bright = scene(PixelFormat::nv12, 640, 360);
    std::memset(bright.data(0), 235, static_cast<size_t>(bright.stride(0)) * 360);
    EXPECT_FALSE(TestPatternTimecode::read(bright));
    EXPECT_FALSE(TestPatternTimecode::read(scene(PixelFormat::nv12, 640, 360)));
    EXPECT_FALSE(TestPatternTimecode::read(PixelBuffer()));
}

TEST(TestPatternTimecode, BgraIsJudgedByItsGreenByte) {
    auto picture = scene(PixelFormat::bgra, 640, 360);
    TestPatternTimecode::write(picture, kTime);
    auto [cw, ch] = TestPatternTimecode::cellSize(640, 360);
    auto paintCell = [&](int cell, uint8_t b, uint8_t g, uint8_t r) {
        for (int y = 360 - ch; y < 360; ++y) {
            for (int x = cell * cw; x < (cell + 1) * cw; ++x) {
                uint8_t* pixel = picture.data(0) + y * picture.stride(0) + x * 4;
                pixel[0] = b;
                pixel[1] = g;
                pixel[2] = r;
            }
        }
    };
    paintCell(0, 0, 255, 0);  // pure green still reads white
    EXPECT_EQ(TestPatternTimecode::read(picture), kTimeInMicroseconds);
    paintCell(0, 0, 0, 255);  // pure red reads black: the marker is gone
    EXPECT_FALSE(TestPatternTimecode::read(picture));
    paintCell(0, 255, 128, 255);  // exactly 128 is black too
    EXPECT_FALSE(TestPatternTimecode::read(picture));
}

TEST(TestPatternTimecode, SurvivesScaling1080pTo720p) {
    for (PixelFormat format : {PixelFormat::nv12, PixelFormat::bgra}) {
        auto picture = scene(format, 1920, 1080);
        TestPatternTimecode::write(picture, kTime);
        EXPECT_EQ(TestPatternTimecode::read(scaled(picture, PixelFormat::nv12, 1280, 720)),
                  kTimeInMicroseconds);
        EXPECT_EQ(TestPatternTimecode::read(scaled(picture, PixelFormat::bgra, 1280, 720)),
                  kTimeInMicroseconds);
        EXPECT_EQ(TestPatternTimecode::read(scaled(picture, PixelFormat::nv12, 640, 360)),
                  kTimeInMicroseconds);
    }
}

TEST(TestPatternTimecode, ScaledToAWidthNotDivisibleBy80ReadsRightOrNothing) {
    // Written on a 1920 grid and scaled to widths whose own grid drifts away from the drawn cells: a reader
    // that only knew this size's grid would sample the wrong cells near the end of the strip.
    std::mt19937_64 random(7);
    int readings = 0;
    int attempts = 0;
    for (auto [width, height] : {std::pair{1000, 562}, {1366, 768}, {854, 480}, {1100, 620}}) {
        for (int round = 0; round < 6; ++round) {
            uint64_t time = (random() % (uint64_t{1} << 48)) * 1000;
            auto picture = scene(PixelFormat::nv12, 1920, 1080);
            TestPatternTimecode::write(picture, time);
            auto result = TestPatternTimecode::read(scaled(picture, PixelFormat::nv12, width, height));
            ++attempts;
            if (result) {
                EXPECT_EQ(*result, time) << width << "x" << height;
                ++readings;
            }
        }
    }
    // The scaled grid finds the cells for almost every picture.
    EXPECT_GE(readings, attempts * 3 / 4);
}

TEST(TestPatternTimecode, SurvivesX264EncodingAndLibavcodecDecodingAt720p) {
    auto source = scene(PixelFormat::nv12, 1920, 1080);
    testsupport::X264TestEncoder encoder(1280, 720);
    testsupport::AvTestDecoder decoder;
    PixelTransfer toEncoder;
    PixelTransfer fromDecoder;
    auto encoderInput = PixelBuffer::make(PixelFormat::nv12, 1280, 720);
    auto decoded = PixelBuffer::make(PixelFormat::nv12, 1280, 720);
    for (int frame = 0; frame < 5; ++frame) {
        uint64_t time = kTime + static_cast<uint64_t>(frame) * 33'366'667;
        TestPatternTimecode::write(source, time);
        toEncoder.transfer(source, encoderInput);
        auto frames = decoder.decode(encoder.encode(encoderInput).annexB);
        ASSERT_EQ(frames.size(), 1u);
        fromDecoder.transfer(PictureView::of(*frames[0]), PictureView::of(decoded));
        EXPECT_EQ(TestPatternTimecode::read(decoded), time / 1000 * 1000) << "frame " << frame;
    }
}
