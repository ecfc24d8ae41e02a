#include <gtest/gtest.h>

#include "core/EngineKind.h"
#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"

using namespace kelvora;

TEST(VideoCodec, RawValuesAndNames) {
    EXPECT_EQ(videoCodecFromRaw(1), VideoCodec::h264);
    EXPECT_EQ(videoCodecFromRaw(2), VideoCodec::hevc);
    EXPECT_EQ(videoCodecFromRaw(0), std::nullopt);
    EXPECT_EQ(videoCodecFromRaw(3), std::nullopt);
    EXPECT_EQ(videoCodecName(VideoCodec::hevc), "hevc");
    EXPECT_EQ(videoCodecDisplayName(VideoCodec::h264), "H.264");
}

TEST(VideoCodec, LenientTextAcceptsAliasesInAnyCase) {
    EXPECT_EQ(videoCodecFromLenient("AVC"), VideoCodec::h264);
    EXPECT_EQ(videoCodecFromLenient("H264"), VideoCodec::h264);
    EXPECT_EQ(videoCodecFromLenient("H265"), VideoCodec::hevc);
    EXPECT_EQ(videoCodecFromLenient("hevc"), VideoCodec::hevc);
    EXPECT_EQ(videoCodecFromLenient("h.264"), std::nullopt);
    EXPECT_EQ(videoCodecFromLenient(""), std::nullopt);
}

TEST(VideoCodec, JsonIsTheBareNumber) {
    EXPECT_EQ(json::encode(json::to(VideoCodec::hevc)), "2");
    EXPECT_EQ(json::from<VideoCodec>(json::decode("1")), VideoCodec::h264);
    EXPECT_THROW(json::from<VideoCodec>(json::decode("\"hevc\"")), WireError);
    EXPECT_THROW(json::from<VideoCodec>(json::decode("3")), WireError);
    EXPECT_THROW(json::from<VideoCodec>(json::decode("1.0")), WireError);
    EXPECT_THROW(json::from<VideoCodec>(json::decode("257")), WireError);
}

TEST(EngineKind, KnownAndUnknownKinds) {
    EXPECT_EQ(EngineKind::tcp().description(), "Nativ TCP");
    EXPECT_EQ(EngineKind{"rist"}.description(), "RIST");
    EXPECT_EQ(EngineKind{"rist"}.summary(), "");
    EXPECT_EQ(EngineKind{"TCP"}.description(), "TCP");
    EXPECT_EQ(EngineKind{"TCP"}.summary(), "");
    ASSERT_EQ(EngineKind::all().size(), 2u);
    EXPECT_EQ(EngineKind::all()[1], EngineKind::quic());
}

TEST(EngineKind, JsonIsAPlainString) {
    EXPECT_EQ(json::encode(json::to(EngineKind::tcp())), "\"tcp\"");
    EXPECT_EQ(json::from<EngineKind>(json::decode("\"srt\"")), EngineKind::srt());
    EXPECT_THROW(json::from<EngineKind>(json::decode("{\"rawValue\":\"tcp\"}")), WireError);
}

TEST(VideoDimensions, TextsAndLabels) {
    EXPECT_EQ(VideoDimensions::hd1080().description(), "1920\u00D71080");
    EXPECT_EQ(VideoDimensions::hd720().label(), "720p");
    EXPECT_EQ((VideoDimensions{1080, 1920}).label(), "1920p");
    EXPECT_EQ((VideoDimensions{960, 540}).label(), "540p");
    EXPECT_EQ((VideoDimensions{640, 0}).label(), "0p");
}

TEST(VideoDimensions, ScalingKeepsAspectAndEvenSides) {
    EXPECT_EQ(VideoDimensions::hd1080().scaled(720), VideoDimensions::hd720());
    EXPECT_EQ(VideoDimensions::hd1080().scaled(541), (VideoDimensions{962, 540}));
    EXPECT_EQ((VideoDimensions{1000, 1001}).scaled(1001), (VideoDimensions{1000, 1000}));
    EXPECT_EQ((VideoDimensions{640, 0}).scaled(720), (VideoDimensions{640, 0}));
}

TEST(VideoDimensions, JsonRequiresBothSidesWithinTheWireRange) {
    EXPECT_EQ(json::encode(json::to(VideoDimensions::hd720())), "{\"width\":1280,\"height\":720}");
    EXPECT_EQ(json::from<VideoDimensions>(json::decode("{\"height\":720,\"width\":1280,\"x\":1}")),
              VideoDimensions::hd720());
    EXPECT_THROW(json::from<VideoDimensions>(json::decode("{\"width\":1280}")), WireError);
    EXPECT_THROW(json::from<VideoDimensions>(json::decode("{\"width\":1280,\"height\":null}")), WireError);
    EXPECT_THROW(json::from<VideoDimensions>(json::decode("{\"width\":65536,\"height\":720}")), WireError);
    EXPECT_THROW(json::from<VideoDimensions>(json::decode("{\"width\":-2,\"height\":720}")), WireError);
    auto largest = json::from<VideoDimensions>(json::decode("{\"width\":65535,\"height\":65535}"));
    EXPECT_EQ(largest.pixelCount(), int64_t{65535} * 65535);
}
