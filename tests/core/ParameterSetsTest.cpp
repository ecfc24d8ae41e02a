#include "core/Log.h"
#include "core/ParameterSets.h"
#include "core/WireError.h"
#include "support/CodecHarness.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ringbuffer_sink.h>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

#include <cstring>
#include <random>

using namespace kelvora;
using testsupport::AvTestDecoder;
using testsupport::X264TestEncoder;

namespace {

PixelBuffer grayPicture(int width, int height, uint8_t luma) {
    auto picture = PixelBuffer::make(PixelFormat::nv12, width, height);
    std::memset(picture.data(0), luma, static_cast<size_t>(picture.stride(0)) * picture.planeHeight(0));
    std::memset(picture.data(1), 128, static_cast<size_t>(picture.stride(1)) * picture.planeHeight(1));
    // A bright square so that frames are not trivially flat.
    for (int y = 8; y < 24; ++y) {
        std::memset(picture.data(0) + y * picture.stride(0) + 8, 220, 16);
    }
    return picture;
}

std::vector<uint8_t> typesOf(VideoCodec codec, const std::vector<Bytes>& units) {
    std::vector<uint8_t> types;
    for (const auto& unit : units) {
        types.push_back(nal::type(codec, unit).value_or(255));
    }
    return types;
}

// HEVC through libavcodec's libx265 wrapper: extradata (VPS, SPS, PPS) and the first access unit.
struct HevcSample {
    Bytes extradata;
    Bytes keyframe;
};

HevcSample encodeHevc(int width, int height) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx265");
    if (codec == nullptr) {
        return {};
    }
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> context(
        avcodec_alloc_context3(codec), [](AVCodecContext* c) { avcodec_free_context(&c); });
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = {1, 30};
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(context->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    av_opt_set(context->priv_data, "x265-params", "log-level=error:repeat-headers=1", 0);
    if (avcodec_open2(context.get(), codec, nullptr) < 0) {
        return {};
    }
    HevcSample sample;
    sample.extradata.assign(context->extradata, context->extradata + context->extradata_size);
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = width;
    frame->height = height;
    av_frame_get_buffer(frame.get(), 0);
    for (int plane = 0; plane < 3; ++plane) {
        std::memset(frame->data[plane], plane == 0 ? 90 : 128,
                    static_cast<size_t>(frame->linesize[plane]) * (plane == 0 ? height : height / 2));
    }
    frame->pts = 0;
    avcodec_send_frame(context.get(), frame.get());
    avcodec_send_frame(context.get(), nullptr);
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                          [](AVPacket* p) { av_packet_free(&p); });
    // Drain to the end so that the encoder closes cleanly.
    while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
        if (sample.keyframe.empty()) {
            sample.keyframe.assign(packet->data, packet->data + packet->size);
        }
        av_packet_unref(packet.get());
    }
    return sample;
}

}  // namespace

TEST(Nal, SplitsAnnexBWithBothStartCodesAndStripsPadding) {
    Bytes stream = {0xAA, 0xBB,                             // bytes before the first start code are no unit
                    0,    0,    0, 1,    0x67, 1, 2,        // 4-byte start code
                    0,    0,    1, 0x68, 3,                 // 3-byte start code
                    0,    0,    0, 0,    1,                 // an empty unit padded with zeros
                    0,    0,    1, 0x65, 0,    0, 3, 0, 9,  // emulation prevention inside a unit
                    0,    0};                               // trailing padding
    auto units = nal::splitAnnexB(stream);
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(Bytes(units[0].begin(), units[0].end()), (Bytes{0x67, 1, 2}));
    EXPECT_EQ(Bytes(units[1].begin(), units[1].end()), (Bytes{0x68, 3}));
    EXPECT_EQ(Bytes(units[2].begin(), units[2].end()), (Bytes{0x65, 0, 0, 3, 0, 9}));
    EXPECT_TRUE(nal::splitAnnexB(Bytes{1, 2, 3, 0, 0}).empty());
    EXPECT_TRUE(nal::splitAnnexB(Bytes{}).empty());
}

TEST(Nal, TellsTypesOfBothCodecs) {
    EXPECT_EQ(nal::type(VideoCodec::h264, Bytes{0x67}), 7);
    EXPECT_TRUE(nal::isParameterSet(VideoCodec::h264, Bytes{0x68, 0}));
    EXPECT_TRUE(nal::isAccessUnitDelimiter(VideoCodec::h264, Bytes{0x09, 0xF0}));
    EXPECT_FALSE(nal::isParameterSet(VideoCodec::h264, Bytes{0x65}));
    EXPECT_EQ(nal::type(VideoCodec::hevc, Bytes{0x40, 0x01}), 32);
    EXPECT_EQ(nal::type(VideoCodec::hevc, Bytes{0x42, 0x01}), 33);
    EXPECT_EQ(nal::type(VideoCodec::hevc, Bytes{0x44, 0x01}), 34);
    EXPECT_TRUE(nal::isAccessUnitDelimiter(VideoCodec::hevc, Bytes{0x46, 0x01}));
    EXPECT_FALSE(nal::type(VideoCodec::hevc, Bytes{0x40}));
    // An H.264 SPS header read as HEVC is type 51, not a parameter set.
    EXPECT_FALSE(nal::isParameterSet(VideoCodec::hevc, Bytes{0x67, 0x64}));
}

TEST(Nal, LengthPrefixedFormRoundTripsAndRejectsBrokenLengths) {
    Bytes annexB = {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 1, 0, 0, 1, 0x68, 2, 0, 0, 1, 0x65, 7, 7, 7};
    Bytes wire = nal::toLengthPrefixed(annexB, VideoCodec::h264);
    EXPECT_EQ(wire, (Bytes{0, 0, 0, 4, 0x65, 7, 7, 7}));
    EXPECT_EQ(nal::toAnnexB(wire), (Bytes{0, 0, 0, 1, 0x65, 7, 7, 7}));

    EXPECT_THROW(nal::toAnnexB(Bytes{0, 0, 0, 5, 1, 2, 3, 4}), WireError);
    EXPECT_THROW(nal::toAnnexB(Bytes{0, 0, 1}), WireError);
    EXPECT_THROW(nal::splitLengthPrefixed(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 1}), WireError);
    EXPECT_TRUE(nal::toAnnexB(Bytes{}).empty());
    EXPECT_EQ(nal::splitLengthPrefixed(Bytes{0, 0, 0, 0, 0, 0, 0, 1, 9}).size(), 1u);
}

TEST(Nal, RandomBytesNeverCrashTheSplitters) {
    std::mt19937 random(42);
    for (int round = 0; round < 2000; ++round) {
        Bytes data(random() % 64);
        for (auto& byte : data) {
            // Mostly zeros and ones, so that start codes and small lengths are common.
            byte = static_cast<uint8_t>(random() % 4 == 0 ? random() : random() % 2);
        }
        for (ByteView unit : nal::splitAnnexB(data)) {
            ASSERT_FALSE(unit.empty());
            ASSERT_NE(unit.back(), 0);
        }
        try {
            nal::toAnnexB(data);
        } catch (const WireError& error) {
            EXPECT_EQ(error.kind(), WireError::Kind::truncated);
        }
        ParameterSets::extract(data, VideoCodec::h264);
        ParameterSets::extract(data, VideoCodec::hevc);
        Bytes record = data;
        if (!record.empty()) {
            record[0] = 1;  // reads as a configuration record
            ParameterSets::extract(record, VideoCodec::h264);
            ParameterSets::extract(record, VideoCodec::hevc);
        }
    }
}

TEST(ParameterSets, X264KeyframeSetsGiveAConfigurationThatLibavcodecDecodes) {
    X264TestEncoder encoder(320, 240);
    std::vector<testsupport::EncodedAccessUnit> units;
    for (int i = 0; i < 4; ++i) {
        units.push_back(encoder.encode(grayPicture(320, 240, static_cast<uint8_t>(60 + i * 20))));
    }
    ASSERT_TRUE(units[0].keyframe);
    ASSERT_FALSE(units[1].keyframe);

    auto sets = ParameterSets::extract(units[0].annexB, VideoCodec::h264);
    EXPECT_EQ(typesOf(VideoCodec::h264, sets), (std::vector<uint8_t>{7, 8}));
    EXPECT_EQ(sets, ParameterSets::extract(encoder.headers(), VideoCodec::h264));
    EXPECT_TRUE(ParameterSets::extract(units[1].annexB, VideoCodec::h264).empty());

    auto configuration = ParameterSets::makeDecoderConfiguration(VideoCodec::h264, sets);
    EXPECT_EQ(configuration.parameterSets, sets);
    EXPECT_EQ(configuration.nalUnitLengthSize, 4);

    // What travels: payloads without sets or delimiters; what the viewer feeds its decoder: sets first.
    AvTestDecoder decoder;
    for (size_t i = 0; i < units.size(); ++i) {
        Bytes payload = nal::toLengthPrefixed(units[i].annexB, VideoCodec::h264);
        for (ByteView unit : nal::splitLengthPrefixed(payload)) {
            EXPECT_FALSE(nal::isParameterSet(VideoCodec::h264, unit));
            EXPECT_FALSE(nal::isAccessUnitDelimiter(VideoCodec::h264, unit));
        }
        Bytes input = i == 0 ? configuration.annexB() : Bytes{};
        Bytes picture = nal::toAnnexB(payload);
        input.insert(input.end(), picture.begin(), picture.end());
        auto frames = decoder.decode(input);
        ASSERT_EQ(frames.size(), 1u) << "access unit " << i;
        EXPECT_EQ(frames[0]->width, 320);
        EXPECT_EQ(frames[0]->height, 240);
        EXPECT_NEAR(frames[0]->data[0][100 * frames[0]->linesize[0] + 200], 60 + 20 * static_cast<int>(i), 3);
    }
}

TEST(ParameterSets, WrongCodecEmptyAndBrokenSetsAreRefused) {
    X264TestEncoder encoder(160, 96);
    auto sets = ParameterSets::extract(encoder.headers(), VideoCodec::h264);
    ASSERT_EQ(sets.size(), 2u);

    try {
        ParameterSets::makeDecoderConfiguration(VideoCodec::hevc, sets);
        FAIL() << "H.264 sets accepted as HEVC";
    } catch (const ParameterSetError& error) {
        EXPECT_EQ(error.kind(), ParameterSetError::Kind::invalid);
        EXPECT_LT(error.status(), 0);
    }
    EXPECT_EQ(
        [] {
            try {
                ParameterSets::makeDecoderConfiguration(VideoCodec::h264, {});
            } catch (const ParameterSetError& error) {
                return error;
            }
            return ParameterSetError::invalid(0);
        }(),
        ParameterSetError::missing());
    EXPECT_THROW(ParameterSets::makeDecoderConfiguration(VideoCodec::h264, std::vector<Bytes>{sets[0]}),
                 ParameterSetError);
    EXPECT_THROW(ParameterSets::makeDecoderConfiguration(VideoCodec::h264,
                                                         std::vector<Bytes>{sets[0], sets[1], Bytes{}}),
                 ParameterSetError);
    // Right NAL types, impossible content (sequence parameter set id 63): libavcodec's verdict decides.
    Bytes brokenSps = {0x67, 0x42, 0x00, 0x1E, 0x02, 0x00, 0x80};
    try {
        ParameterSets::makeDecoderConfiguration(VideoCodec::h264, std::vector<Bytes>{brokenSps, sets[1]});
        FAIL() << "a nonsense SPS was accepted";
    } catch (const ParameterSetError& error) {
        EXPECT_EQ(error.kind(), ParameterSetError::Kind::invalid);
        EXPECT_LT(error.status(), 0);
    }
}

TEST(ParameterSets, ReadsMp4ConfigurationRecords) {
    X264TestEncoder encoder(160, 96);
    auto sets = ParameterSets::extract(encoder.headers(), VideoCodec::h264);
    ASSERT_EQ(sets.size(), 2u);
    Bytes avcC = {1, sets[0][1], sets[0][2], sets[0][3], 0xFF, 0xE1};
    avcC.push_back(static_cast<uint8_t>(sets[0].size() >> 8));
    avcC.push_back(static_cast<uint8_t>(sets[0].size()));
    avcC.insert(avcC.end(), sets[0].begin(), sets[0].end());
    avcC.push_back(1);
    avcC.push_back(static_cast<uint8_t>(sets[1].size() >> 8));
    avcC.push_back(static_cast<uint8_t>(sets[1].size()));
    avcC.insert(avcC.end(), sets[1].begin(), sets[1].end());
    EXPECT_EQ(ParameterSets::extract(avcC, VideoCodec::h264), sets);
    avcC.pop_back();  // cut inside the PPS: unreadable, so nothing
    EXPECT_TRUE(ParameterSets::extract(avcC, VideoCodec::h264).empty());
}

TEST(ParameterSets, HevcSetsComeOutInStreamOrderAndConfigureTheDecoder) {
    HevcSample sample = encodeHevc(128, 128);
    if (sample.extradata.empty()) {
        GTEST_SKIP() << "libavcodec has no libx265 encoder here";
    }
    auto sets = ParameterSets::extract(sample.extradata, VideoCodec::hevc);
    EXPECT_EQ(typesOf(VideoCodec::hevc, sets), (std::vector<uint8_t>{32, 33, 34}));
    ASSERT_FALSE(sample.keyframe.empty());
    EXPECT_EQ(ParameterSets::extract(sample.keyframe, VideoCodec::hevc), sets);

    auto configuration = ParameterSets::makeDecoderConfiguration(VideoCodec::hevc, sets);
    AvTestDecoder decoder(AV_CODEC_ID_HEVC);
    Bytes input = configuration.annexB();
    Bytes picture = nal::toAnnexB(nal::toLengthPrefixed(sample.keyframe, VideoCodec::hevc));
    input.insert(input.end(), picture.begin(), picture.end());
    auto frames = decoder.decode(input);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]->width, 128);
    EXPECT_NEAR(frames[0]->data[0][64 * frames[0]->linesize[0] + 64], 90, 3);

    // HEVC sets offered as H.264 are refused too.
    EXPECT_THROW(ParameterSets::makeDecoderConfiguration(VideoCodec::h264, sets), ParameterSetError);
}

TEST(ParameterSetCache, KeyframeWithoutSetsCarriesTheLastGoodOnesAndSaysSo) {
    X264TestEncoder withHeaders(160, 96, true);
    X264TestEncoder withoutHeaders(160, 96, false);
    auto picture = grayPicture(160, 96, 100);
    Bytes keyframeWithSets = withHeaders.encode(picture).annexB;
    Bytes keyframeWithoutSets = withoutHeaders.encode(picture).annexB;
    ASSERT_TRUE(ParameterSets::extract(keyframeWithoutSets, VideoCodec::h264).empty());

    auto ring = std::make_shared<spdlog::sinks::ringbuffer_sink_mt>(8);
    ring->set_pattern("%v");
    Log::encoder().sinks().push_back(ring);

    ParameterSetCache cache(VideoCodec::h264);
    EXPECT_TRUE(cache.forKeyframe(keyframeWithoutSets).empty());
    auto good = cache.forKeyframe(keyframeWithSets);
    EXPECT_EQ(good.size(), 2u);
    EXPECT_EQ(cache.forKeyframe(keyframeWithoutSets), good);

    ParameterSetCache fromExtradata(VideoCodec::h264);
    fromExtradata.remember(withoutHeaders.headers());
    EXPECT_EQ(fromExtradata.forKeyframe(keyframeWithoutSets).size(), 2u);

    Log::encoder().sinks().pop_back();
    auto lines = ring->last_formatted();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("noch keine bekannt"), std::string::npos);
    EXPECT_NE(lines[1].find("die letzten gültigen"), std::string::npos);
}

TEST(PictureSizeLimit, ALargerPictureIsSentAtTheLargestSizeOfItsAspectThatViewersTake) {
    const std::pair<VideoDimensions, VideoDimensions> cases[] = {
        {{3840, 2160}, {3840, 2160}},   {{5120, 2880}, {4096, 2304}},
        {{16384, 16384}, {3072, 3072}}, {{8640, 1080}, {8192, 1024}},  // the side bound
        {{4090, 2306}, {4086, 2304}},  // within the pixel bound, but not its macroblocks (4096 × 2320)
    };
    for (const auto& [source, sent] : cases) {
        EXPECT_EQ(PictureSizeLimit::fitting(source), sent) << source.description();
    }
}
