#include "core/ParameterSets.h"

#include "core/BitReader.h"
#include "core/ByteReader.h"
#include "core/Log.h"
#include "core/WireError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

namespace kelvora {
namespace {

void appendUnique(std::vector<Bytes>& sets, ByteView unit) {
    Bytes set(unit.begin(), unit.end());
    if (std::find(sets.begin(), sets.end(), set) == sets.end()) {
        sets.push_back(std::move(set));
    }
}

// avcC: version 1, profile, compatibility, level, length size, then the SPS list and the PPS list, each
// set behind a 2-byte length.
std::vector<Bytes> fromAvcConfiguration(ByteView record) {
    std::vector<Bytes> sets;
    ByteReader reader(record);
    reader.readView(5);
    for (int list = 0; list < 2; ++list) {
        int count = reader.readUInt8();
        if (list == 0) {
            count &= 0x1F;
        }
        for (int i = 0; i < count; ++i) {
            ByteView unit = reader.readView(reader.readUInt16());
            if (!unit.empty()) {
                appendUnique(sets, unit);
            }
        }
    }
    return sets;
}

// hvcC: a 22-byte head, then arrays of NAL units of one type each, every unit behind a 2-byte length.
std::vector<Bytes> fromHevcConfiguration(ByteView record) {
    std::vector<Bytes> sets;
    ByteReader reader(record);
    reader.readView(22);
    int arrays = reader.readUInt8();
    for (int array = 0; array < arrays; ++array) {
        reader.readUInt8();
        int count = reader.readUInt16();
        for (int i = 0; i < count; ++i) {
            ByteView unit = reader.readView(reader.readUInt16());
            if (nal::isParameterSet(VideoCodec::hevc, unit)) {
                appendUnique(sets, unit);
            }
        }
    }
    return sets;
}

struct CodecContextFree {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};

// Lets libavcodec's own decoder judge the sets, failing on the first error instead of concealing it.
int32_t openDecoderWith(VideoCodec codec, const Bytes& annexB) {
    const AVCodec* decoder =
        avcodec_find_decoder(codec == VideoCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (decoder == nullptr) {
        return AVERROR_DECODER_NOT_FOUND;
    }
    std::unique_ptr<AVCodecContext, CodecContextFree> context(avcodec_alloc_context3(decoder));
    if (!context) {
        return AVERROR(ENOMEM);
    }
    auto* extradata = static_cast<uint8_t*>(av_mallocz(annexB.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (extradata == nullptr) {
        return AVERROR(ENOMEM);
    }
    std::memcpy(extradata, annexB.data(), annexB.size());
    context->extradata = extradata;  // freed with the context
    context->extradata_size = static_cast<int>(annexB.size());
    context->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM;
    context->thread_count = 1;
    return avcodec_open2(context.get(), decoder, nullptr);
}

int clampedSide(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, 0, INT32_MAX));
}

// `coded` less the cropping window, whose offsets count in units of `unitX` × `unitY` pixels.
std::optional<PictureSize> cropped(int64_t codedWidth, int64_t codedHeight, BitReader& reader, bool cropping,
                                   int64_t unitX, int64_t unitY) {
    int64_t left = 0, right = 0, top = 0, bottom = 0;
    if (cropping) {
        auto l = reader.exponentialGolomb(), r = reader.exponentialGolomb(), t = reader.exponentialGolomb(),
             b = reader.exponentialGolomb();
        if (!l || !r || !t || !b) {
            return std::nullopt;
        }
        left = *l, right = *r, top = *t, bottom = *b;
    }
    if (reader.isExhausted()) {
        return std::nullopt;
    }
    const int64_t width = codedWidth - unitX * (left + right);
    const int64_t height = codedHeight - unitY * (top + bottom);
    return PictureSize{{clampedSide(codedWidth), clampedSide(codedHeight)},
                       {clampedSide(width), clampedSide(height)}};
}

std::optional<PictureSize> h264PictureSize(ByteView sps) {
    BitReader reader(sps.data() + 1, sps.size() - 1);
    const auto head = ParameterSets::readH264SequenceHead(reader);
    return head ? std::optional<PictureSize>(head->picture) : std::nullopt;
}

// HEVC seq_parameter_set_rbsp up to the conformance window.
std::optional<PictureSize> hevcPictureSize(ByteView sps) {
    if (sps.size() < 2) {
        return std::nullopt;
    }
    BitReader reader(sps.data() + 2, sps.size() - 2);
    reader.bits(4);  // video parameter set id
    const uint32_t subLayers = reader.bits(3);
    reader.bits(1);  // temporal id nesting
    // profile_tier_level: the general profile (88 bits) and level (8 bits), then what each sub-layer adds.
    reader.bits(32), reader.bits(32), reader.bits(24), reader.bits(8);
    bool profilePresent[8] = {}, levelPresent[8] = {};
    for (uint32_t i = 0; i < subLayers; ++i) {
        profilePresent[i] = reader.bits(1) != 0;
        levelPresent[i] = reader.bits(1) != 0;
    }
    if (subLayers > 0) {
        reader.bits(static_cast<int>(2 * (8 - subLayers)));
    }
    for (uint32_t i = 0; i < subLayers; ++i) {
        if (profilePresent[i]) {
            reader.bits(32), reader.bits(32), reader.bits(24);
        }
        if (levelPresent[i]) {
            reader.bits(8);
        }
    }
    if (!reader.exponentialGolomb()) {  // sequence parameter set id
        return std::nullopt;
    }
    auto chromaFormat = reader.exponentialGolomb();
    if (!chromaFormat || *chromaFormat > 3) {
        return std::nullopt;
    }
    bool separateColourPlanes = false;
    if (*chromaFormat == 3) {
        separateColourPlanes = reader.bits(1) != 0;
    }
    auto width = reader.exponentialGolomb();
    auto height = reader.exponentialGolomb();
    if (!width || !height) {
        return std::nullopt;
    }
    const bool window = reader.bits(1) != 0;
    const uint32_t chromaArrayType = separateColourPlanes ? 0 : *chromaFormat;
    const int64_t unitX = chromaArrayType == 1 || chromaArrayType == 2 ? 2 : 1;
    const int64_t unitY = chromaArrayType == 1 ? 2 : 1;
    return cropped(*width, *height, reader, window, unitX, unitY);
}

std::string describe(ParameterSetError::Kind kind, int32_t status) {
    if (kind == ParameterSetError::Kind::missing) {
        return "missing";
    }
    return "invalid(" + std::to_string(status) + ")";
}

}  // namespace

ParameterSetError::ParameterSetError(Kind kind, int32_t status)
    : kind_(kind), status_(status), text_(describe(kind, status)) {}

std::vector<Bytes> ParameterSets::extract(ByteView data, VideoCodec codec) {
    if (data.empty()) {
        return {};
    }
    if (!nal::startsWithStartCode(data) && data[0] == 1) {
        try {
            return codec == VideoCodec::hevc ? fromHevcConfiguration(data) : fromAvcConfiguration(data);
        } catch (const WireError&) {
            return {};
        }
    }
    std::vector<Bytes> sets;
    for (ByteView unit : nal::splitAnnexB(data)) {
        if (nal::isParameterSet(codec, unit)) {
            appendUnique(sets, unit);
        }
    }
    return sets;
}

// H.264 seq_parameter_set_rbsp up to the cropping window.
std::optional<H264SequenceHead> ParameterSets::readH264SequenceHead(BitReader& reader) {
    H264SequenceHead head;
    const uint32_t profile = reader.bits(8);
    head.profile = static_cast<int>(profile);
    reader.bits(8);  // constraint flags
    head.level = static_cast<int>(reader.bits(8));
    if (!reader.exponentialGolomb()) {
        return std::nullopt;
    }
    uint32_t chromaFormat = 1;
    bool separateColourPlanes = false;
    constexpr uint32_t profilesWithChromaFormat[] = {100, 110, 122, 244, 44,  83, 86,
                                                     118, 128, 138, 139, 134, 135};
    if (std::find(std::begin(profilesWithChromaFormat), std::end(profilesWithChromaFormat), profile) !=
        std::end(profilesWithChromaFormat)) {
        auto format = reader.exponentialGolomb();
        if (!format || *format > 3) {
            return std::nullopt;
        }
        chromaFormat = *format;
        if (chromaFormat == 3) {
            separateColourPlanes = reader.bits(1) != 0;
        }
        if (!reader.exponentialGolomb() || !reader.exponentialGolomb()) {  // bit depths
            return std::nullopt;
        }
        reader.bits(1);             // transform bypass
        if (reader.bits(1) != 0) {  // scaling matrices: skipped list by list
            for (int list = 0; list < (chromaFormat == 3 ? 12 : 8); ++list) {
                if (reader.bits(1) == 0) {
                    continue;
                }
                int64_t last = 8, next = 8;
                for (int j = 0; j < (list < 6 ? 16 : 64) && next != 0; ++j) {
                    auto delta = reader.signedExponentialGolomb();
                    if (!delta) {
                        return std::nullopt;
                    }
                    next = ((last + *delta) % 256 + 256) % 256;
                    last = next == 0 ? last : next;
                }
            }
        }
    }
    head.frameNumberSizeAt = reader.position();
    const auto log2MaxFrameNumberMinus4 = reader.exponentialGolomb();
    if (!log2MaxFrameNumberMinus4) {
        return std::nullopt;
    }
    head.log2MaxFrameNumberMinus4 = *log2MaxFrameNumberMinus4;
    head.frameNumberSizeEnd = reader.position();
    auto orderType = reader.exponentialGolomb();
    if (!orderType || *orderType > 2) {
        return std::nullopt;
    }
    if (*orderType == 0) {
        if (!reader.exponentialGolomb()) {
            return std::nullopt;
        }
    } else if (*orderType == 1) {
        reader.bits(1);
        if (!reader.signedExponentialGolomb() || !reader.signedExponentialGolomb()) {
            return std::nullopt;
        }
        auto cycle = reader.exponentialGolomb();
        if (!cycle || *cycle > 255) {
            return std::nullopt;
        }
        for (uint32_t i = 0; i < *cycle; ++i) {
            if (!reader.signedExponentialGolomb()) {
                return std::nullopt;
            }
        }
    }
    const auto referenceFrames = reader.exponentialGolomb();
    if (!referenceFrames) {
        return std::nullopt;
    }
    head.referenceFrames = *referenceFrames;
    reader.bits(1);  // gaps in frame_num allowed
    auto widthInMacroblocks = reader.exponentialGolomb();
    auto heightInMapUnits = reader.exponentialGolomb();
    if (!widthInMacroblocks || !heightInMapUnits) {
        return std::nullopt;
    }
    const int64_t fieldFactor = reader.bits(1) != 0 ? 1 : 2;  // frame_mbs_only
    if (fieldFactor == 2) {
        reader.bits(1);  // adaptive frame/field
    }
    reader.bits(1);  // direct 8x8 inference
    const bool cropping = reader.bits(1) != 0;
    const uint32_t chromaArrayType = separateColourPlanes ? 0 : chromaFormat;
    const int64_t unitX = chromaArrayType == 1 || chromaArrayType == 2 ? 2 : 1;
    const int64_t unitY = (chromaArrayType == 1 ? 2 : 1) * fieldFactor;
    const auto picture =
        cropped((int64_t{*widthInMacroblocks} + 1) * 16, (int64_t{*heightInMapUnits} + 1) * 16 * fieldFactor,
                reader, cropping, unitX, unitY);
    if (!picture) {
        return std::nullopt;
    }
    head.picture = *picture;
    return head;
}

std::vector<std::optional<PictureSize>> ParameterSets::pictureSizes(VideoCodec codec,
                                                                    const std::vector<Bytes>& parameterSets) {
    std::vector<std::optional<PictureSize>> sizes;
    for (const Bytes& set : parameterSets) {
        const auto kind = nal::type(codec, set);
        if (codec == VideoCodec::hevc && kind == nal::hevc::sps) {
            sizes.push_back(hevcPictureSize(set));
        } else if (codec == VideoCodec::h264 && kind == nal::h264::sps) {
            sizes.push_back(h264PictureSize(set));
        }
    }
    return sizes;
}

bool ParameterSets::isComplete(VideoCodec codec, const std::vector<Bytes>& parameterSets) {
    bool vps = false, sps = false, pps = false;
    for (const Bytes& set : parameterSets) {
        auto kind = nal::type(codec, set);
        if (!kind || !nal::isParameterSet(codec, set)) {
            return false;
        }
        if (codec == VideoCodec::hevc) {
            vps |= *kind == nal::hevc::vps;
            sps |= *kind == nal::hevc::sps;
            pps |= *kind == nal::hevc::pps;
        } else {
            sps |= *kind == nal::h264::sps;
            pps |= *kind == nal::h264::pps;
        }
    }
    return sps && pps && (vps || codec == VideoCodec::h264);
}

DecoderConfiguration ParameterSets::makeDecoderConfiguration(VideoCodec codec,
                                                             std::vector<Bytes> parameterSets) {
    if (parameterSets.empty()) {
        throw ParameterSetError::missing();
    }
    if (!isComplete(codec, parameterSets)) {
        throw ParameterSetError::invalid(AVERROR_INVALIDDATA);
    }
    DecoderConfiguration configuration{codec, std::move(parameterSets), 4};
    int32_t status = openDecoderWith(codec, configuration.annexB());
    if (status < 0) {
        throw ParameterSetError::invalid(status);
    }
    return configuration;
}

void ParameterSetCache::remember(ByteView extradata) {
    auto sets = ParameterSets::extract(extradata, codec_);
    if (ParameterSets::isComplete(codec_, sets)) {
        last_ = std::move(sets);
    }
}

std::vector<Bytes> ParameterSetCache::forKeyframe(ByteView accessUnit) {
    auto sets = ParameterSets::extract(accessUnit, codec_);
    if (ParameterSets::isComplete(codec_, sets)) {
        last_ = sets;
        return sets;
    }
    if (last_.empty()) {
        Log::encoder().warn("{}-Keyframe ohne lesbare Parametersätze, noch keine bekannt: geht ohne hinaus",
                            videoCodecDisplayName(codec_));
        return {};
    }
    Log::encoder().warn("{}-Keyframe ohne lesbare Parametersätze: sende die letzten gültigen ({})",
                        videoCodecDisplayName(codec_), last_.size());
    return last_;
}

VideoDimensions PictureSizeLimit::fitting(VideoDimensions size) {
    const auto coded = [](VideoDimensions d) {
        return VideoDimensions{(d.width + 15) / 16 * 16, (d.height + 15) / 16 * 16};
    };
    if (size.width <= 0 || size.height <= 0 || allows(coded(size))) {
        return size;
    }
    const double factor = std::min({double(maximumSide) / size.width, double(maximumSide) / size.height,
                                    std::sqrt(double(maximumPixels) / double(size.pixelCount()))});
    // From the exact scale down in steps of two lines, until the macroblocks fit as well.
    for (int height = int(size.height * factor) & ~1; height > 2; height -= 2) {
        const VideoDimensions fitted = size.scaled(height);
        if (allows(coded(fitted))) {
            return fitted;
        }
    }
    // Only a picture thousands of times wider than high gets here.
    return {std::max(std::min(size.width, maximumSide) & ~1, 2), 2};
}

}  // namespace kelvora
