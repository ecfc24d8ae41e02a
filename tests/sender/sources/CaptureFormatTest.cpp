#include "sender/sources/CaptureFormat.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

namespace kelvora {
namespace {

FrameRateRange fixedRate(uint32_t numerator, uint32_t denominator) {
    const FrameDuration duration{numerator, denominator};
    return {duration.rate(), duration.rate(), duration};
}

FrameRateRange rateSpan(double minimum, double maximum) {
    return {minimum, maximum, FrameDuration{1000, static_cast<uint32_t>(maximum * 1000)}};
}

CaptureFormat format(int width, int height, std::vector<FrameRateRange> ranges,
                     uint32_t pixelFormat = V4L2_PIX_FMT_YUYV) {
    return {pixelFormat, width, height, std::move(ranges)};
}

// A camera with 1080p up to 60 and 2160p up to 30 pictures per second.
std::vector<CaptureFormat> hdAndUhdCamera() {
    return {format(1920, 1080, {rateSpan(1, 60)}), format(3840, 2160, {rateSpan(1, 30)})};
}

TEST(CaptureFormatChoice, WithoutTargetsTheLargestFormatWinsOverTheFasterOne) {
    const auto formats = hdAndUhdCamera();
    EXPECT_EQ(captureTargetFrameRate(formats, std::nullopt), 60);
    EXPECT_EQ(captureTargetPixelCount(formats, std::nullopt), 3840LL * 2160);
    const auto choice = chooseCaptureFormat(formats, std::nullopt, std::nullopt);
    ASSERT_TRUE(choice);
    // 2160p: 0 + 3 × 30/60 = 1.5 against 1080p: 4 × (4 − 1) = 12.
    EXPECT_EQ(choice->formatIndex, 1u);
    EXPECT_DOUBLE_EQ(choice->rate, 30);
    EXPECT_EQ(choice->frameDuration, (FrameDuration{1000, 30000}));
}

TEST(CaptureFormatChoice, ARequestedSizeAndRateThatAFormatHasScoreZero) {
    const auto choice = chooseCaptureFormat(hdAndUhdCamera(), VideoDimensions{1920, 1080}, 60);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->formatIndex, 0u);
    EXPECT_DOUBLE_EQ(choice->rate, 60);
    EXPECT_EQ(choice->frameDuration, (FrameDuration{1000, 60000}));
}

TEST(CaptureFormatChoice, FrameDurationComesFromTheRangeOrFromTheTargetRate) {
    struct Case {
        const char* what;
        FrameRateRange range;
        std::optional<int> rate;
        FrameDuration expected;
    };
    const Case cases[] = {
        {"a single 29.97 rate keeps its own exact duration",
         fixedRate(1001, 30000),
         std::nullopt,
         {1001, 30000}},
        {"a span of 1 to 60 at target 30", rateSpan(1, 60), 30, {1000, 30000}},
        {"a span at a fractional clamp", rateSpan(1, 29.97), 30, {1000, 29970}},
        {"a span narrower than a hundredth counts as fixed", {29.995, 30.0, {1, 30}}, 60, {1, 30}},
    };
    for (const Case& c : cases) {
        const auto choice = chooseCaptureFormat({format(1280, 720, {c.range})}, std::nullopt, c.rate);
        ASSERT_TRUE(choice) << c.what;
        EXPECT_EQ(choice->frameDuration, c.expected) << c.what;
    }
}

TEST(CaptureFormatChoice, TargetsFallBackWhenTheDeviceSaysNothingUseful) {
    // Every format beyond 2160p: aim at 1080p.
    const std::vector<CaptureFormat> huge = {format(4096, 3072, {rateSpan(1, 30)}),
                                             format(7680, 4320, {rateSpan(1, 30)})};
    EXPECT_EQ(captureTargetPixelCount(huge, std::nullopt), 1920LL * 1080);
    // No rates at all: 30.
    EXPECT_EQ(captureTargetFrameRate({format(640, 480, {})}, std::nullopt), 30);
    // Rates above 60 are capped; the rest truncated to whole pictures.
    EXPECT_EQ(captureTargetFrameRate({format(640, 480, {rateSpan(1, 120)})}, std::nullopt), 60);
    EXPECT_EQ(captureTargetFrameRate({format(640, 480, {fixedRate(1001, 30000)})}, std::nullopt), 29);
    // A request of no rate at all would divide by zero: at least one picture per second.
    EXPECT_EQ(captureTargetFrameRate({}, 0), 1);
}

TEST(CaptureFormatChoice, PortraitFormatsAreOnlyTakenWhenASizeIsRequested) {
    const std::vector<CaptureFormat> portrait = {format(1080, 1920, {rateSpan(1, 30)})};
    EXPECT_FALSE(chooseCaptureFormat(portrait, std::nullopt, std::nullopt));
    const auto choice = chooseCaptureFormat(portrait, VideoDimensions{1080, 1920}, std::nullopt);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->formatIndex, 0u);
}

TEST(CaptureFormatChoice, NothingIsChosenWithoutFormatsOrRates) {
    EXPECT_FALSE(chooseCaptureFormat({}, std::nullopt, std::nullopt));
    EXPECT_FALSE(chooseCaptureFormat({format(1920, 1080, {})}, std::nullopt, std::nullopt));
}

TEST(CaptureFormatChoice, ALargerFormatIsPreferredToOneTooSmallAndTiesKeepTheDevicesOrder) {
    // 1080p asked: 2160p costs its excess of 3, 720p costs 4 × (2.25 − 1) = 5.
    const auto larger =
        chooseCaptureFormat({format(1280, 720, {rateSpan(1, 30)}), format(3840, 2160, {rateSpan(1, 30)})},
                            VideoDimensions{1920, 1080}, 30);
    ASSERT_TRUE(larger);
    EXPECT_EQ(larger->formatIndex, 1u);

    // The same size in two layouts at the same rate: the one the device lists first.
    const auto tie = chooseCaptureFormat({format(1280, 720, {fixedRate(1, 30)}, V4L2_PIX_FMT_YUYV),
                                          format(1280, 720, {fixedRate(1, 30)}, V4L2_PIX_FMT_MJPEG)},
                                         std::nullopt, std::nullopt);
    ASSERT_TRUE(tie);
    EXPECT_EQ(tie->formatIndex, 0u);

    // A slow uncompressed 1080p loses to a compressed one that reaches the rate (a typical USB camera).
    const auto camera =
        chooseCaptureFormat({format(1920, 1080, {fixedRate(1, 5)}, V4L2_PIX_FMT_YUYV),
                             format(640, 480, {fixedRate(1, 30)}, V4L2_PIX_FMT_YUYV),
                             format(1920, 1080, {fixedRate(1, 30), fixedRate(1, 15)}, V4L2_PIX_FMT_MJPEG)},
                            std::nullopt, std::nullopt);
    ASSERT_TRUE(camera);
    EXPECT_EQ(camera->formatIndex, 2u);
    EXPECT_EQ(camera->rangeIndex, 0u);
}

TEST(CaptureFormatChoice, ASizeWithoutPixelsCountsAsNoSize) {
    // Without the rule a 0×0 target made the smallest format the best fit, and let portrait formats in.
    const std::vector<CaptureFormat> formats = {format(320, 240, {rateSpan(1, 30)}),
                                                format(1080, 1920, {rateSpan(1, 30)}),
                                                format(1920, 1080, {rateSpan(1, 30)})};
    for (VideoDimensions empty :
         {VideoDimensions{0, 0}, VideoDimensions{1920, 0}, VideoDimensions{0, 1080}}) {
        EXPECT_EQ(chooseCaptureFormat(formats, empty, 30), chooseCaptureFormat(formats, std::nullopt, 30));
        EXPECT_EQ(chooseCaptureFormat(formats, empty, 30).value().formatIndex, 2u);
    }
}

}  // namespace
}  // namespace kelvora
