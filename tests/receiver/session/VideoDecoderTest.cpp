#include "receiver/session/VideoDecoder.h"

#include "core/Log.h"
#include "receiver/session/HeldQueue.h"
#include "receiver/session/TestStreams.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <random>

using namespace kelvora;
using test::TestEncoder;

namespace {

// The decoder under test with the results it gave on its worker thread.
struct Decoding {
    explicit Decoding(std::shared_ptr<SerialQueue> worker = nullptr)
        : decoder(
              [this](VideoDecoder::Result result) {
                  std::lock_guard lock(mutex);
                  results.push_back(std::move(result));
                  arrived.notify_all();
              },
              std::move(worker)) {}

    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<VideoDecoder::Result> results;
    VideoDecoder decoder;

    // The results once `done` holds for them (fails the test after a generous time).
    std::vector<VideoDecoder::Result> waitUntil(
        const std::function<bool(const std::vector<VideoDecoder::Result>&)>& done) {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(arrived.wait_for(lock, std::chrono::seconds(30), [&] { return done(results); }));
        return results;
    }
    std::vector<VideoDecoder::Result> waitFor(size_t count) {
        return waitUntil([count](const auto& all) { return all.size() >= count; });
    }
};

const DecodedFrame& picture(const VideoDecoder::Result& result) {
    static const DecodedFrame none;
    const auto* frame = std::get_if<DecodedFrame>(&result);
    EXPECT_NE(frame, nullptr) << std::get<DecoderError>(result).text();
    return frame ? *frame : none;
}

DecoderError error(const VideoDecoder::Result& result) {
    const auto* failure = std::get_if<DecoderError>(&result);
    EXPECT_NE(failure, nullptr) << "a picture instead of an error";
    return failure ? *failure : DecoderError::decode(0);
}

double average(const PixelBuffer& buffer, int plane, int first, int step) {
    double sum = 0;
    int count = 0;
    for (int y = 0; y < buffer.planeHeight(plane); ++y) {
        for (int x = first; x < buffer.planeWidth(plane) * step; x += step, ++count) {
            sum += buffer.data(plane)[static_cast<ptrdiff_t>(y) * buffer.stride(plane) + x];
        }
    }
    return sum / count;
}

void setLength(Bytes& payload, uint32_t length) {
    payload[0] = length >> 24, payload[1] = length >> 16, payload[2] = length >> 8, payload[3] = length;
}

// A baseline H.264 sequence parameter set for a picture of `width` × `height` whole macroblocks, with its
// emulation prevention, as an encoder would write it.
Bytes baselineSps(int width, int height, uint64_t id = 0) {
    std::vector<bool> bits;
    const auto put = [&](uint64_t value, int count) {
        for (int i = count - 1; i >= 0; --i) {
            bits.push_back(((value >> i) & 1) != 0);
        }
    };
    const auto golomb = [&](uint64_t value) {
        int length = 0;
        while ((value + 1) >> (length + 1)) {
            ++length;
        }
        put(0, length);
        put(value + 1, length + 1);
    };
    put(0x67, 8), put(66, 8), put(0, 8), put(40, 8);  // header, profile, constraints, level
    golomb(id), golomb(0), golomb(2), golomb(1);      // id, frame number bits, order type, references
    put(0, 1);
    golomb(static_cast<uint64_t>(width / 16 - 1)), golomb(static_cast<uint64_t>(height / 16 - 1));
    put(0b11, 2), put(0, 2), put(1, 1);  // frames only, direct 8x8; no cropping, no VUI; stop bit
    while (bits.size() % 8 != 0) {
        bits.push_back(false);
    }
    Bytes sps;
    int zeros = 0;
    for (size_t i = 0; i < bits.size(); i += 8) {
        uint8_t byte = 0;
        for (size_t b = 0; b < 8; ++b) {
            byte = static_cast<uint8_t>(byte << 1 | bits[i + b]);
        }
        if (zeros >= 2 && byte <= 3) {
            sps.push_back(3);
            zeros = 0;
        }
        zeros = byte == 0 ? zeros + 1 : 0;
        sps.push_back(byte);
    }
    return sps;
}

Bytes lengthPrefixed(const std::vector<Bytes>& units) {
    Bytes payload;
    for (const Bytes& unit : units) {
        payload.resize(payload.size() + 4);
        const size_t at = payload.size() - 4;
        const auto length = static_cast<uint32_t>(unit.size());
        payload[at] = length >> 24, payload[at + 1] = length >> 16, payload[at + 2] = length >> 8,
        payload[at + 3] = length;
        payload.insert(payload.end(), unit.begin(), unit.end());
    }
    return payload;
}

}  // namespace

TEST(VideoDecoder, ReadsThePictureSizeOfTheSequenceParameterSet) {
    struct Case {
        VideoCodec codec;
        VideoDimensions size;
        VideoDimensions coded;
    };
    const Case cases[] = {
        {VideoCodec::h264, {640, 360}, {640, 368}},
        {VideoCodec::h264, {320, 176}, {320, 176}},
        {VideoCodec::hevc, {320, 180}, {320, 192}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size.description());
        TestEncoder encoder(c.size, 0, c.codec);
        EXPECT_EQ(ParameterSets::pictureSizes(c.codec, encoder.encode(1, true).parameterSets),
                  (std::vector<std::optional<PictureSize>>{PictureSize{c.coded, c.size}}));
    }
    EXPECT_EQ(ParameterSets::pictureSizes(VideoCodec::h264, {baselineSps(16000, 16000)}),
              (std::vector<std::optional<PictureSize>>{PictureSize{{16000, 16000}, {16000, 16000}}}));
}

TEST(VideoDecoder, RefusesAPictureBeyondTheSizeBoundBeforeOpeningAContext) {
    struct Case {
        VideoDimensions size;
        bool refused;
    };
    const Case cases[] = {
        {{4096, 2304}, false},  // the pixel bound itself
        {{4112, 2304}, true},   // one macroblock column more
        {{8192, 1152}, false},  // the side bound, within the pixel bound
        {{8208, 16}, true},     // one macroblock past the side bound
        {{16, 8208}, true},     // the same, standing
        {{16000, 16000}, true},
    };
    TestEncoder encoder({320, 180});
    const EncodedVideoFrame real = encoder.encode(1, true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size.description());
        Decoding d;
        EncodedVideoFrame frame = real;
        // Beside the stream's own set, as a second one that a picture may name.
        frame.parameterSets.insert(frame.parameterSets.begin() + 1,
                                   baselineSps(c.size.width, c.size.height, 1));
        d.decoder.decode(frame, 0);
        const auto result = d.waitFor(1).front();
        const auto* failure = std::get_if<DecoderError>(&result);
        EXPECT_EQ(failure && *failure == DecoderError::pictureTooLarge(c.size), c.refused);
        if (c.refused) {
            EXPECT_EQ(d.decoder.sessionsCreated(), 0u);
        }
    }
}

TEST(VideoDecoder, IgnoresParameterSetsInsideAPayloadAndLogsAnUnannouncedSizeOnce) {
    test::LogCapture log(ViewerLog::decoder());
    Decoding d;
    TestEncoder small({320, 180}), large({640, 360});
    const EncodedVideoFrame other = large.encode(1, true);
    EncodedVideoFrame first = small.encode(2, true);
    // Another stream's sets in front of the slices: libavcodec would take them for the stream's own.
    Bytes payload = lengthPrefixed(other.parameterSets);
    payload.insert(payload.end(), first.payload.begin(), first.payload.end());
    first.payload = payload;
    first.dimensions = {1280, 720};
    d.decoder.decode(first, 0);
    EncodedVideoFrame second = large.encode(3, true);
    second.dimensions = {1280, 720};
    d.decoder.decode(second, 0);
    auto all = d.waitFor(2);
    EXPECT_EQ(picture(all[0]).pixelBuffer.width(), 320);
    EXPECT_EQ(picture(all[1]).pixelBuffer.width(), 640);
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.starts_with("Bildgröße laut"); }),
              1);
    EXPECT_EQ(log.count("Bildgröße laut Parametersätzen 320×180, angekündigt 1280×720"), 1u);
}

TEST(VideoDecoder, DecodesFramesToNv12PicturesOfTheirSizeWithTheirTiming) {
    Decoding d;
    TestEncoder encoder({640, 360});
    std::vector<EncodedVideoFrame> frames;
    for (uint64_t i = 0; i < 6; ++i) {
        frames.push_back(encoder.encode(1'000'000'000 + i * 33'333'333, i == 0));
        if (i == 3) {
            frames.back().flags.insert(EncodedVideoFrame::Flags::testPattern);
        }
        d.decoder.decode(frames.back(), 5'000 + i);
    }
    auto all = d.waitFor(frames.size());
    for (size_t i = 0; i < frames.size(); ++i) {
        const DecodedFrame& decoded = picture(all[i]);
        EXPECT_EQ(decoded.pixelBuffer.format(), PixelFormat::nv12);
        EXPECT_EQ(decoded.pixelBuffer.width(), 640);
        EXPECT_EQ(decoded.pixelBuffer.height(), 360);
        EXPECT_EQ(decoded.frame, (FrameTiming{frames[i].frameNumber,
                                              frames[i].captureTime,
                                              5'000 + i,
                                              {640, 360},
                                              VideoCodec::h264,
                                              2500,
                                              i == 3}));
    }
    // Chroma comes out interleaved Cb, Cr as it went in, and luma keeps its level.
    const PixelBuffer& last = picture(all.back()).pixelBuffer;
    EXPECT_NEAR(average(last, 1, 0, 2), 90, 3);
    EXPECT_NEAR(average(last, 1, 1, 2), 170, 3);
    EXPECT_NEAR(average(last, 0, 0, 1), 115, 12);
}

TEST(VideoDecoder, StartsAtAKeyframeWithSetsAndFollowsNewSetsInPlace) {
    Decoding d;
    TestEncoder large({640, 360}), small({320, 176});
    const EncodedVideoFrame first = large.encode(1, true);
    EncodedVideoFrame bare = first;  // a keyframe without its sets starts nothing
    bare.parameterSets.clear();
    d.decoder.decode(large.encode(2), 0);
    d.decoder.decode(bare, 0);
    d.decoder.decode(first, 0);
    d.decoder.decode(bare, 0);                   // now decodes with the running context
    d.decoder.decode(large.encode(3, true), 0);  // the same sets again
    const EncodedVideoFrame switched = small.encode(4, true);
    d.decoder.decode(switched, 0);
    d.decoder.decode(small.encode(5), 0);
    auto all = d.waitFor(7);
    EXPECT_EQ(error(all[0]), DecoderError::noFormat());
    EXPECT_EQ(error(all[1]), DecoderError::noFormat());
    EXPECT_EQ(picture(all[3]).pixelBuffer.width(), 640);
    EXPECT_EQ(picture(all[4]).pixelBuffer.width(), 640);
    EXPECT_EQ(picture(all[5]).pixelBuffer.width(), 320);
    EXPECT_EQ(picture(all[6]).pixelBuffer.height(), 176);
    EXPECT_EQ(d.decoder.sessionsCreated(), 1u);
    EXPECT_EQ(d.decoder.currentParameterSets(), switched.parameterSets);

    // Invalidation waits for the frames in flight and forgets the format until the next keyframe.
    d.decoder.invalidate();
    EXPECT_FALSE(d.decoder.hasSession() || d.decoder.currentCodec() ||
                 !d.decoder.currentParameterSets().empty());
    d.decoder.decode(small.encode(6), 0);
    d.decoder.decode(small.encode(7, true), 0);
    all = d.waitFor(9);
    EXPECT_EQ(error(all[7]), DecoderError::noFormat());
    EXPECT_EQ(picture(all[8]).pixelBuffer.width(), 320);
    EXPECT_EQ(d.decoder.sessionsCreated(), 2u);
}

TEST(VideoDecoder, UnusableSetsInEveryKeyframeMakeOneLogLineASecond) {
    test::LogCapture log(ViewerLog::decoder());
    Decoding d;
    TestEncoder avc({320, 180});
    EncodedVideoFrame damaged = avc.encode(1, true);
    damaged.parameterSets = {damaged.parameterSets[1]};  // no SPS
    for (int frame = 0; frame < 40; ++frame) {
        d.decoder.decode(damaged, 0);
    }
    d.waitFor(40);
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("Parametersätze unbrauchbar") != std::string::npos;
                            }),
              1);
}

TEST(VideoDecoder, RefusesDamagedSetsAndForeignFramesAndOpensANewSessionForANewCodec) {
    Decoding d;
    TestEncoder avc({320, 180});
    TestEncoder hevc({256, 144}, 0, VideoCodec::hevc);
    const EncodedVideoFrame first = avc.encode(1, true);
    d.decoder.decode(first, 0);
    EncodedVideoFrame damaged = avc.encode(2, true);
    damaged.parameterSets = {first.parameterSets[1]};  // no SPS
    d.decoder.decode(damaged, 0);
    EncodedVideoFrame foreign = avc.encode(3);
    foreign.codec = VideoCodec::hevc;  // a non-keyframe of another codec than the running one
    d.decoder.decode(foreign, 0);
    d.decoder.decode(hevc.encode(4, true), 0);
    d.decoder.decode(hevc.encode(5), 0);
    d.decoder.decode(avc.encode(6), 0);
    auto all = d.waitFor(6);
    EXPECT_EQ(error(all[1]), DecoderError::noFormat());
    EXPECT_EQ(error(all[2]), DecoderError::noFormat());
    EXPECT_EQ(picture(all[3]).pixelBuffer.width(), 256);
    EXPECT_EQ(picture(all[4]).frame.codec, VideoCodec::hevc);
    EXPECT_EQ(error(all[5]), DecoderError::noFormat());
    EXPECT_EQ(d.decoder.sessionsCreated(), 2u);
}

TEST(VideoDecoder, BadLengthsTruncatedAndRandomPayloadsGiveErrorsAndAKeyframeRecovers) {
    Decoding d;
    TestEncoder encoder({320, 180});
    d.decoder.decode(encoder.encode(1, true), 0);
    const EncodedVideoFrame good = encoder.encode(2);
    std::vector<Bytes> payloads(4, good.payload);
    payloads[0][0] = 0x7F;                                                       // far past the end
    setLength(payloads[1], static_cast<uint32_t>(good.payload.size() - 4 + 1));  // one byte past the end
    payloads[2].insert(payloads[2].end(), {0, 0});                               // half a length field left
    payloads[3] = Bytes{0, 0, 0, 0};                                             // no unit at all
    // Cut in half with a length that matches the cut: the framing holds, the picture does not.
    payloads.push_back(encoder.encode(3, true).payload);
    payloads.back().resize(4 + (payloads.back().size() - 4) / 2);
    setLength(payloads.back(), static_cast<uint32_t>(payloads.back().size() - 4));
    std::mt19937 random(20240607);
    for (int i = 0; i < 60; ++i) {
        payloads.emplace_back(4 + 1 + random() % 3000);
        setLength(payloads.back(), static_cast<uint32_t>(payloads.back().size() - 4));
        for (size_t b = 5; b < payloads.back().size(); ++b) {
            payloads.back()[b] = static_cast<uint8_t>(random());
        }
        payloads.back()[4] = i % 2 == 0 ? 0x65 : 0x41;  // slice headers, so that libavcodec reads the noise
    }
    for (const Bytes& payload : payloads) {
        EncodedVideoFrame bad = encoder.encode(0, payloads.size() % 3 == 0);
        bad.payload = payload;
        d.decoder.decode(bad, 0);
    }
    // Results come in frame order: once the recovery keyframe's picture is there, all frames are answered.
    const EncodedVideoFrame recovery = encoder.encode(0, true);
    d.decoder.decode(recovery, 0);
    auto all = d.waitUntil([&](const auto& results) {
        const auto* last = results.empty() ? nullptr : std::get_if<DecodedFrame>(&results.back());
        return last && last->frame.frameNumber == recovery.frameNumber;
    });
    ASSERT_LE(all.size(), payloads.size() + 2);  // at most one result per frame
    for (size_t i = 1; i <= 4; ++i) {
        EXPECT_EQ(error(all[i]), DecoderError::decode(-1)) << "payload " << i - 1;
    }
    EXPECT_EQ(error(all[5]).kind(), DecoderError::Kind::decode);
    size_t errors = 0;
    for (size_t i = 6; i + 1 < all.size(); ++i) {
        const auto* decoded = std::get_if<DecodedFrame>(&all[i]);
        errors += decoded == nullptr;
        EXPECT_TRUE(decoded == nullptr || decoded->pixelBuffer.width() == 320);
    }
    EXPECT_GT(errors, 30u);
}

TEST(VideoDecoder, AWorkerThatFallsBehindHoldsABoundedBacklogAndResumesOnlyAtAKeyframe) {
    constexpr size_t kMiB = 1024 * 1024;
    struct Case {
        const char* name;
        size_t payloadBytes;  // 0: the test encoder's own frames, a keyframe first
        size_t offered;
        size_t taken;
    };
    const Case cases[] = {
        {"small frames fill the count", 0, VideoDecoder::kMaximumBacklogFrames + 10,
         VideoDecoder::kMaximumBacklogFrames},
        {"large frames fill the bytes", 5 * kMiB, 10, VideoDecoder::kMaximumBacklogBytes / (5 * kMiB)},
        {"a frame above the byte bound goes in alone", 40 * kMiB, 3, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::HeldQueue worker;
        Decoding d(worker.queue);
        TestEncoder encoder({320, 180});
        std::vector<bool> taken;
        for (size_t i = 0; i < c.offered; ++i) {
            EncodedVideoFrame frame = encoder.encode(i + 1, i == 0 && c.payloadBytes == 0);
            if (c.payloadBytes != 0) {
                // Without a session each frame gives exactly one error, whatever it holds.
                frame.flags = EncodedVideoFrame::Flags();
                frame.parameterSets.clear();
                frame.payload.assign(c.payloadBytes, 0x41);
                setLength(frame.payload, static_cast<uint32_t>(c.payloadBytes - 4));
            }
            taken.push_back(d.decoder.decode(frame, i));
        }
        // A prefix is taken, the rest refused.
        std::vector<bool> expected(c.offered, false);
        std::fill_n(expected.begin(), c.taken, true);
        EXPECT_EQ(taken, expected);
        worker.release();
        EXPECT_EQ(d.waitFor(c.taken).size(), c.taken);

        // With the backlog gone, only a keyframe is taken, and it decodes.
        EXPECT_FALSE(d.decoder.decode(encoder.encode(1000), 0));
        const EncodedVideoFrame keyframe = encoder.encode(1001, true);
        EXPECT_TRUE(d.decoder.decode(keyframe, 0));
        EXPECT_TRUE(d.decoder.decode(encoder.encode(1002), 0));
        auto all = d.waitFor(c.taken + 2);
        ASSERT_EQ(all.size(), c.taken + 2);
        EXPECT_EQ(picture(all[c.taken]).frame.frameNumber, keyframe.frameNumber);
        EXPECT_EQ(picture(all[c.taken + 1]).frame.captureTime, 1002u);
    }
}
