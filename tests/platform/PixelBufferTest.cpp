#include "platform/PixelBuffer.h"
#include "platform/PixelBufferPool.h"
#include "platform/PixelTransfer.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace kelvora;

namespace {

void fillBgra(const PixelBuffer& buffer, uint8_t b, uint8_t g, uint8_t r) {
    for (int y = 0; y < buffer.height(); ++y) {
        uint8_t* row = buffer.data(0) + y * buffer.stride(0);
        for (int x = 0; x < buffer.width(); ++x) {
            row[x * 4 + 0] = b;
            row[x * 4 + 1] = g;
            row[x * 4 + 2] = r;
            row[x * 4 + 3] = 255;
        }
    }
}

uint8_t lumaAt(const PixelBuffer& nv12, int x, int y) {
    return nv12.data(0)[y * nv12.stride(0) + x];
}

std::pair<uint8_t, uint8_t> chromaAt(const PixelBuffer& nv12, int x, int y) {
    const uint8_t* pair = nv12.data(1) + (y / 2) * nv12.stride(1) + (x / 2) * 2;
    return {pair[0], pair[1]};
}

}  // namespace

TEST(PixelBuffer, Nv12HasAlignedLumaAndHalfSizeChromaPlanes) {
    auto buffer = PixelBuffer::make(PixelFormat::nv12, 1279, 719);
    ASSERT_TRUE(buffer);
    EXPECT_TRUE(buffer.isPlanar());
    EXPECT_EQ(buffer.planeCount(), 2);
    EXPECT_EQ(buffer.planeWidth(0), 1279);
    EXPECT_EQ(buffer.planeHeight(0), 719);
    EXPECT_EQ(buffer.planeWidth(1), 640);
    EXPECT_EQ(buffer.planeHeight(1), 360);
    EXPECT_EQ(buffer.bytesPerSample(1), 2);
    for (int plane = 0; plane < 2; ++plane) {
        EXPECT_EQ(buffer.stride(plane) % 64, 0);
        EXPECT_GE(buffer.stride(plane), buffer.planeWidth(plane) * buffer.bytesPerSample(plane));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer.data(plane)) % 64, 0u);
    }
    // Writing every visible byte of both planes stays inside the allocation (checked under ASan).
    std::memset(buffer.data(0), 16, static_cast<size_t>(buffer.stride(0)) * buffer.planeHeight(0));
    std::memset(buffer.data(1), 128, static_cast<size_t>(buffer.stride(1)) * buffer.planeHeight(1));
    EXPECT_THROW(buffer.data(2), PixelBufferError);
}

TEST(PixelBuffer, CopiesShareThePixels) {
    auto buffer = PixelBuffer::make(PixelFormat::bgra, 33, 2);
    EXPECT_FALSE(buffer.isPlanar());
    EXPECT_GE(buffer.stride(0), 33 * 4);
    PixelBuffer copy = buffer;
    copy.data(0)[5] = 77;
    EXPECT_EQ(buffer.data(0)[5], 77);
    EXPECT_TRUE(copy.sharesPixelsWith(buffer));
    EXPECT_FALSE(PixelBuffer::make(PixelFormat::bgra, 33, 2).sharesPixelsWith(buffer));
}

TEST(PixelBuffer, RejectsImpossibleSizesAndNullUse) {
    EXPECT_THROW(PixelBuffer::make(PixelFormat::nv12, 0, 10), PixelBufferError);
    EXPECT_THROW(PixelBuffer::make(PixelFormat::bgra, 10, -1), PixelBufferError);
    EXPECT_THROW(PixelBuffer::make(PixelFormat::bgra, 16385, 16), PixelBufferError);
    PixelBuffer null;
    EXPECT_FALSE(null);
    EXPECT_THROW(null.width(), PixelBufferError);
    EXPECT_THROW(null.data(0), PixelBufferError);
}

TEST(PixelBuffer, WrappedPixelsKeepTheirOwnerAliveAndAreValidated) {
    auto frame = std::make_shared<std::vector<uint8_t>>(64 * 4 + 64 * 2);
    std::weak_ptr<std::vector<uint8_t>> watch = frame;
    uint8_t* base = frame->data();
    PixelBuffer wrapped = PixelBuffer::wrap(PixelFormat::nv12, 64, 4, {base, base + 256}, {64, 64}, frame);
    frame.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(wrapped.data(1), base + 256);
    EXPECT_EQ(wrapped.stride(1), 64);
    wrapped = PixelBuffer();
    EXPECT_TRUE(watch.expired());

    std::vector<uint8_t> memory(4096);
    EXPECT_THROW(PixelBuffer::wrap(PixelFormat::bgra, 64, 4, {memory.data(), nullptr}, {255, 0}, nullptr),
                 PixelBufferError);
    EXPECT_THROW(PixelBuffer::wrap(PixelFormat::nv12, 64, 4, {memory.data(), nullptr}, {64, 64}, nullptr),
                 PixelBufferError);
    EXPECT_THROW(
        PixelBuffer::wrap(PixelFormat::bgra, 8, 4, {memory.data(), memory.data()}, {32, 32}, nullptr),
        PixelBufferError);
}

TEST(PixelBufferPool, ReusesReturnedMemoryUpToItsLimit) {
    PixelBufferPool pool(PixelFormat::nv12, 640, 360, 2);
    uint8_t* first;
    {
        PixelBuffer buffer = pool.make();
        first = buffer.data(0);
        EXPECT_EQ(buffer.width(), 640);
        EXPECT_EQ(pool.idleCount(), 0u);
    }
    EXPECT_EQ(pool.idleCount(), 1u);
    PixelBuffer again = pool.make();
    EXPECT_EQ(again.data(0), first);

    std::vector<PixelBuffer> many;
    for (int i = 0; i < 5; ++i) {
        many.push_back(pool.make());
    }
    many.clear();
    EXPECT_EQ(pool.idleCount(), 2u);
    pool.flush();
    EXPECT_EQ(pool.idleCount(), 0u);
    EXPECT_THROW(PixelBufferPool(PixelFormat::bgra, 0, 0), PixelBufferError);
}

TEST(PixelBufferPool, BuffersMayOutliveThePoolAndCrossThreads) {
    PixelBuffer survivor;
    {
        PixelBufferPool pool(PixelFormat::bgra, 32, 32);
        survivor = pool.make();
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&pool] {
                for (int i = 0; i < 200; ++i) {
                    PixelBuffer buffer = pool.make();
                    buffer.data(0)[0] = static_cast<uint8_t>(i);
                    std::thread([held = std::move(buffer)] {}).join();
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        EXPECT_LE(pool.idleCount(), 6u);
    }
    survivor.data(0)[0] = 1;  // still valid memory after the pool is gone
    survivor = PixelBuffer();
}

TEST(PixelTransfer, BgraColoursBecomeVideoRangeBt709Nv12) {
    PixelTransfer transfer;
    auto bgra = PixelBuffer::make(PixelFormat::bgra, 64, 32);
    auto nv12 = PixelBuffer::make(PixelFormat::nv12, 64, 32);
    struct Case {
        uint8_t b, g, r;
        int y, cb, cr;
    };
    // Y = 16 + 219 * (0.2126 R + 0.7152 G + 0.0722 B), chroma around 128 with 224 levels.
    for (Case c :
         {Case{255, 255, 255, 235, 128, 128}, Case{0, 0, 0, 16, 128, 128}, Case{0, 0, 255, 63, 102, 240},
          Case{0, 255, 0, 173, 42, 26}, Case{255, 0, 0, 32, 240, 118}}) {
        fillBgra(bgra, c.b, c.g, c.r);
        transfer.transfer(bgra, nv12);
        EXPECT_NEAR(lumaAt(nv12, 10, 10), c.y, 1) << int(c.r) << "," << int(c.g) << "," << int(c.b);
        auto [cb, cr] = chromaAt(nv12, 10, 10);
        EXPECT_NEAR(cb, c.cb, 1);
        EXPECT_NEAR(cr, c.cr, 1);
    }
}

TEST(PixelTransfer, ScalesHalvesToTheRightPlace) {
    PixelTransfer transfer;
    auto large = PixelBuffer::make(PixelFormat::bgra, 1920, 1080);
    fillBgra(large, 0, 0, 0);
    for (int y = 0; y < 1080; ++y) {
        uint8_t* row = large.data(0) + y * large.stride(0);
        std::memset(row, 255, 960 * 4);  // left half white
    }
    auto small = PixelBuffer::make(PixelFormat::nv12, 1280, 720);
    transfer.transfer(large, small);
    EXPECT_NEAR(lumaAt(small, 100, 360), 235, 1);
    EXPECT_NEAR(lumaAt(small, 630, 700), 235, 1);
    EXPECT_NEAR(lumaAt(small, 650, 10), 16, 1);
    EXPECT_NEAR(lumaAt(small, 1279, 719), 16, 1);
    // The same scaler serves a second picture of the same kind.
    fillBgra(large, 255, 255, 255);
    transfer.transfer(large, small);
    EXPECT_NEAR(lumaAt(small, 1279, 719), 235, 1);
}

TEST(PixelTransfer, ReadsDecoderFramesWithTheirRange) {
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    frame->format = AV_PIX_FMT_YUVJ420P;
    frame->width = 32;
    frame->height = 16;
    ASSERT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    std::memset(frame->data[0], 255, static_cast<size_t>(frame->linesize[0]) * 16);
    std::memset(frame->data[1], 128, static_cast<size_t>(frame->linesize[1]) * 8);
    std::memset(frame->data[2], 128, static_cast<size_t>(frame->linesize[2]) * 8);

    PixelTransfer transfer;
    auto nv12 = PixelBuffer::make(PixelFormat::nv12, 32, 16);
    transfer.transfer(PictureView::of(*frame), PictureView::of(nv12));
    // Full-range white is video-range white.
    EXPECT_NEAR(lumaAt(nv12, 5, 5), 235, 1);

    frame->format = AV_PIX_FMT_YUV420P;
    frame->color_range = AVCOL_RANGE_MPEG;
    std::memset(frame->data[0], 126, static_cast<size_t>(frame->linesize[0]) * 16);
    transfer.transfer(PictureView::of(*frame), PictureView::of(nv12));
    EXPECT_EQ(lumaAt(nv12, 5, 5), 126);
}

TEST(PixelTransfer, RefusesUnusablePictures) {
    PixelTransfer transfer;
    auto nv12 = PixelBuffer::make(PixelFormat::nv12, 16, 16);
    PictureView none;
    EXPECT_THROW(transfer.transfer(none, PictureView::of(nv12)), PixelBufferError);
    PictureView unknown = PictureView::of(nv12);
    unknown.format = AV_PIX_FMT_NONE;
    EXPECT_THROW(transfer.transfer(unknown, PictureView::of(nv12)), PixelBufferError);
    EXPECT_THROW(transfer.transfer(PixelBuffer(), nv12), PixelBufferError);
}

// What a flat YUV colour should look like in RGB, from the range and matrix alone.
std::array<double, 3> expectedRgb(int y, int cb, int cr, bool fullRange, ColorMatrix matrix) {
    const double kr = matrix == ColorMatrix::bt709 ? 0.2126 : 0.299;
    const double kb = matrix == ColorMatrix::bt709 ? 0.0722 : 0.114;
    const double luma = fullRange ? y / 255.0 : (y - 16) / 219.0;
    const double pb = (cb - 128) / (fullRange ? 255.0 : 224.0);
    const double pr = (cr - 128) / (fullRange ? 255.0 : 224.0);
    const double r = luma + 2 * (1 - kr) * pr;
    const double b = luma + 2 * (1 - kb) * pb;
    const double g = (luma - kr * r - kb * b) / (1 - kr - kb);
    return {std::clamp(r, 0.0, 1.0) * 255, std::clamp(g, 0.0, 1.0) * 255, std::clamp(b, 0.0, 1.0) * 255};
}

// A flat 256x64 picture in NV12 or three planes, converted to BGRA `width` x 40; gives the centre pixel.
std::array<int, 4> flatToBgra(PixelTransfer& transfer, AVPixelFormat format, bool fullRange,
                              ColorMatrix matrix, std::array<uint8_t, 3> yuv, int width) {
    std::vector<uint8_t> luma(256 * 64, yuv[0]);
    std::vector<uint8_t> interleaved(256 * 32);
    for (size_t i = 0; i < interleaved.size(); i += 2) {
        interleaved[i] = yuv[1];
        interleaved[i + 1] = yuv[2];
    }
    std::vector<uint8_t> cb(128 * 32, yuv[1]);
    std::vector<uint8_t> cr(128 * 32, yuv[2]);
    PictureView source;
    source.format = format;
    source.width = 256;
    source.height = 64;
    source.fullRange = fullRange;
    source.matrix = matrix;
    source.planes = {luma.data(), interleaved.data(), nullptr, nullptr};
    source.strides = {256, 256, 0, 0};
    if (format == AV_PIX_FMT_YUV420P) {
        source.planes = {luma.data(), cb.data(), cr.data(), nullptr};
        source.strides = {256, 128, 128, 0};
    }
    auto bgra = PixelBuffer::make(PixelFormat::bgra, width, 40);
    transfer.transfer(source, PictureView::of(bgra));
    const uint8_t* p = bgra.data(0) + 20 * bgra.stride(0) + (width / 2) * 4;
    return {p[2], p[1], p[0], p[3]};
}

TEST(PixelTransfer, YuvBecomesBgraWithItsRangeAndMatrixAtEitherQuality) {
    // In-gamut colours whose RGB differs by many levels between the two ranges and the two matrices.
    const std::array<uint8_t, 3> colours[] = {
        {60, 128, 128}, {120, 90, 170}, {150, 160, 100}, {235, 128, 128}};
    for (TransferQuality quality : {TransferQuality::exact, TransferQuality::display}) {
        PixelTransfer transfer(quality);
        const double tolerance = quality == TransferQuality::exact ? 1.5 : 3.5;
        for (AVPixelFormat format : {AV_PIX_FMT_NV12, AV_PIX_FMT_YUV420P}) {
            for (bool fullRange : {false, true}) {
                for (ColorMatrix matrix : {ColorMatrix::bt709, ColorMatrix::bt601}) {
                    // Unscaled and scaled pictures take different paths through libswscale.
                    for (int width : {256, 160}) {
                        for (const auto& yuv : colours) {
                            const auto rgb = expectedRgb(yuv[0], yuv[1], yuv[2], fullRange, matrix);
                            const auto got = flatToBgra(transfer, format, fullRange, matrix, yuv, width);
                            const std::string where = std::string(av_get_pix_fmt_name(format)) +
                                                      (fullRange ? " full " : " video ") +
                                                      (matrix == ColorMatrix::bt709 ? "709 " : "601 ") +
                                                      std::to_string(width) + " " + std::to_string(yuv[0]) +
                                                      "," + std::to_string(yuv[1]) + "," +
                                                      std::to_string(yuv[2]);
                            EXPECT_NEAR(got[0], rgb[0], tolerance) << where;
                            EXPECT_NEAR(got[1], rgb[1], tolerance) << where;
                            EXPECT_NEAR(got[2], rgb[2], tolerance) << where;
                            EXPECT_EQ(got[3], 255) << where;
                        }
                    }
                }
            }
        }
    }
}
