#include "sender/pipeline/X264Session.h"

#include <gtest/gtest.h>

#include <vector>

#include "sender/pipeline/H264FrameNumbers.h"

namespace kelvora {
namespace {

TEST(X264Session, ReferencePicturesCoverTheAcknowledgementLagWithinTheLevelOfTheirSizeAndRate) {
    struct Case {
        int frameRate;
        VideoDimensions size;
        int pictures;
    };
    const Case cases[] = {
        {1, {640, 360}, 3},
        {62, {640, 360}, 3},
        {63, {640, 360}, 4},
        {125, {640, 360}, 4},
        {126, {640, 360}, 5},
        {812, {640, 360}, 15},
        {813, {640, 360}, 16},
        {1000, {640, 360}, 16},
        {500, {1280, 720}, 10},
        {30, {1920, 1080}, 3},
        {60, {1920, 1080}, 3},
        {120, {1920, 1080}, 4},
        {30, {2560, 1440}, 3},
        {60, {2560, 1440}, 3},
        {120, {2560, 1440}, 4},
        {30, {3840, 2160}, 3},
        {60, {3840, 2160}, 3},
        {120, {3840, 2160}, 4},
        // Past every level's rate: the buffer of the highest holds five of these.
        {240, {8192, 4320}, 5},
    };
    for (const auto& c : cases)
        EXPECT_EQ(X264Session::referencePictures(c.frameRate, c.size), c.pictures)
            << c.frameRate << " frames/s at " << c.size.width << "x" << c.size.height;
}

EncoderConfiguration configuration(VideoDimensions size, int frameRate, bool longTermReferences) {
    EncoderConfiguration c;
    c.codec = VideoCodec::h264;
    c.dimensions = size;
    c.frameRate = frameRate;
    c.bitrateKbps = 6000;
    c.keyframeInterval = 600;
    c.longTermReferences = longTermReferences;
    return c;
}

// A flat picture whose brightness moves with the index.
struct Picture {
    std::vector<uint8_t> luma;
    std::vector<uint8_t> chroma;
    Picture(VideoDimensions size, int index)
        : luma(size_t(size.width * size.height), uint8_t(16 + index % 200)),
          chroma(size_t(size.width * size.height / 2), 128) {}
    CompressionSession::Picture view(VideoDimensions size) const {
        return {luma.data(), size.width, chroma.data(), size.width};
    }
};

// The sequence parameter set of a session's first keyframe, as it goes on the wire.
TEST(X264Session, TheSequenceSignalsTheSizedBufferAndAWiderFrameNumber) {
    struct Case {
        VideoDimensions size;
        int frameRate;
        bool longTermReferences;
        int pictures;
        int log2MaxFrameNumber;
    };
    const Case cases[] = {
        {VideoDimensions::hd1080(), 30, true, 3, 12},  {VideoDimensions::hd1080(), 60, true, 3, 12},
        {VideoDimensions::hd720(), 60, true, 3, 12},   {{2560, 1440}, 30, true, 3, 12},
        {VideoDimensions::uhd2160(), 30, true, 3, 12}, {VideoDimensions::uhd2160(), 60, true, 3, 12},
        {VideoDimensions::hd1080(), 30, false, 1, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.size.height << "p" << c.frameRate << " " << c.longTermReferences);
        X264Session session(configuration(c.size, c.frameRate, c.longTermReferences), true);
        const Picture picture(c.size, 0);
        std::vector<CompressionSession::Sample> samples;
        ASSERT_EQ(session.encode(picture.view(c.size), 0, true, samples), 0);
        ASSERT_EQ(samples.size(), 1u);
        ASSERT_FALSE(samples[0].parameterSets.empty());
        const auto sequence = h264::readSequence(samples[0].parameterSets[0]);
        ASSERT_TRUE(sequence.has_value());
        // The level the size and rate need: the references do not raise it.
        const int macroblocks = ((c.size.width + 15) / 16) * ((c.size.height + 15) / 16);
        EXPECT_EQ(sequence->level, X264Session::levelFor(macroblocks, c.frameRate).idc);
        EXPECT_EQ(sequence->referenceFrames, c.pictures);
        EXPECT_EQ(sequence->maxDecFrameBuffering, c.pictures);
        EXPECT_EQ(sequence->log2MaxFrameNumber, c.log2MaxFrameNumber);
    }
}

// The wrap of the widened frame_num still sends a refresh whose skipped pictures would span it to a keyframe.
TEST(X264Session, ARefreshNeverSkipsAcrossTheFrameNumberWrap) {
    const VideoDimensions size{160, 96};
    X264Session session(configuration(size, 30, true), true);
    constexpr int period = 1 << 12;
    std::vector<CompressionSession::Sample> samples;
    for (int i = 0; i < period + 3; ++i) {
        const Picture picture(size, i);
        ASSERT_EQ(session.encode(picture.view(size), int64_t(i) * 33'333, i == 0, samples), 0);
    }
    ASSERT_EQ(samples.size(), size_t(period + 3));
    // Pictures period - 1 to period + 2 carry frame_num 4095, 0, 1, 2.
    EXPECT_FALSE(session.invalidateAfter(samples[period - 1].presentationMicros));
    EXPECT_TRUE(session.invalidateAfter(samples[period].presentationMicros));
}

}  // namespace
}  // namespace kelvora
