#include "core/ParameterSets.h"

#include "core/ByteReader.h"
#include "core/Log.h"
#include "core/WireError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <algorithm>
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

}  // namespace kelvora
