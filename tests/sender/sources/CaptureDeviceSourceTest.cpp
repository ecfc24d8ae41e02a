#include "sender/sources/CaptureDeviceSource.h"

#include "FakeV4L2.h"
#include "support/Eventually.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <cstring>

namespace kelvora {
namespace {

using testing::FakeV4L2;

struct Failure {
    CaptureError error;
    std::string thread;
};

// A capture source on a scripted device, collecting what it delivers.
struct Harness {
    explicit Harness(std::vector<FakeV4L2::Size> sizes)
        : fake(std::make_shared<FakeV4L2>(std::move(sizes))) {}

    CaptureDevice device() const {
        CaptureDevice result;
        result.id = "/dev/v4l/by-id/usb-Fake_Cam-video-index0";
        result.name = "Fake Cam";
        result.devicePath = fake->path;
        result.busInfo = fake->busInfo;
        result.canCapture = true;
        return result;
    }

    std::shared_ptr<CaptureDeviceSource> start(std::optional<VideoDimensions> size = std::nullopt,
                                               std::optional<CaptureDevice> on = std::nullopt) {
        auto source = CaptureDeviceSource::create(on.value_or(device()), size, std::nullopt, fake);
        source->start(
            [this](SourceFrame frame) {
                std::lock_guard lock(mutex);
                frames.push({count++, std::move(frame)});
            },
            [this](const SourceError& error) {
                char thread[32] = {};
                pthread_getname_np(pthread_self(), thread, sizeof thread);
                failures.push({dynamic_cast<const CaptureError&>(error), thread});
            });
        return source;
    }

    // Pushes one picture and waits for what the source makes of it.
    std::optional<SourceFrame> deliver(const std::vector<uint8_t>& bytes,
                                       std::optional<timeval> stamp = std::nullopt) {
        if (!fake->waitUntilAllQueued() || !fake->pushFrame(bytes, stamp)) {
            return std::nullopt;
        }
        const size_t wanted = taken++;
        const auto frame =
            frames.waitFor([wanted](const auto& numbered) { return numbered.first == wanted; });
        return frame ? std::optional<SourceFrame>(frame->second) : std::nullopt;
    }

    std::optional<Failure> failure() {
        return failures.waitFor([](const Failure&) { return true; });
    }

    std::shared_ptr<FakeV4L2> fake;
    std::mutex mutex;
    size_t count = 0;
    size_t taken = 0;
    kelvora::testing::Eventually<std::pair<size_t, SourceFrame>> frames;
    kelvora::testing::Eventually<Failure> failures;
};

std::vector<uint8_t> yuyv(int width, int height, uint8_t luma) {
    std::vector<uint8_t> bytes(static_cast<size_t>(width) * height * 2, 128);
    for (size_t index = 0; index < bytes.size(); index += 2) {
        bytes[index] = luma;
    }
    return bytes;
}

std::vector<uint8_t> jpeg(int width, int height, uint8_t luma) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUVJ420P;
    context->time_base = {1, 30};
    AVFrame* frame = av_frame_alloc();
    frame->format = context->pix_fmt;
    frame->width = width;
    frame->height = height;
    AVPacket* packet = av_packet_alloc();
    std::vector<uint8_t> bytes;
    if (avcodec_open2(context, codec, nullptr) == 0 && av_frame_get_buffer(frame, 0) == 0) {
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? height : height / 2;
            std::memset(frame->data[plane], plane == 0 ? luma : 128,
                        static_cast<size_t>(frame->linesize[plane]) * rows);
        }
        if (avcodec_send_frame(context, frame) == 0 && avcodec_receive_packet(context, packet) == 0) {
            bytes.assign(packet->data, packet->data + packet->size);
        }
    }
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return bytes;
}

uint8_t lumaAt(const PixelBuffer& buffer, int x, int y) {
    return buffer.data(0)[static_cast<size_t>(y) * buffer.stride(0) + x];
}

FakeV4L2::Size yuyvSize(int width, int height) {
    return {V4L2_PIX_FMT_YUYV, width, height, {{1, 30}}};
}

TEST(CaptureDeviceSource, DeliversYuyvPicturesAsNv12AtTheDevicesSizeAndRate) {
    Harness harness({yuyvSize(640, 480)});
    auto source = harness.start();
    ASSERT_TRUE(harness.fake->waitUntilStreaming());
    EXPECT_EQ(harness.fake->currentFormat().pixelformat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(harness.fake->frameDuration()->denominator, 30u);
    EXPECT_DOUBLE_EQ(source->activeFrameRate(), 30);

    const uint64_t before = MonotonicClock::now();
    const auto frame = harness.deliver(yuyv(640, 480, 120));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->dimensions(), (VideoDimensions{640, 480}));
    EXPECT_EQ(frame->pixelBuffer.format(), PixelFormat::nv12);
    EXPECT_FALSE(frame->isTestPattern);
    EXPECT_NEAR(lumaAt(frame->pixelBuffer, 320, 240), 120, 2);
    EXPECT_NEAR(frame->pixelBuffer.data(1)[100], 128, 2);
    // The device's own stamp, taken when the picture was pushed, is kept.
    EXPECT_GE(frame->captureTime + 1'000'000, before);
    EXPECT_LE(frame->captureTime, MonotonicClock::now());

    // Buffers go back to the device: many more pictures than buffers arrive, each its own.
    for (int index = 0; index < 10; ++index) {
        const auto next = harness.deliver(yuyv(640, 480, static_cast<uint8_t>(60 + index)));
        ASSERT_TRUE(next);
        EXPECT_NEAR(lumaAt(next->pixelBuffer, 10, 10), 60 + index, 2);
    }
    source->stop();
    EXPECT_TRUE(harness.fake->waitUntilReleased());
    EXPECT_FALSE(harness.fake->pushFrame(yuyv(640, 480, 50)));
}

TEST(CaptureDeviceSource, Nv12WithRowPaddingMjpegAndAForeignTargetSizeAllArriveUndistorted) {
    // NV12 rows with padding: a ramp across, white padding that must never show.
    Harness nv12({{V4L2_PIX_FMT_NV12, 64, 32, {{1, 25}}}});
    nv12.fake->rowPadding = 16;
    auto first = nv12.start();
    std::vector<uint8_t> bytes(80 * 48, 128);
    for (size_t index = 0; index < 80 * 32; ++index) {
        bytes[index] = index % 80 < 64 ? static_cast<uint8_t>(40 + (index % 80) * 2) : 235;
    }
    const auto padded = nv12.deliver(bytes);
    ASSERT_TRUE(padded);
    for (int x : {0, 20, 63}) {
        EXPECT_NEAR(lumaAt(padded->pixelBuffer, x, 31), 40 + x * 2, 2) << x;
    }

    // MJPEG: a corrupt picture is skipped, the next one decoded; full-range 200 is about 188 in video range.
    Harness mjpeg({{V4L2_PIX_FMT_MJPEG, 320, 240, {{1, 30}}}});
    auto second = mjpeg.start();
    ASSERT_TRUE(mjpeg.fake->waitUntilStreaming());
    ASSERT_TRUE(mjpeg.fake->pushFrame(std::vector<uint8_t>(4000, 0x5A)));
    const auto decoded = mjpeg.deliver(jpeg(320, 240, 200));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->dimensions(), (VideoDimensions{320, 240}));
    EXPECT_NEAR(lumaAt(decoded->pixelBuffer, 160, 120), 188, 3);
    EXPECT_EQ(mjpeg.frames.values().size(), 1u);

    // 4:3 asked to fill 16:9: 960 wide from x = 160, black bars beside.
    Harness boxed({yuyvSize(640, 480)});
    auto third = boxed.start(VideoDimensions{1280, 720});
    const auto fitted = boxed.deliver(yuyv(640, 480, 150));
    ASSERT_TRUE(fitted);
    ASSERT_EQ(fitted->dimensions(), (VideoDimensions{1280, 720}));
    EXPECT_EQ(lumaAt(fitted->pixelBuffer, 10, 360), 16);
    EXPECT_EQ(lumaAt(fitted->pixelBuffer, 1270, 360), 16);
    EXPECT_NEAR(lumaAt(fitted->pixelBuffer, 170, 360), 150, 2);
    EXPECT_NEAR(lumaAt(fitted->pixelBuffer, 640, 0), 150, 2);
}

TEST(CaptureDeviceSource, AVanishedDeviceEndsWithOneFailureAndANewSourceStartsOverOnceItIsBack) {
    Harness harness({yuyvSize(320, 240)});
    auto source = harness.start();
    ASSERT_TRUE(harness.deliver(yuyv(320, 240, 90)));

    harness.fake->vanish();
    const auto failure = harness.failure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->error.kind(), CaptureError::Kind::deviceUnavailable);
    EXPECT_STREQ(failure->error.what(), "Das Videogerät ist nicht mehr verfügbar.");
    EXPECT_EQ(failure->thread, "session");
    // The device is let go at once, not only when the owner stops the source.
    EXPECT_TRUE(harness.fake->waitUntilReleased());
    source->stop();
    source.reset();

    // What the pipeline does: a new source for the same device once it is back.
    harness.fake->reappear();
    auto again = harness.start();
    const auto frame = harness.deliver(yuyv(320, 240, 70));
    ASSERT_TRUE(frame);
    EXPECT_NEAR(lumaAt(frame->pixelBuffer, 5, 5), 70, 2);
    EXPECT_EQ(harness.failures.values().size(), 1u);

    // Releasing a running source without a stop also lets the device go.
    again.reset();
    EXPECT_TRUE(harness.fake->waitUntilReleased());
}

TEST(CaptureDeviceSource, AnErrorWhileCapturingIsReportedInTheUsersLanguage) {
    const std::pair<int, std::string> cases[] = {
        {0, "Capture-Fehler: Das Videogerät ist nicht mehr verfügbar."},
        {EIO, "Capture-Fehler: " + CaptureError::systemErrorText(EIO)},
    };
    for (const auto& [error, description] : cases) {
        Harness harness({yuyvSize(320, 240)});
        auto source = harness.start();
        ASSERT_TRUE(harness.deliver(yuyv(320, 240, 90)));
        harness.fake->breakStream(error);
        const auto failure = harness.failure();
        ASSERT_TRUE(failure) << description;
        EXPECT_EQ(failure->error.kind(), CaptureError::Kind::runtime);
        EXPECT_EQ(failure->error.what(), description);
        EXPECT_TRUE(harness.fake->waitUntilReleased()) << description;
    }
}

TEST(CaptureDeviceSource, StartFailuresAreReportedOnTheSessionQueueAndLeaveTheDeviceClosed) {
    struct Case {
        std::function<void(FakeV4L2&, CaptureDevice&)> script;
        CaptureError::Kind kind;
        std::string description;
    };
    const std::string gone = "Das Videogerät ist nicht mehr verfügbar.";
    const Case cases[] = {
        {[](FakeV4L2&, CaptureDevice& device) { device.devicePath = "/dev/video9"; },
         CaptureError::Kind::deviceUnavailable, gone},
        // The node now belongs to another device.
        {[](FakeV4L2&, CaptureDevice& device) { device.busInfo = "usb-elsewhere"; },
         CaptureError::Kind::deviceUnavailable, gone},
        {[](FakeV4L2& fake, CaptureDevice&) { fake.openError = EACCES; }, CaptureError::Kind::cannotAddInput,
         "Videogerät kann nicht geöffnet werden. Permission denied"},
        {[](FakeV4L2& fake, CaptureDevice&) { fake.deviceCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING; },
         CaptureError::Kind::cannotAddInput, "Videogerät kann nicht geöffnet werden. "},
        // Held by another program.
        {[](FakeV4L2& fake, CaptureDevice&) { fake.formatError = EBUSY; }, CaptureError::Kind::system,
         "Device or resource busy"},
    };
    for (const Case& c : cases) {
        Harness harness({yuyvSize(320, 240)});
        CaptureDevice device = harness.device();
        c.script(*harness.fake, device);
        auto source = harness.start(std::nullopt, device);
        const auto failure = harness.failure();
        ASSERT_TRUE(failure) << c.description;
        EXPECT_EQ(failure->error.kind(), c.kind) << c.description;
        EXPECT_EQ(failure->error.what(), c.description);
        EXPECT_EQ(failure->thread, "session");
        EXPECT_TRUE(harness.fake->waitUntilReleased()) << c.description;
    }

    Harness grey({{V4L2_PIX_FMT_GREY, 640, 480, {{1, 30}}}});
    auto source = grey.start();
    const auto failure = grey.failure();
    ASSERT_TRUE(failure);
    EXPECT_STREQ(failure->error.what(), "Videoausgang kann nicht eingerichtet werden.");
}

TEST(CaptureTimeRepair, StampsWithinFiveMillisecondsAheadOrOneSecondBehindAreKept) {
    constexpr uint64_t now = 50'000'000'000;
    constexpr uint64_t ms = 1'000'000;
    const std::pair<uint64_t, bool> cases[] = {
        {now, false},
        {now + 4 * ms, false},
        {now + 5 * ms, false},
        {now + 6 * ms, true},
        {now - 1000 * ms, false},
        {now - 1001 * ms, true},
        {0, true},
    };
    for (const auto& [stamp, repaired] : cases) {
        const auto time = CaptureDeviceSource::captureTime(stamp, now);
        EXPECT_EQ(time.repaired, repaired) << static_cast<int64_t>(stamp - now);
        EXPECT_EQ(time.time, repaired ? now : stamp);
    }

    // On a running source: a stamp five seconds old gives way to the arrival.
    Harness harness({yuyvSize(160, 120)});
    auto source = harness.start();
    timespec clock{};
    clock_gettime(CLOCK_MONOTONIC, &clock);
    const uint64_t before = MonotonicClock::now();
    const auto frame = harness.deliver(yuyv(160, 120, 100), timeval{clock.tv_sec - 5, 0});
    ASSERT_TRUE(frame);
    EXPECT_GE(frame->captureTime, before);
}

}  // namespace
}  // namespace kelvora
