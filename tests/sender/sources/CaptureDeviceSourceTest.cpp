#include "sender/sources/CaptureDeviceSource.h"

#include "FakeV4L2.h"
#include "support/Eventually.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>

namespace kelvora {
namespace {

using testing::FakeV4L2;

struct Failure {
    std::optional<CaptureError> error;
    std::string thread;
};

std::string currentThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

// A source on a fake device, collecting what it delivers.
struct Harness {
    explicit Harness(std::vector<FakeV4L2::Size> sizes)
        : fake(std::make_shared<FakeV4L2>(std::move(sizes))) {}

    CaptureDevice device() const {
        CaptureDevice result;
        result.id = "/dev/v4l/by-id/usb-Fake_Cam-video-index0";
        result.name = "Fake Cam";
        result.devicePath = "/dev/video7";
        result.busInfo = fake->busInfo;
        result.transport = CaptureTransport::usb;
        result.canCapture = true;
        return result;
    }

    std::shared_ptr<CaptureDeviceSource> start(std::optional<VideoDimensions> size = std::nullopt,
                                               std::optional<int> rate = std::nullopt) {
        auto source = CaptureDeviceSource::create(device(), size, rate, fake);
        source->start([this](SourceFrame frame) { record(std::move(frame)); },
                      [this](const SourceError& error) {
                          const auto* capture = dynamic_cast<const CaptureError*>(&error);
                          failures.push({capture ? std::optional<CaptureError>(*capture) : std::nullopt,
                                         currentThreadName()});
                      });
        return source;
    }

    // The picture after the ones already taken.
    std::optional<SourceFrame> nextFrame() {
        const size_t wanted = taken;
        const auto frame =
            frames.waitFor([wanted](const Numbered& numbered) { return numbered.first == wanted; });
        if (!frame) {
            return std::nullopt;
        }
        ++taken;
        return frame->second;
    }

    std::optional<Failure> failure() {
        return failures.waitFor([](const Failure&) { return true; });
    }

    void record(SourceFrame frame) {
        std::lock_guard lock(mutex);
        frames.push({count++, std::move(frame)});
    }

    using Numbered = std::pair<size_t, SourceFrame>;
    std::shared_ptr<FakeV4L2> fake;
    std::mutex mutex;
    size_t count = 0;
    kelvora::testing::Eventually<Numbered> frames;
    kelvora::testing::Eventually<Failure> failures;
    size_t taken = 0;
};

std::vector<uint8_t> yuyv(int width, int height, uint8_t luma) {
    std::vector<uint8_t> bytes(static_cast<size_t>(width) * height * 2);
    for (size_t index = 0; index < bytes.size(); index += 2) {
        bytes[index] = luma;
        bytes[index + 1] = 128;
    }
    return bytes;
}

uint8_t lumaAt(const PixelBuffer& buffer, int x, int y) {
    return buffer.data(0)[static_cast<size_t>(y) * buffer.stride(0) + x];
}

FakeV4L2::Size yuyvSize(int width, int height, std::vector<v4l2_fract> intervals = {{1, 30}}) {
    return {V4L2_PIX_FMT_YUYV, width, height, std::move(intervals), std::nullopt};
}

TEST(CaptureDeviceSource, DeliversYuyvPicturesAsNv12AtTheDevicesSize) {
    Harness harness({yuyvSize(640, 480)});
    auto source = harness.start();
    ASSERT_TRUE(harness.fake->waitUntilStreaming());
    EXPECT_EQ(harness.fake->currentFormat().pixelformat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(harness.fake->setFrameDuration()->denominator, 30u);
    EXPECT_DOUBLE_EQ(source->activeFrameRate(), 30);
    EXPECT_EQ(source->name(), "Fake Cam");
    EXPECT_EQ(source->identifier(), "/dev/v4l/by-id/usb-Fake_Cam-video-index0");

    const uint64_t before = MonotonicClock::now();
    ASSERT_TRUE(harness.fake->pushFrame(yuyv(640, 480, 120)));
    const auto frame = harness.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->dimensions(), (VideoDimensions{640, 480}));
    EXPECT_EQ(frame->pixelBuffer.format(), PixelFormat::nv12);
    EXPECT_FALSE(frame->isTestPattern);
    EXPECT_NEAR(lumaAt(frame->pixelBuffer, 320, 240), 120, 2);
    EXPECT_NEAR(frame->pixelBuffer.data(1)[100], 128, 2);
    // The device's own stamp (taken when the picture was pushed) is kept.
    EXPECT_GE(frame->captureTime + 1'000'000, before);
    EXPECT_LE(frame->captureTime, MonotonicClock::now());

    // Buffers go back to the device: many more pictures than buffers still arrive.
    for (int index = 0; index < 10; ++index) {
        ASSERT_TRUE(harness.fake->waitUntilAllQueued());
        ASSERT_TRUE(harness.fake->pushFrame(yuyv(640, 480, static_cast<uint8_t>(60 + index))));
        const auto next = harness.nextFrame();
        ASSERT_TRUE(next);
        EXPECT_NEAR(lumaAt(next->pixelBuffer, 10, 10), 60 + index, 2);
    }
    source->stop();
    EXPECT_TRUE(harness.fake->waitUntilReleased());
}

TEST(CaptureDeviceSource, Nv12RowsWithPaddingArriveWithoutSkew) {
    Harness harness({{V4L2_PIX_FMT_NV12, 64, 32, {{1, 25}}, std::nullopt}});
    harness.fake->rowPadding = 16;
    auto source = harness.start();
    ASSERT_TRUE(harness.fake->waitUntilStreaming());
    const int stride = 64 + 16;
    std::vector<uint8_t> bytes(static_cast<size_t>(stride) * (32 + 16), 128);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < stride; ++x) {
            // Columns carry a ramp; the padding carries white that must never show.
            bytes[static_cast<size_t>(y) * stride + x] = x < 64 ? static_cast<uint8_t>(40 + x * 2) : 235;
        }
    }
    ASSERT_TRUE(harness.fake->pushFrame(bytes));
    const auto frame = harness.nextFrame();
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->dimensions(), (VideoDimensions{64, 32}));
    for (int y : {0, 15, 31}) {
        for (int x : {0, 20, 63}) {
            EXPECT_NEAR(lumaAt(frame->pixelBuffer, x, y), 40 + x * 2, 2) << x << "," << y;
        }
    }
}

std::vector<uint8_t> jpeg(int width, int height, uint8_t luma) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUVJ420P;
    context->time_base = {1, 30};
    EXPECT_EQ(avcodec_open2(context, codec, nullptr), 0);
    AVFrame* frame = av_frame_alloc();
    frame->format = context->pix_fmt;
    frame->width = width;
    frame->height = height;
    EXPECT_EQ(av_frame_get_buffer(frame, 0), 0);
    for (int y = 0; y < height; ++y) {
        std::memset(frame->data[0] + y * frame->linesize[0], luma, width);
    }
    for (int plane = 1; plane < 3; ++plane) {
        for (int y = 0; y < height / 2; ++y) {
            std::memset(frame->data[plane] + y * frame->linesize[plane], 128, width / 2);
        }
    }
    AVPacket* packet = av_packet_alloc();
    EXPECT_EQ(avcodec_send_frame(context, frame), 0);
    EXPECT_EQ(avcodec_receive_packet(context, packet), 0);
    std::vector<uint8_t> bytes(packet->data, packet->data + packet->size);
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&context);
    return bytes;
}

TEST(CaptureDeviceSource, MjpegPicturesAreDecodedIntoVideoRangeNv12AndCorruptOnesSkipped) {
    Harness harness({{V4L2_PIX_FMT_MJPEG, 320, 240, {{1, 30}}, std::nullopt}});
    auto source = harness.start();
    ASSERT_TRUE(harness.fake->waitUntilStreaming());

    std::vector<uint8_t> garbage(4000, 0x5A);
    ASSERT_TRUE(harness.fake->pushFrame(garbage));
    ASSERT_TRUE(harness.fake->waitUntilAllQueued());
    ASSERT_TRUE(harness.fake->pushFrame(jpeg(320, 240, 200)));
    const auto frame = harness.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->dimensions(), (VideoDimensions{320, 240}));
    // Full-range 200 is 16 + 200 × 219 / 255 ≈ 188 in video range.
    EXPECT_NEAR(lumaAt(frame->pixelBuffer, 160, 120), 188, 3);
    EXPECT_EQ(harness.frames.values().size(), 1u);
}

TEST(CaptureDeviceSource, ARequestedSizeTheDeviceLacksIsFilledWithBlackBars) {
    Harness harness({yuyvSize(640, 480)});
    auto source = harness.start(VideoDimensions{1280, 720});
    ASSERT_TRUE(harness.fake->waitUntilStreaming());
    ASSERT_TRUE(harness.fake->pushFrame(yuyv(640, 480, 150)));
    const auto frame = harness.nextFrame();
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->dimensions(), (VideoDimensions{1280, 720}));
    // 4:3 inside 16:9: 960 wide, from x = 160.
    EXPECT_EQ(lumaAt(frame->pixelBuffer, 10, 360), 16);
    EXPECT_EQ(lumaAt(frame->pixelBuffer, 1270, 360), 16);
    EXPECT_NEAR(lumaAt(frame->pixelBuffer, 170, 360), 150, 2);
    EXPECT_NEAR(lumaAt(frame->pixelBuffer, 640, 0), 150, 2);
}

TEST(CaptureDeviceSource, AVanishedDeviceEndsWithOneFailureAndANewSourceStartsOverOnceItIsBack) {
    Harness harness({yuyvSize(320, 240)});
    auto source = harness.start();
    ASSERT_TRUE(harness.fake->waitUntilStreaming());
    ASSERT_TRUE(harness.fake->pushFrame(yuyv(320, 240, 90)));
    ASSERT_TRUE(harness.nextFrame());

    harness.fake->vanish();
    const auto failure = harness.failure();
    ASSERT_TRUE(failure);
    ASSERT_TRUE(failure->error);
    EXPECT_EQ(failure->error->kind(), CaptureError::Kind::deviceUnavailable);
    EXPECT_STREQ(failure->error->what(), "Das Videogerät ist nicht mehr verfügbar.");
    EXPECT_EQ(failure->thread, "session");
    // The device is let go at once, not only when the owner stops the source.
    EXPECT_TRUE(harness.fake->waitUntilReleased());
    source->stop();
    source.reset();
    EXPECT_EQ(harness.failures.values().size(), 1u);

    // What the pipeline does: a new source for the same device once it is back.
    harness.fake->reappear();
    auto again = harness.start();
    ASSERT_TRUE(harness.fake->waitUntilStreaming());
    ASSERT_TRUE(harness.fake->pushFrame(yuyv(320, 240, 70)));
    const auto frame = harness.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_NEAR(lumaAt(frame->pixelBuffer, 5, 5), 70, 2);
    EXPECT_EQ(harness.failures.values().size(), 1u);
}

TEST(CaptureDeviceSource, StartFailuresAreReportedAndLeaveTheDeviceClosed) {
    struct Case {
        const char* what;
        std::function<void(FakeV4L2&, CaptureDevice&)> script;
        CaptureError::Kind kind;
        std::string description;
    };
    const Case cases[] = {
        {"not connected", [](FakeV4L2&, CaptureDevice& device) { device.devicePath = "/dev/video9"; },
         CaptureError::Kind::deviceUnavailable, "Das Videogerät ist nicht mehr verfügbar."},
        {"node now belongs to another device",
         [](FakeV4L2&, CaptureDevice& device) { device.busInfo = "usb-elsewhere"; },
         CaptureError::Kind::deviceUnavailable, "Das Videogerät ist nicht mehr verfügbar."},
        {"no permission", [](FakeV4L2& fake, CaptureDevice&) { fake.setOpenError(EACCES); },
         CaptureError::Kind::cannotAddInput, "Videogerät kann nicht geöffnet werden. Permission denied"},
        {"no capture device",
         [](FakeV4L2& fake, CaptureDevice&) { fake.deviceCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING; },
         CaptureError::Kind::cannotAddInput, "Videogerät kann nicht geöffnet werden. "},
        {"held by another program", [](FakeV4L2& fake, CaptureDevice&) { fake.setFormatError(EBUSY); },
         CaptureError::Kind::system, "Device or resource busy"},
    };
    for (const Case& c : cases) {
        Harness harness({yuyvSize(320, 240)});
        CaptureDevice device = harness.device();
        c.script(*harness.fake, device);
        auto source = CaptureDeviceSource::create(device, std::nullopt, std::nullopt, harness.fake);
        source->start(
            [&](SourceFrame frame) { harness.record(std::move(frame)); },
            [&](const SourceError& error) {
                harness.failures.push({*dynamic_cast<const CaptureError*>(&error), currentThreadName()});
            });
        const auto failure = harness.failure();
        ASSERT_TRUE(failure) << c.what;
        EXPECT_EQ(failure->error->kind(), c.kind) << c.what;
        EXPECT_EQ(failure->error->what(), c.description) << c.what;
        EXPECT_EQ(failure->thread, "session") << c.what;
        EXPECT_EQ(harness.fake->openDescriptors(), 0) << c.what;
    }
}

TEST(CaptureDeviceSource, ADeviceWithoutAConvertibleLayoutCannotDeliver) {
    Harness harness({{V4L2_PIX_FMT_GREY, 640, 480, {{1, 30}}, std::nullopt}});
    auto source = harness.start();
    const auto failure = harness.failure();
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->error->kind(), CaptureError::Kind::cannotAddOutput);
    EXPECT_STREQ(failure->error->what(), "Videoausgang kann nicht eingerichtet werden.");
    EXPECT_EQ(source->activeFrameRate(), 0);
}

TEST(CaptureDeviceSource, StopReleasesTheDeviceAndEndsDelivery) {
    Harness harness({yuyvSize(320, 240)});
    auto idle = CaptureDeviceSource::create(harness.device(), std::nullopt, std::nullopt, harness.fake);
    idle->stop();
    idle->stop();

    auto source = harness.start();
    ASSERT_TRUE(harness.fake->waitUntilStreaming());
    source->stop();
    source->stop();
    EXPECT_TRUE(harness.fake->waitUntilReleased());
    EXPECT_FALSE(harness.fake->pushFrame(yuyv(320, 240, 50)));
    EXPECT_TRUE(harness.frames.values().empty());
    EXPECT_TRUE(harness.failures.values().empty());
}

TEST(CaptureDeviceSource, ReleasingARunningSourceReleasesTheDevice) {
    Harness harness({yuyvSize(320, 240)});
    auto source = harness.start();
    ASSERT_TRUE(harness.fake->waitUntilStreaming());
    // Without a stop: the last owner letting go is enough.
    source.reset();
    EXPECT_TRUE(harness.fake->waitUntilReleased());
}

TEST(CaptureTimeRepair, StampsWithinFiveMillisecondsAheadOrOneSecondBehindAreKept) {
    constexpr uint64_t now = 50'000'000'000;
    constexpr uint64_t ms = 1'000'000;
    struct Case {
        uint64_t stamp;
        bool repaired;
    };
    const Case cases[] = {
        {now, false},
        {now + 4 * ms, false},
        {now + 5 * ms, false},
        {now + 6 * ms, true},
        {now - 1000 * ms, false},
        {now - 1001 * ms, true},
        {0, true},
    };
    for (const Case& c : cases) {
        const auto time = CaptureDeviceSource::captureTime(c.stamp, now);
        EXPECT_EQ(time.repaired, c.repaired) << static_cast<int64_t>(c.stamp - now);
        EXPECT_EQ(time.time, c.repaired ? now : c.stamp);
    }
    EXPECT_DOUBLE_EQ(CaptureDeviceSource::captureTime(now + 6 * ms, now).ageMs, -6);
}

TEST(CaptureTimeRepair, AnImplausibleDeviceStampIsReplacedByTheArrival) {
    Harness harness({yuyvSize(160, 120)});
    auto source = harness.start();
    ASSERT_TRUE(harness.fake->waitUntilStreaming());
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t before = MonotonicClock::now();
    ASSERT_TRUE(harness.fake->pushFrame(yuyv(160, 120, 100), timeval{now.tv_sec - 5, 0}));
    const auto frame = harness.nextFrame();
    ASSERT_TRUE(frame);
    EXPECT_GE(frame->captureTime, before);
}

TEST(CaptureErrorText, DescriptionsAreTheUsersSentences) {
    EXPECT_STREQ(CaptureError::cannotAddInput().what(), "Videogerät kann nicht geöffnet werden. ");
    EXPECT_FALSE(CaptureError::cannotAddInput().cause());
    EXPECT_STREQ(CaptureError::runtime(CaptureError::deviceUnavailable().what()).what(),
                 "Capture-Fehler: Das Videogerät ist nicht mehr verfügbar.");
}

}  // namespace
}  // namespace kelvora
