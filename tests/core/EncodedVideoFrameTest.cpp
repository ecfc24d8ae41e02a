#include <gtest/gtest.h>

#include "WireTesting.h"
#include "core/ByteWriter.h"
#include "core/EncodedVideoFrame.h"

using namespace kelvora;
using namespace kelvora::testing;

namespace {

using Flags = EncodedVideoFrame::Flags;

EncodedVideoFrame sampleFrame() {
    return EncodedVideoFrame::make(
        VideoCodec::hevc, {Flags::keyframe, Flags::testPattern}, 2, 0x0102030405060708, std::nullopt,
        0x1111111111111111, 0x2222222222222222, {1920, 1080}, 0xA1B2C3D4,
        {Bytes{0x40, 0x01}, Bytes{0x42, 0x01, 0x01}, Bytes{}}, Bytes{0, 0, 0, 1, 0x26});
}

}  // namespace

TEST(EncodedVideoFrame, EmptyKeyframeIsExactlyTheHead) {
    const auto frame = EncodedVideoFrame::make(VideoCodec::h264, {Flags::keyframe}, 0, 1, std::nullopt, 0, 0,
                                               {1280, 720}, 0, {}, {});
    const Bytes bytes = frame.serialized();
    ASSERT_EQ(bytes.size(), 45u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), (Bytes{0x02, 0x01, 0x01, 0x00}));
    EXPECT_EQ(bytes.back(), 0x00);
    const auto back = EncodedVideoFrame::fromSerialized(bytes);
    EXPECT_EQ(back, frame);
    EXPECT_TRUE(back.payload.empty());
}

TEST(EncodedVideoFrame, LayoutPutsEveryFieldAtItsOffset) {
    const Bytes bytes = sampleFrame().serialized();
    const Bytes expectedHead{
        0x02, 0x02, 0x05, 0x02,                          // version, hevc, keyframe|testPattern, tier
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // frame number
        0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // reference: its own number for a keyframe
        0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,  // capture time
        0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22, 0x22,  // encode-done time
        0x07, 0x80, 0x04, 0x38,                          // 1920 x 1080
        0xA1, 0xB2, 0xC3, 0xD4,                          // target bitrate
        0x03,                                            // three parameter sets
    };
    const Bytes expectedTail{0x00, 0x02, 0x40, 0x01, 0x00, 0x03, 0x42, 0x01,
                             0x01, 0x00, 0x00, 0,    0,    0,    1,    0x26};
    ASSERT_EQ(bytes.size(), expectedHead.size() + expectedTail.size());
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 45), expectedHead);
    EXPECT_EQ(Bytes(bytes.begin() + 45, bytes.end()), expectedTail);
    EXPECT_EQ(EncodedVideoFrame::fromSerialized(bytes), sampleFrame());
}

TEST(EncodedVideoFrame, SidesAreLimitedToSixteenBits) {
    auto frame = sampleFrame();
    frame.dimensions = {70000, -5};
    const Bytes bytes = frame.serialized();
    EXPECT_EQ(Bytes(bytes.begin() + 36, bytes.begin() + 40), (Bytes{0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(EncodedVideoFrame::fromSerialized(bytes).dimensions, (VideoDimensions{65535, 0}));
}

TEST(EncodedVideoFrame, ParameterSetLimitsAreEnforcedBeforeWriting) {
    auto frame = sampleFrame();
    frame.parameterSets.assign(255, Bytes{0x67});
    EXPECT_EQ(EncodedVideoFrame::fromSerialized(frame.serialized()), frame);
    frame.parameterSets.push_back(Bytes{0x68});
    EXPECT_EQ(wireErrorOf([&] { frame.serialized(); }), WireError::valueTooLarge());

    frame.parameterSets = {Bytes(65535, 0x67)};
    EXPECT_EQ(EncodedVideoFrame::fromSerialized(frame.serialized()), frame);
    frame.parameterSets.push_back(Bytes(65536, 0x68));
    ByteWriter writer;
    writer.writeUInt8(0x10);
    EXPECT_EQ(wireErrorOf([&] { frame.serialize(writer); }), WireError::valueTooLarge());
    EXPECT_EQ(writer.data(), (Bytes{0x10}));
}

TEST(EncodedVideoFrame, ReaderReportsVersionCodecAndTruncation) {
    EXPECT_EQ(wireErrorOf([] { EncodedVideoFrame::fromSerialized(Bytes{}); }), WireError::truncated());
    EXPECT_EQ(wireErrorOf([] {
                  EncodedVideoFrame::fromSerialized(Bytes{0x01, 0x01, 0x00});
              }),
              WireError::unsupportedVersion(1));
    EXPECT_EQ(wireErrorOf([] { EncodedVideoFrame::fromSerialized(Bytes{0x02}); }), WireError::truncated());
    EXPECT_EQ(wireErrorOf([] {
                  EncodedVideoFrame::fromSerialized(Bytes{0x02, 0x03});
              }),
              WireError::invalidPayload("unbekannter Codec"));

    // One parameter set of length 10 announced, only 9 bytes follow.
    Bytes head =
        EncodedVideoFrame::make(VideoCodec::h264, {}, 0, 2, std::nullopt, 0, 0, {}, 0, {}, {}).serialized();
    head.back() = 1;
    head.insert(head.end(), {0x00, 0x0A});
    head.insert(head.end(), 9, 0xEE);
    EXPECT_EQ(wireErrorOf([&] { EncodedVideoFrame::fromSerialized(head); }), WireError::truncated());
    // Every shorter prefix of a good frame is truncated too.
    const Bytes good = sampleFrame().serialized();
    for (size_t length = 1; length < 45 + 2 + 2 + 2 + 3 + 2; ++length) {
        EXPECT_EQ(wireErrorOf([&] { EncodedVideoFrame::fromSerialized(ByteView(good).first(length)); }),
                  WireError::truncated())
            << length;
    }
}

TEST(EncodedVideoFrame, SliceOfLargerBufferReadsLikeACopyAndOwnsItsBytes) {
    const Bytes frameBytes = sampleFrame().serialized();
    Bytes large = frameBytes;
    large.insert(large.begin(), 7, 0xCC);
    EncodedVideoFrame fromSlice = EncodedVideoFrame::fromSerialized(ByteView(large).subspan(7));
    std::fill(large.begin(), large.end(), 0);
    EXPECT_EQ(fromSlice, EncodedVideoFrame::fromSerialized(frameBytes));
}

TEST(EncodedVideoFrame, UnknownFlagBitsSurviveARoundTrip) {
    auto frame = sampleFrame();
    frame.flags = Flags(uint8_t{0xFF});
    const auto back = EncodedVideoFrame::fromSerialized(frame.serialized());
    EXPECT_EQ(back.flags.rawValue, 0xFF);
    EXPECT_TRUE(back.isKeyframe());
    EXPECT_TRUE(back.isDisposable());
    EXPECT_TRUE(back.isRefresh());
}

TEST(EncodedVideoFrame, DataByteCountAndDefaultReference) {
    auto frame = sampleFrame();
    frame.parameterSets = {Bytes(20), Bytes(8)};
    frame.payload = Bytes(1000);
    EXPECT_EQ(frame.dataByteCount(), 1028u);
    EXPECT_EQ(frame.serialized().size(), 45u + 4 + 1028);

    const auto make = [](Flags flags, uint64_t number) {
        return EncodedVideoFrame::make(VideoCodec::h264, flags, 0, number, std::nullopt, 0, 0, {}, 0, {}, {});
    };
    EXPECT_EQ(make({Flags::keyframe}, 7).referenceFrameNumber, 7u);
    EXPECT_EQ(make({}, 7).referenceFrameNumber, 6u);
    EXPECT_EQ(make({Flags::disposable}, 0).referenceFrameNumber, 0xFFFFFFFFFFFFFFFFu);
    EXPECT_EQ(EncodedVideoFrame::make(VideoCodec::h264, {Flags::refresh}, 0, 9, 3, 0, 0, {}, 0, {}, {})
                  .referenceFrameNumber,
              3u);
}
