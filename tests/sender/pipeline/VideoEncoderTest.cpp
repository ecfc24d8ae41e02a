#include "sender/pipeline/VideoEncoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "core/Log.h"
#include "core/Nal.h"
#include "platform/PixelBuffer.h"
#include "sender/pipeline/H264FrameNumbers.h"
#include "sender/pipeline/X264Session.h"
#include "support/LogCapture.h"

namespace kelvora {
namespace {

using Flags = EncodedVideoFrame::Flags;
constexpr uint64_t kFrameNs = 33'333'333;

// A moving picture, so that predicted frames have something to code.
PixelBuffer picture(int width, int height, int index, uint8_t luma = 0) {
    PixelBuffer buffer = PixelBuffer::make(PixelFormat::nv12, width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = buffer.data(0) + size_t(y) * buffer.stride(0);
        for (int x = 0; x < width; ++x)
            row[x] = luma ? luma : uint8_t(16 + ((x + y + 4 * index) % 200));
    }
    for (int y = 0; y < buffer.planeHeight(1); ++y)
        std::memset(buffer.data(1) + size_t(y) * buffer.stride(1), 128, size_t(buffer.planeWidth(1)) * 2);
    return buffer;
}

EncoderConfiguration configuration720() {
    EncoderConfiguration c;
    c.codec = VideoCodec::h264;
    c.dimensions = {1280, 720};
    c.frameRate = 30;
    c.bitrateKbps = 3000;
    c.keyframeInterval = 2.0;
    return c;
}

// Collects the encoder's output and lets a test wait for it without sleeping.
class Collector {
  public:
    VideoEncoder::OutputHandler handler() {
        return [this](EncodedVideoFrame frame) {
            std::lock_guard lock(mutex_);
            frames_.push_back(std::move(frame));
            changed_.notify_all();
        };
    }
    // Waits until `count` frames have arrived; fails the test after a generous timeout.
    bool waitFor(size_t count) {
        std::unique_lock lock(mutex_);
        bool reached =
            changed_.wait_for(lock, std::chrono::seconds(30), [&] { return frames_.size() >= count; });
        EXPECT_TRUE(reached) << "only " << frames_.size() << " of " << count << " frames";
        return reached;
    }
    std::vector<EncodedVideoFrame> frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    size_t count() {
        std::lock_guard lock(mutex_);
        return frames_.size();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<EncodedVideoFrame> frames_;
};

// Submits one picture and waits for its frame, so the in-flight limit never drops one.
void encodeAndWait(VideoEncoder& encoder, Collector& collector, const PixelBuffer& buffer,
                   uint64_t captureTime) {
    size_t before = collector.count();
    encoder.encode(buffer, captureTime, false);
    collector.waitFor(before + 1);
}

struct Decoded {
    int pictures = 0;
    int width = 0;
    int height = 0;
    int errors = 0;
    std::vector<uint8_t> firstLumaRow;
    // Every picture's luma plane, rows packed, when asked for.
    std::vector<Bytes> lumas;
};

// Decodes wire frames the way a viewer does: Annex B with the parameter sets in front of each keyframe.
Decoded decode(VideoCodec codec, const std::vector<EncodedVideoFrame>& frames, bool keepLumas = false) {
    Decoded result;
    const AVCodec* decoder =
        avcodec_find_decoder(codec == VideoCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(decoder);
    context->thread_count = 1;
    EXPECT_EQ(avcodec_open2(context, decoder, nullptr), 0);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(context, frame) == 0) {
            ++result.pictures;
            result.width = frame->width;
            result.height = frame->height;
            if (result.firstLumaRow.empty())
                result.firstLumaRow.assign(frame->data[0], frame->data[0] + frame->width);
            if (keepLumas) {
                Bytes& luma = result.lumas.emplace_back();
                for (int y = 0; y < frame->height; ++y)
                    luma.insert(luma.end(), frame->data[0] + size_t(y) * size_t(frame->linesize[0]),
                                frame->data[0] + size_t(y) * size_t(frame->linesize[0]) + frame->width);
            }
            av_frame_unref(frame);
        }
    };
    for (const auto& wire : frames) {
        Bytes annexB = nal::joinAnnexB(wire.parameterSets);
        Bytes units = nal::toAnnexB(wire.payload);
        annexB.insert(annexB.end(), units.begin(), units.end());
        av_new_packet(packet, int(annexB.size()));
        std::memcpy(packet->data, annexB.data(), annexB.size());
        if (avcodec_send_packet(context, packet) < 0)
            ++result.errors;
        av_packet_unref(packet);
        drain();
    }
    avcodec_send_packet(context, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return result;
}

std::vector<uint8_t> types(VideoCodec codec, const std::vector<Bytes>& units) {
    std::vector<uint8_t> out;
    for (const auto& unit : units)
        out.push_back(nal::type(codec, unit).value_or(255));
    return out;
}

TEST(VideoEncoder, HundredFramesDecodeInTheWireForm) {
    Collector collector;
    VideoEncoder encoder(0, configuration720(), collector.handler());
    for (int i = 0; i < 100; ++i)
        encodeAndWait(encoder, collector, picture(1280, 720, i), 1'000'000'000 + i * kFrameNs);
    auto frames = collector.frames();
    ASSERT_EQ(frames.size(), 100u);

    Decoded decoded = decode(VideoCodec::h264, frames);
    EXPECT_EQ(decoded.errors, 0);
    EXPECT_EQ(decoded.pictures, 100);
    EXPECT_EQ(decoded.width, 1280);
    EXPECT_EQ(decoded.height, 720);

    const auto& first = frames.front();
    EXPECT_TRUE(first.isKeyframe());
    EXPECT_EQ(types(VideoCodec::h264, first.parameterSets),
              (std::vector<uint8_t>{nal::h264::sps, nal::h264::pps}));
    EXPECT_EQ(first.frameNumber, 1u);
    EXPECT_EQ(first.referenceFrameNumber, 1u);
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto& frame = frames[i];
        EXPECT_EQ(frame.frameNumber, i + 1);
        EXPECT_EQ(frame.tier, 0);
        EXPECT_EQ(frame.codec, VideoCodec::h264);
        EXPECT_EQ(frame.dimensions, (VideoDimensions{1280, 720}));
        EXPECT_EQ(frame.targetBitrateKbps, 3000u);
        EXPECT_EQ(frame.captureTime, 1'000'000'000 + i * kFrameNs);
        size_t covered = 0;  // every byte belongs to a length-prefixed unit
        for (ByteView unit : nal::splitLengthPrefixed(frame.payload)) {
            covered += 4 + unit.size();
            EXPECT_FALSE(nal::isParameterSet(VideoCodec::h264, unit)) << "frame " << frame.frameNumber;
            EXPECT_FALSE(nal::isAccessUnitDelimiter(VideoCodec::h264, unit)) << "frame " << frame.frameNumber;
        }
        EXPECT_EQ(covered, frame.payload.size());
        if (i > 0) {
            // Two seconds at 30 fps: the second keyframe is frame 61.
            EXPECT_EQ(frame.isKeyframe(), frame.frameNumber == 61) << frame.frameNumber;
            EXPECT_EQ(frame.referenceFrameNumber,
                      frame.isKeyframe() ? frame.frameNumber : frame.frameNumber - 1);
            EXPECT_EQ(frame.parameterSets.empty(), !frame.isKeyframe());
        }
    }
    auto timing = encoder.timing();
    EXPECT_TRUE(timing.hardwareMs.has_value());
    EXPECT_EQ(timing.outputCodec, VideoCodec::h264);
    EXPECT_TRUE(encoder.isLowLatencyActive());
}

TEST(VideoEncoder, KeyframeRequestsAndTheirMinimumInterval) {
    Collector collector;
    VideoEncoder encoder(1, configuration720(), collector.handler());
    uint64_t t = 5'000'000'000;
    auto next = [&] {
        encodeAndWait(encoder, collector, picture(1280, 720, int(collector.count())), t += kFrameNs);
        return collector.frames().back();
    };
    EXPECT_TRUE(next().isKeyframe());
    EXPECT_FALSE(next().isKeyframe());

    EXPECT_FALSE(encoder.requestKeyframe(250));  // no long-term references: the keyframe way
    auto forced = next();
    EXPECT_TRUE(forced.isKeyframe());
    EXPECT_EQ(forced.referenceFrameNumber, forced.frameNumber);
    EXPECT_EQ(forced.parameterSets.size(), 2u);
    for (ByteView unit : nal::splitLengthPrefixed(forced.payload)) {
        auto type = nal::type(VideoCodec::h264, unit);
        EXPECT_TRUE(type == nal::h264::idr || type == nal::h264::sei) << int(type.value_or(0));
    }

    encoder.requestKeyframe(60'000);  // within a minute of the last accepted one: suppressed
    EXPECT_FALSE(next().isKeyframe());
    encoder.requestFullKeyframe(0);  // no minimum: always accepted
    auto again = next();
    EXPECT_TRUE(again.isKeyframe());
    EXPECT_FALSE(again.flags.contains(Flags::testPattern));

    encoder.encode(picture(1280, 720, 9), t += kFrameNs, true);
    collector.waitFor(again.frameNumber + 1);
    EXPECT_EQ(collector.frames().back().flags, Flags::testPattern);
    EXPECT_EQ(encoder.acknowledgedFrame(), 0u);
}

TEST(VideoEncoder, PacingToTwentyOfThirtyEncodesTwoOfThree) {
    Collector collector;
    VideoEncoder encoder(2, configuration720(), collector.handler());
    encodeAndWait(encoder, collector, picture(1280, 720, 0), 0);  // the first keyframe is never paced away
    encoder.setTargetFrameRate(20);
    size_t expected = 1;
    for (int i = 1; i <= 30; ++i) {
        encoder.encode(picture(1280, 720, i), uint64_t(i) * kFrameNs, false);
        // From a credit of 0 the pattern is skip, encode, encode.
        if (i % 3 != 1)
            collector.waitFor(++expected);
    }
    // A forced keyframe passes pacing; once it is out, everything before it is out too.
    encoder.requestFullKeyframe(0);
    encoder.encode(picture(1280, 720, 31), 31 * kFrameNs, false);
    collector.waitFor(expected + 1);
    auto frames = collector.frames();
    ASSERT_EQ(frames.size(), 1 + 20 + 1u);
    EXPECT_TRUE(frames.back().isKeyframe());
    EXPECT_EQ(frames[1].captureTime, 2 * kFrameNs);
    EXPECT_EQ(frames[2].captureTime, 3 * kFrameNs);
    EXPECT_EQ(frames[3].captureTime, 5 * kFrameNs);

    encoder.setTargetFrameRate(29.6);  // close enough to the configured rate: every frame
    for (int i = 32; i < 38; ++i)
        encodeAndWait(encoder, collector, picture(1280, 720, i), uint64_t(i) * kFrameNs);
    EXPECT_EQ(collector.count(), 1 + 20 + 1 + 6u);
}

TEST(VideoEncoder, BitrateOnlyChangeKeepsTheChainAndOtherChangesRestartIt) {
    Collector collector;
    VideoEncoder encoder(0, configuration720(), collector.handler());
    uint64_t t = 0;
    auto next = [&] {
        encodeAndWait(encoder, collector, picture(1280, 720, int(collector.count())), t += kFrameNs);
        return collector.frames().back();
    };
    next();
    next();
    encoder.setBitrate(1500);
    auto afterRate = next();
    EXPECT_FALSE(afterRate.isKeyframe());
    EXPECT_EQ(afterRate.targetBitrateKbps, 1500u);
    EXPECT_EQ(encoder.configuredBitrateKbps(), 1500);

    EncoderConfiguration changed = encoder.configuration();
    changed.bitrateKbps = 2500;
    encoder.applyPendingSessionChange(changed);
    auto afterChange = next();
    EXPECT_FALSE(afterChange.isKeyframe());
    EXPECT_EQ(afterChange.targetBitrateKbps, 2500u);

    changed.frameRate = 25;
    encoder.applyPendingSessionChange(changed);
    auto restarted = next();
    EXPECT_TRUE(restarted.isKeyframe());
    EXPECT_EQ(restarted.frameNumber, afterChange.frameNumber + 1);  // numbering runs on across sessions
    EXPECT_EQ(decode(VideoCodec::h264, collector.frames()).pictures, int(collector.count()));
}

TEST(VideoEncoder, FramesInFlightOfADetachedSessionAreNotNumberedIntoTheNewChain) {
    Collector collector;
    VideoEncoder encoder(0, configuration720(), collector.handler());
    EncoderConfiguration small = configuration720();
    small.dimensions = {640, 360};
    for (int round = 0; round < 5; ++round) {
        for (int i = 0; i < 3; ++i)
            encoder.encode(picture(1280, 720, i), uint64_t(round * 10 + i) * kFrameNs, false);
        encoder.applyPendingSessionChange(round % 2 == 0 ? small : configuration720());
    }
    size_t before = collector.count();
    encoder.encode(picture(1280, 720, 99), 99 * kFrameNs, false);
    collector.waitFor(before + 1);

    auto frames = collector.frames();
    VideoDimensions current = frames.front().dimensions;
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].frameNumber, i + 1);  // no gaps, no repeats
        if (frames[i].dimensions != current) {
            EXPECT_TRUE(frames[i].isKeyframe()) << "a new session starts with a keyframe";
            current = frames[i].dimensions;
        }
        if (!frames[i].isKeyframe()) {
            EXPECT_EQ(frames[i].referenceFrameNumber, frames[i].frameNumber - 1);
        }
    }
    EXPECT_EQ(frames.back().dimensions, (VideoDimensions{640, 360}));
}

TEST(VideoEncoder, ResetSessionStartsTheNextSourceWithAKeyframeAndNumbersOn) {
    Collector collector;
    VideoEncoder encoder(0, configuration720(), collector.handler());
    for (int i = 0; i < 3; ++i)
        encodeAndWait(encoder, collector, picture(1280, 720, i), uint64_t(i) * kFrameNs);
    encoder.resetSession();
    encodeAndWait(encoder, collector, picture(1280, 720, 7), 10 * kFrameNs);
    auto frames = collector.frames();
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_FALSE(frames[2].isKeyframe());
    EXPECT_TRUE(frames[3].isKeyframe());
    EXPECT_EQ(frames[3].frameNumber, 4u);
}

TEST(VideoEncoder, FrameNumbersRunOnAcrossEncodersOfOneTier) {
    auto numbers = std::make_shared<VideoEncoder::FrameNumbers>();
    Collector first;
    {
        VideoEncoder encoder(0, configuration720(), first.handler(), {EncoderBackend::automatic, numbers});
        for (int i = 0; i < 3; ++i)
            encodeAndWait(encoder, first, picture(1280, 720, i), uint64_t(i) * kFrameNs);
    }
    Collector second;
    VideoEncoder encoder(0, configuration720(), second.handler(), {EncoderBackend::automatic, numbers});
    encodeAndWait(encoder, second, picture(1280, 720, 0), 10 * kFrameNs);
    EXPECT_EQ(second.frames().front().frameNumber, 4u);
    EXPECT_EQ(second.frames().front().referenceFrameNumber, 4u);
}

TEST(VideoEncoder, OtherSizesAndBgraAreLetterboxedIntoTheConfiguredSize) {
    Collector collector;
    VideoEncoder encoder(0, configuration720(), collector.handler());
    encodeAndWait(encoder, collector, picture(640, 480, 0, 200), 0);  // 4:3 into 16:9: bars left and right
    PixelBuffer bgra = PixelBuffer::make(PixelFormat::bgra, 1280, 720);
    std::memset(bgra.data(0), 255, size_t(bgra.stride(0)) * 720);
    encodeAndWait(encoder, collector, bgra, kFrameNs);

    auto frames = collector.frames();
    EXPECT_EQ(frames[0].dimensions, (VideoDimensions{1280, 720}));
    Decoded first = decode(VideoCodec::h264, {frames[0]});
    ASSERT_EQ(first.pictures, 1);
    EXPECT_NEAR(first.firstLumaRow[20], 16, 6);     // bar
    EXPECT_NEAR(first.firstLumaRow[640], 200, 12);  // picture
    EXPECT_NEAR(first.firstLumaRow[1260], 16, 6);   // bar
    EXPECT_EQ(decode(VideoCodec::h264, frames).pictures, 2);
}

TEST(VideoEncoder, DamagedSettingsAreClampedInsteadOfStoppingTheEncoder) {
    EncoderConfiguration broken;
    broken.dimensions = {15, 7};
    broken.frameRate = 0;
    broken.keyframeInterval = 0;
    broken.bitrateKbps = 5;
    Collector collector;
    VideoEncoder encoder(0, broken, collector.handler());
    for (int i = 0; i < 3; ++i)
        encodeAndWait(encoder, collector, picture(64, 48, i), uint64_t(i) * 1'000'000'000);
    auto frames = collector.frames();
    EXPECT_EQ(frames[0].dimensions, (VideoDimensions{16, 16}));
    EXPECT_EQ(frames[0].targetBitrateKbps, 100u);
    EXPECT_EQ(decode(VideoCodec::h264, frames).pictures, 3);
    EXPECT_EQ(encoder.configuration(), broken);  // the wish is kept; only what the encoder runs is clamped
}

TEST(VideoEncoder, IntraOnlyFramesAreDisposableKeyframes) {
    EncoderConfiguration studio = configuration720();
    studio.intraOnly = true;
    studio.bitrateKbps = 20000;
    Collector collector;
    VideoEncoder encoder(0, studio, collector.handler());
    for (int i = 0; i < 4; ++i)
        encodeAndWait(encoder, collector, picture(1280, 720, i), uint64_t(i) * kFrameNs);
    for (const auto& frame : collector.frames()) {
        EXPECT_EQ(frame.flags, (Flags{Flags::keyframe, Flags::disposable}));
        EXPECT_EQ(frame.referenceFrameNumber, frame.frameNumber);
        EXPECT_EQ(frame.parameterSets.size(), 2u);
    }
    EXPECT_FALSE(encoder.isLowLatencyActive());
}

TEST(VideoEncoder, KeyframeIntervalIsAlsoBoundedInTime) {
    EncoderConfiguration c = configuration720();
    c.keyframeInterval = 1.0;  // 30 frames at 30 fps, but the source delivers only 10 per second
    Collector collector;
    VideoEncoder encoder(0, c, collector.handler());
    for (int i = 0; i < 25; ++i)
        encodeAndWait(encoder, collector, picture(1280, 720, i), uint64_t(i) * 100'000'000);
    std::vector<uint64_t> keyframes;
    for (const auto& frame : collector.frames())
        if (frame.isKeyframe())
            keyframes.push_back(frame.frameNumber);
    EXPECT_EQ(keyframes, (std::vector<uint64_t>{1, 11, 21}));
}

TEST(VideoEncoder, HevcThroughLibx265CarriesItsThreeParameterSets) {
    EncoderConfiguration c = configuration720();
    c.codec = VideoCodec::hevc;
    c.dimensions = {640, 360};
    Collector collector;
    c.longTermReferences = true;  // not offered by libx265: keyframes only
    VideoEncoder encoder(0, c, collector.handler(), {EncoderBackend::x265, nullptr});
    for (int i = 0; i < 10; ++i)
        encodeAndWait(encoder, collector, picture(640, 360, i), uint64_t(i) * kFrameNs);
    auto frames = collector.frames();
    EXPECT_TRUE(frames[0].isKeyframe());
    EXPECT_EQ(types(VideoCodec::hevc, frames[0].parameterSets),
              (std::vector<uint8_t>{nal::hevc::vps, nal::hevc::sps, nal::hevc::pps}));
    for (const auto& frame : frames)
        for (ByteView unit : nal::splitLengthPrefixed(frame.payload))
            EXPECT_FALSE(nal::isParameterSet(VideoCodec::hevc, unit));
    Decoded decoded = decode(VideoCodec::hevc, frames);
    EXPECT_EQ(decoded.pictures, 10);
    EXPECT_EQ(decoded.width, 640);
    EXPECT_EQ(encoder.timing().outputCodec, VideoCodec::hevc);
    encoder.acknowledgeReference(9);
    EXPECT_EQ(encoder.acknowledgedFrame(), 0u);
    EXPECT_FALSE(encoder.requestKeyframe(0));
}

TEST(VideoEncoder, HevcWithoutHardwareIsRefusedAndDropsFrames) {
    if (VideoEncoder::capabilities().hevcHardware)
        GTEST_SKIP() << "this computer has a hardware HEVC encoder";
    EncoderConfiguration c = configuration720();
    c.codec = VideoCodec::hevc;
    Collector collector;
    test::LogCapture log(Log::encoder());
    {
        VideoEncoder encoder(0, c, collector.handler());
        encoder.encode(picture(1280, 720, 0), 0, false);
        EXPECT_FALSE(encoder.isLowLatencyActive());
    }
    // The refusal is made within encode, before anything reaches the worker: a session that came about
    // after all would leave no such line, and its frame could still be on its way.
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.starts_with("Encoder-Session konnte nicht erstellt werden");
                            }),
              1);
    EXPECT_EQ(collector.count(), 0u);
    EXPECT_FALSE(VideoEncoder::capabilities().hevcLowLatency);
}

TEST(EncoderConfiguration, SanitizedClampsWhatWouldBreakAnEncoder) {
    EncoderConfiguration c;
    c.frameRate = -3;
    c.keyframeInterval = std::numeric_limits<double>::quiet_NaN();
    c.dimensions = {1921, 3};
    c.bitrateKbps = 0;
    EncoderConfiguration safe = c.sanitized();
    EXPECT_EQ(safe.frameRate, 1);
    EXPECT_EQ(safe.keyframeInterval, 2.0);
    EXPECT_EQ(safe.dimensions, (VideoDimensions{1920, 16}));
    EXPECT_EQ(safe.bitrateKbps, 100);

    c = EncoderConfiguration{};
    EXPECT_EQ(c.sanitized(), c);  // sound values pass unchanged
    c.keyframeInterval = -1;
    EXPECT_EQ(c.sanitized().keyframeInterval, 2.0);
    c.keyframeInterval = 0.001;
    EXPECT_DOUBLE_EQ(c.sanitized().keyframeInterval, 1.0 / 30);
}

}  // namespace
}  // namespace kelvora

namespace kelvora {
namespace {

PixelBuffer noise(int width, int height, uint32_t& seed) {
    PixelBuffer buffer = picture(width, height, 0);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = buffer.data(0) + size_t(y) * buffer.stride(0);
        for (int x = 0; x < width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            row[x] = uint8_t(16 + (seed >> 24) % 220);
        }
    }
    return buffer;
}

// A paced tier's frames still carry the bitrate per second, and its session is opened at the tier's own rate:
// the proxy held to 30 frames/s beside a 60 frames/s source signals the level of 30 (3.1 at 60).
TEST(VideoEncoder, APacedTierEncodesAtItsBitrateAndTheLevelOfItsOwnRate) {
    struct Case {
        const char* name;
        int frameRate;
        std::optional<double> limit;
        std::optional<double> target;
        bool longTermReferences;
        int pictures;  // max_num_ref_frames
    };
    const Case cases[] = {
        {"15 of 30", 30, std::nullopt, 15, false, 1},
        {"the proxy beside a 60 frames/s source", 60, 30, std::nullopt, true, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EncoderConfiguration configuration = configuration720();
        configuration.dimensions = {640, 360};
        configuration.frameRate = c.frameRate;
        configuration.bitrateKbps = 1000;
        configuration.longTermReferences = c.longTermReferences;
        Collector collector;
        VideoEncoder encoder(0, configuration, collector.handler());
        encoder.setFrameRateLimit(c.limit);
        encoder.setTargetFrameRate(c.target);
        uint32_t seed = 7;
        // Two seconds of unpredictable pictures, of which every second one is encoded.
        for (int i = 0; i < 2 * c.frameRate; ++i) {
            size_t before = collector.count();
            encoder.encode(noise(640, 360, seed), uint64_t(i) * 1'000'000'000 / uint64_t(c.frameRate), false);
            if (i % 2 == 0)  // the first is a keyframe, then skip, encode, ...
                collector.waitFor(before + 1);
        }
        const auto frames = collector.frames();
        ASSERT_EQ(frames.size(), size_t(c.frameRate));
        ASSERT_FALSE(frames[0].parameterSets.empty());
        const auto sequence = h264::readSequence(frames[0].parameterSets[0]);
        ASSERT_TRUE(sequence.has_value());
        EXPECT_EQ(sequence->referenceFrames, c.pictures);
        EXPECT_EQ(sequence->level, 30);
        size_t bytes = 0;
        for (const auto& frame : frames)
            bytes += frame.dataByteCount();
        // Two seconds at 1000 kbit/s. Noise fills each frame up to what the 100 ms of the VBV let through,
        // so the stream stays below the rate (0.7 at 15 of 30, 0.8 at 30 frames/s); at twice or half the
        // rate per frame it would leave these bounds.
        const double expected = 1000.0 * 1000 / 8 * 2;
        EXPECT_GT(double(bytes), 0.6 * expected);
        EXPECT_LT(double(bytes), 1.3 * expected);
    }
}

// Frame-rate adaptation paces a fresh tier to a quarter and steps it back up through a third and a half to
// the full rate over ten seconds: the session opened at the start stays, at the level of the full rate, and
// keyframes keep their interval in seconds.
TEST(VideoEncoder, ARisingPaceAddsNoKeyframe) {
    EncoderConfiguration configuration = configuration720();
    configuration.dimensions = {640, 360};
    configuration.bitrateKbps = 1000;
    configuration.longTermReferences = true;
    Collector collector;
    VideoEncoder encoder(0, configuration, collector.handler());
    encoder.setTargetFrameRate(7.5);
    encodeAndWait(encoder, collector, picture(640, 360, 0), 0);  // the first keyframe is never paced away
    struct Step {
        std::optional<double> pace;
        int period;    // every period-th picture is encoded
        int pictures;  // a multiple of the period, so that the next step starts without credit
    };
    const Step steps[] = {{7.5, 4, 72}, {10, 3, 75}, {15, 2, 74}, {std::nullopt, 1, 78}};
    int index = 0;
    for (const auto& step : steps) {
        encoder.setTargetFrameRate(step.pace);
        for (int k = 1; k <= step.pictures; ++k) {
            ++index;
            size_t before = collector.count();
            encoder.encode(picture(640, 360, index), uint64_t(index) * kFrameNs, false);
            if (k % step.period == 0)
                collector.waitFor(before + 1);
        }
    }
    ASSERT_EQ(index, 299);
    std::vector<uint64_t> keyframes;
    for (const auto& frame : collector.frames()) {
        if (!frame.isKeyframe())
            continue;
        keyframes.push_back(frame.captureTime);
        ASSERT_FALSE(frame.parameterSets.empty());
        const auto sequence = h264::readSequence(frame.parameterSets[0]);
        ASSERT_TRUE(sequence.has_value());
        EXPECT_EQ(sequence->level, 30) << "keyframe at " << frame.captureTime / kFrameNs;
    }
    EXPECT_EQ(keyframes.size(), 5u);  // 0, 2, 4, 6 and 8 s
    for (size_t i = 1; i < keyframes.size(); ++i)
        EXPECT_GE(keyframes[i] - keyframes[i - 1], 60 * kFrameNs)
            << "keyframes at " << keyframes[i - 1] / kFrameNs << " and " << keyframes[i] / kFrameNs;
}

TEST(VideoEncoder, MayBeReleasedInsideItsOwnOutputHandler) {
    std::mutex mutex;
    std::condition_variable done;
    bool released = false;
    std::shared_ptr<VideoEncoder> holder;
    holder = std::make_shared<VideoEncoder>(0, configuration720(), [&](EncodedVideoFrame) {
        std::lock_guard lock(mutex);
        holder.reset();  // the last reference goes away on the encoder's own thread
        released = true;
        done.notify_all();
    });
    auto encoder = holder;  // keep it alive until the picture is submitted
    encoder->encode(picture(1280, 720, 0), 0, false);
    encoder->encode(picture(1280, 720, 1), kFrameNs, false);
    encoder.reset();
    std::unique_lock lock(mutex);
    EXPECT_TRUE(done.wait_for(lock, std::chrono::seconds(30), [&] { return released; }));
}

}  // namespace
}  // namespace kelvora

namespace kelvora {
namespace {

// A real libx264 session whose keyframes after the first come out without their parameter sets, as an
// encoder whose output cannot be parsed would leave them.
class SetsLostAfterFirstKeyframe final : public CompressionSession {
  public:
    explicit SetsLostAfterFirstKeyframe(std::unique_ptr<CompressionSession> inner)
        : inner_(std::move(inner)) {}
    int encode(const Picture& picture, int64_t micros, bool forceKeyframe,
               std::vector<Sample>& out) override {
        size_t before = out.size();
        int status = inner_->encode(picture, micros, forceKeyframe, out);
        for (size_t i = before; i < out.size(); ++i) {
            if (out[i].keyframe && std::exchange(sawKeyframe_, true))
                out[i].parameterSets.clear();
        }
        return status;
    }
    void requestBitrate(int kbps) override { inner_->requestBitrate(kbps); }
    bool isLowLatencyActive() const override { return inner_->isLowLatencyActive(); }
    VideoCodec codec() const override { return inner_->codec(); }
    std::string name() const override { return inner_->name(); }

  private:
    std::unique_ptr<CompressionSession> inner_;
    bool sawKeyframe_ = false;
};

TEST(VideoEncoder, AKeyframeWithoutReadableSetsCarriesTheLastGoodOnes) {
    VideoEncoder::Options options;
    options.makeSession = [](const EncoderConfiguration& c, bool lowLatency) {
        return std::make_unique<SetsLostAfterFirstKeyframe>(
            CompressionSession::make(c, lowLatency, EncoderBackend::x264));
    };
    Collector collector;
    VideoEncoder encoder(0, configuration720(), collector.handler(), options);
    for (int i = 0; i < 6; ++i) {
        if (i == 3)
            encoder.requestFullKeyframe(0);
        encodeAndWait(encoder, collector, picture(1280, 720, i), uint64_t(i) * kFrameNs);
    }
    auto frames = collector.frames();
    ASSERT_TRUE(frames[0].isKeyframe() && frames[3].isKeyframe());
    EXPECT_EQ(types(VideoCodec::h264, frames[3].parameterSets),
              (std::vector<uint8_t>{nal::h264::sps, nal::h264::pps}));
    EXPECT_EQ(frames[3].parameterSets, frames[0].parameterSets);
    // A viewer that starts at the second keyframe decodes from there.
    Decoded decoded =
        decode(VideoCodec::h264, std::vector<EncodedVideoFrame>(frames.begin() + 3, frames.end()));
    EXPECT_EQ(decoded.pictures, 3);
    EXPECT_EQ(decoded.errors, 0);
}

TEST(VideoEncoder, Libx265FollowsALoweredBitrate) {
    EncoderConfiguration c = configuration720();
    c.codec = VideoCodec::hevc;
    c.dimensions = {640, 360};
    c.bitrateKbps = 2000;
    Collector collector;
    VideoEncoder encoder(0, c, collector.handler(), {EncoderBackend::x265, nullptr});
    uint32_t seed = 3;
    // Per second of pictures, the bytes that came out.
    std::vector<size_t> seconds;
    for (int second = 0; second < 4; ++second) {
        if (second == 2)
            encoder.setBitrate(500);
        size_t before = collector.count();
        for (int i = 0; i < 30; ++i)
            encodeAndWait(encoder, collector, noise(640, 360, seed), uint64_t(second * 30 + i) * kFrameNs);
        auto frames = collector.frames();
        size_t bytes = 0;
        for (size_t f = before; f < frames.size(); ++f)
            bytes += frames[f].dataByteCount();
        seconds.push_back(bytes);
    }
    const double at2000 = 2000.0 * 1000 / 8;
    const double at500 = 500.0 * 1000 / 8;
    EXPECT_GT(double(seconds[1]), 0.6 * at2000);
    EXPECT_LT(double(seconds[1]), 1.5 * at2000);
    EXPECT_LT(double(seconds[3]), 1.5 * at500);
    EXPECT_GT(double(seconds[3]), 0.5 * at500);
    EXPECT_EQ(collector.frames().back().targetBitrateKbps, 500u);
}

}  // namespace
}  // namespace kelvora

namespace kelvora {
namespace {

EncoderConfiguration withLongTermReferences() {
    EncoderConfiguration c = configuration720();
    c.dimensions = {640, 360};
    c.bitrateKbps = 1500;
    c.longTermReferences = true;
    c.keyframeInterval = 10;
    return c;
}

// Drives one encoder a picture at a time.
struct Stream {
    Collector collector;
    VideoEncoder encoder;
    explicit Stream(EncoderConfiguration c = withLongTermReferences()) : encoder(0, c, collector.handler()) {}
    EncodedVideoFrame next() {
        const int i = int(collector.count());
        encodeAndWait(encoder, collector, picture(640, 360, i), uint64_t(i + 1) * kFrameNs);
        return collector.frames().back();
    }
    void run(int count) {
        for (int i = 0; i < count; ++i)
            next();
    }
};

// The acknowledged frame is the oldest the session still holds, and the frames the viewer lost span the wrap
// of frame_num as libx264 counts it for so small a buffer (frame 17 would carry 0 again).
TEST(VideoEncoder, ARefreshPredictsOnlyFromTheAcknowledgedFrame) {
    Stream stream;
    stream.run(17);
    const uint64_t acknowledged = 18 - uint64_t(X264Session::referencePictures(30, {640, 360}));
    stream.encoder.acknowledgeReference(acknowledged);
    EXPECT_EQ(stream.encoder.acknowledgedFrame(), acknowledged);
    EXPECT_TRUE(stream.encoder.requestKeyframe(50));
    EXPECT_TRUE(stream.encoder.requestKeyframe(50));  // within the interval: still the one refresh

    auto refresh = stream.next();
    EXPECT_EQ(refresh.flags, Flags::refresh);
    EXPECT_EQ(refresh.frameNumber, 18u);
    EXPECT_EQ(refresh.referenceFrameNumber, acknowledged);
    EXPECT_TRUE(refresh.parameterSets.empty());
    for (ByteView unit : nal::splitLengthPrefixed(refresh.payload))
        EXPECT_NE(nal::type(VideoCodec::h264, unit), nal::h264::idr);
    stream.run(3);
    auto frames = stream.collector.frames();
    EXPECT_EQ(frames[18].referenceFrameNumber, 18u);
    EXPECT_EQ(frames[19].flags, Flags{});

    // A viewer that lost the frames after the acknowledged one decodes the refresh and what follows exactly
    // as one that lost none.
    Decoded whole = decode(VideoCodec::h264, frames, true);
    std::vector<EncodedVideoFrame> lossy(frames.begin(), frames.begin() + std::ptrdiff_t(acknowledged));
    lossy.insert(lossy.end(), frames.begin() + 17, frames.end());
    Decoded repaired = decode(VideoCodec::h264, lossy, true);
    EXPECT_EQ(whole.errors, 0);
    EXPECT_EQ(repaired.errors, 0);
    ASSERT_EQ(whole.lumas.size(), 21u);
    ASSERT_EQ(repaired.lumas.size(), acknowledged + 4);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(repaired.lumas[acknowledged + i], whole.lumas[17 + i]) << "frame " << 18 + i;
}

// Requests that cannot take the refresh way, or whose refresh the session answers with a keyframe.
TEST(VideoEncoder, WhereNoRefreshCanRepairTheLossAKeyframeDoes) {
    struct Case {
        const char* name;
        bool longTermReferences;
        int framesBefore;  // encoded before the acknowledgement
        uint64_t acknowledge;
        int framesBetween;  // encoded between acknowledgement and request
        uint64_t acknowledged;
        bool refreshWay;
    };
    const Case cases[] = {
        {"long-term references off", false, 5, 3, 0, 0, false},
        {"nothing acknowledged", true, 5, 0, 0, 0, false},
        {"frame never encoded", true, 5, 9, 0, 0, false},
        // Older than the pictures the session keeps: the session itself falls back.
        {"acknowledged frame left the references", true, 5, 3, 20, 3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EncoderConfiguration configuration = withLongTermReferences();
        configuration.longTermReferences = c.longTermReferences;
        Stream stream(configuration);
        stream.run(c.framesBefore);
        if (c.acknowledge)
            stream.encoder.acknowledgeReference(c.acknowledge);
        stream.run(c.framesBetween);
        EXPECT_EQ(stream.encoder.acknowledgedFrame(), c.acknowledged);
        EXPECT_EQ(stream.encoder.requestKeyframe(0), c.refreshWay);
        auto answer = stream.next();
        EXPECT_EQ(answer.flags, Flags::keyframe);
        EXPECT_EQ(answer.referenceFrameNumber, answer.frameNumber);
        EXPECT_EQ(answer.parameterSets.size(), 2u);
        // The keyframe starts a new chain: older frames are no longer acknowledged or acknowledgeable.
        stream.encoder.acknowledgeReference(answer.frameNumber - 1);
        EXPECT_EQ(stream.encoder.acknowledgedFrame(), 0u);
        EXPECT_FALSE(stream.encoder.requestKeyframe(0));
        EXPECT_EQ(decode(VideoCodec::h264, stream.collector.frames()).errors, 0);
    }
}

TEST(VideoEncoder, FramesSkippedByARefreshCannotBeAcknowledgedAfterIt) {
    Stream stream;
    stream.run(8);
    // The oldest frame the session still holds.
    const uint64_t acknowledged = 9 - uint64_t(X264Session::referencePictures(30, {640, 360}));
    stream.encoder.acknowledgeReference(acknowledged);
    stream.encoder.requestKeyframe(0);
    EXPECT_EQ(stream.next().referenceFrameNumber, acknowledged);
    // Frame 8 is no reference of the session any more; frame 9, the refresh, is.
    stream.encoder.acknowledgeReference(8);
    EXPECT_EQ(stream.encoder.acknowledgedFrame(), acknowledged);
    stream.run(2);
    stream.encoder.acknowledgeReference(10);
    stream.encoder.requestKeyframe(0);
    auto second = stream.next();
    EXPECT_EQ(second.flags, Flags::refresh);
    EXPECT_EQ(second.referenceFrameNumber, 10u);
}

}  // namespace
}  // namespace kelvora

namespace kelvora {
namespace {

// A real libx264 session that says it ended at a given speed level and notes the level it is resumed at.
class SpeedReporting final : public CompressionSession {
  public:
    SpeedReporting(std::unique_ptr<CompressionSession> inner, int level, std::vector<int>& resumed)
        : inner_(std::move(inner)), level_(level), resumed_(resumed) {}
    int encode(const Picture& picture, int64_t micros, bool forceKeyframe,
               std::vector<Sample>& out) override {
        return inner_->encode(picture, micros, forceKeyframe, out);
    }
    void requestBitrate(int kbps) override { inner_->requestBitrate(kbps); }
    bool isLowLatencyActive() const override { return inner_->isLowLatencyActive(); }
    int speedLevel() const override { return level_; }
    void resumeSpeedLevel(int level) override { resumed_.push_back(level); }
    VideoCodec codec() const override { return inner_->codec(); }
    std::string name() const override { return inner_->name(); }

  private:
    std::unique_ptr<CompressionSession> inner_;
    int level_;
    std::vector<int>& resumed_;
};

TEST(VideoEncoder, Libx264ResumesALevelItHasAndEncodesOnAtIt) {
    for (const auto& [asked, taken] : std::vector<std::pair<int, int>>{{2, 2}, {9, 2}, {0, 0}}) {
        EncoderConfiguration c = configuration720();
        c.dimensions = {320, 180};
        auto session = CompressionSession::make(c.sanitized(), true, EncoderBackend::x264);
        session->resumeSpeedLevel(asked);
        EXPECT_EQ(session->speedLevel(), taken) << "asked " << asked;
        const PixelBuffer input = picture(320, 180, 0);
        std::vector<CompressionSession::Sample> out;
        ASSERT_EQ(
            session->encode({input.data(0), input.stride(0), input.data(1), input.stride(1)}, 0, true, out),
            0);
        EXPECT_EQ(out.size(), 1u) << "asked " << asked;
    }
}

TEST(VideoEncoder, AReopenedSessionOfTheSameSizeResumesTheSpeedLevel) {
    struct Case {
        const char* name;
        std::function<void(VideoEncoder&)> reopen;
        VideoDimensions next;  // the picture size after the change
        std::vector<int> resumed;
    };
    const EncoderConfiguration base = configuration720();
    EncoderConfiguration shorterKeyframes = base;
    shorterKeyframes.keyframeInterval = 1.0;
    EncoderConfiguration smaller = base;
    smaller.dimensions = {640, 360};
    const std::vector<Case> cases{
        {"keyframe interval",
         [&](VideoEncoder& e) { e.applyPendingSessionChange(shorterKeyframes); },
         base.dimensions,
         {2}},
        {"new session asked for", [](VideoEncoder& e) { e.resetSession(); }, base.dimensions, {2}},
        {"another size starts afresh",
         [&](VideoEncoder& e) { e.applyPendingSessionChange(smaller); },
         smaller.dimensions,
         {}},
    };
    for (const Case& c : cases) {
        std::vector<int> resumed;  // written on the encoding thread, read after it has delivered
        VideoEncoder::Options options;
        options.makeSession = [&](const EncoderConfiguration& configuration, bool lowLatency) {
            return std::make_unique<SpeedReporting>(
                CompressionSession::make(configuration, lowLatency, EncoderBackend::x264), 2, resumed);
        };
        Collector collector;
        VideoEncoder encoder(0, base, collector.handler(), options);
        encodeAndWait(encoder, collector, picture(1280, 720, 0), 0);
        c.reopen(encoder);
        encodeAndWait(encoder, collector, picture(c.next.width, c.next.height, 1), kFrameNs);
        EXPECT_EQ(resumed, c.resumed) << c.name;
    }
}

}  // namespace
}  // namespace kelvora
