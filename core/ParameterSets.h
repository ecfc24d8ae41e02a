#pragma once

#include "core/Bytes.h"
#include "core/Nal.h"
#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace kelvora {

// Why a list of parameter sets gives no decoder configuration.
class ParameterSetError : public std::exception {
  public:
    enum class Kind { missing, invalid };

    // There was no parameter set to build from.
    static ParameterSetError missing() { return ParameterSetError(Kind::missing, 0); }
    // The sets were refused; `status` is the decoder library's error code (an AVERROR value).
    static ParameterSetError invalid(int32_t status) { return ParameterSetError(Kind::invalid, status); }

    Kind kind() const { return kind_; }
    int32_t status() const { return status_; }
    const char* what() const noexcept override { return text_.c_str(); }

    friend bool operator==(const ParameterSetError& a, const ParameterSetError& b) {
        return a.kind_ == b.kind_ && a.status_ == b.status_;
    }

  private:
    ParameterSetError(Kind kind, int32_t status);

    Kind kind_;
    int32_t status_;
    std::string text_;
};

// What a decoder needs to start on a keyframe: the codec and its parameter sets, each one NAL unit without
// start code or length, in stream order (H.264: SPS, PPS; HEVC: VPS, SPS, PPS). The payloads that go with it
// carry 4-byte NAL lengths.
struct DecoderConfiguration {
    VideoCodec codec = VideoCodec::h264;
    std::vector<Bytes> parameterSets;
    int nalUnitLengthSize = 4;

    // The sets with start codes: a decoder's extradata, and what goes in front of every keyframe fed to it.
    Bytes annexB() const { return nal::joinAnnexB(parameterSets); }

    bool operator==(const DecoderConfiguration&) const = default;
};

// The picture a sequence parameter set describes: the size a decoder allocates (whole macroblocks or coding
// blocks) and the part of it that is shown (after the set's cropping window).
struct PictureSize {
    VideoDimensions coded;
    VideoDimensions visible;

    bool operator==(const PictureSize&) const = default;
};

class BitReader;

// The fields of an H.264 sequence parameter set up to its cropping window: the viewer reads the picture size
// from them, the sender how frame_num is counted and how many reference pictures a decoder keeps.
struct H264SequenceHead {
    int profile = 0;
    int level = 0;  // level_idc: 41 is level 4.1
    uint32_t log2MaxFrameNumberMinus4 = 0;
    // Where log2_max_frame_num_minus4 lies in the reader's payload, in bits: [at, end).
    size_t frameNumberSizeAt = 0;
    size_t frameNumberSizeEnd = 0;
    uint32_t referenceFrames = 0;  // max_num_ref_frames
    PictureSize picture;
};

// The largest picture a viewer decodes, and so the largest the sender encodes. The pixel bound is the largest
// frame of H.264 level 5.2 (36864 macroblocks, 4096 × 2304), which also holds 4096 × 2160. A stream beyond it
// is refused before the decoder allocates a picture: a sequence parameter set that says 16000 × 16000 would
// otherwise cost hundreds of megabytes per picture. A larger source (a video file or an NDI source of 5K and
// more) is scaled down to fit by the sender.
struct PictureSizeLimit {
    static constexpr int maximumSide = 8192;
    static constexpr int64_t maximumPixels = int64_t{4096} * 2304;

    static bool allows(VideoDimensions size) {
        return size.width > 0 && size.height > 0 && size.width <= maximumSide && size.height <= maximumSide &&
               int64_t{size.width} * size.height <= maximumPixels;
    }

    // The size a picture of `size` is encoded at: unchanged when the picture it codes (each side rounded up
    // to whole 16-pixel macroblocks, which is what a viewer checks) is allowed; otherwise the largest even
    // size of the same aspect whose coded picture is. A size without area is returned unchanged.
    static VideoDimensions fitting(VideoDimensions size);
};

// The two conversions between an encoder's output and a decoder's configuration.
class ParameterSets {
  public:
    ParameterSets() = delete;

    // The parameter sets of an encoder's extradata or of an access unit (a keyframe with its sets in the
    // stream), in stream order. Takes Annex B as well as the MP4 configuration records (avcC, hvcC) that
    // FFmpeg encoders and demuxers give as extradata. Never fails: unreadable input yields an empty list.
    static std::vector<Bytes> extract(ByteView extradataOrAccessUnit, VideoCodec codec);

    // Checks the sets as a decoder would and gives its configuration. Throws ParameterSetError::missing for
    // an empty list, ParameterSetError::invalid when a set is empty, is not a parameter set of `codec`, a
    // required kind is absent, or libavcodec refuses the sets.
    static DecoderConfiguration makeDecoderConfiguration(VideoCodec codec, std::vector<Bytes> parameterSets);

    // The picture size each sequence parameter set in the list describes, in list order (a picture may name
    // any of them); nothing for a set that cannot be read that far. Sides that do not fit an int come out as
    // INT32_MAX.
    static std::vector<std::optional<PictureSize>> pictureSizes(VideoCodec codec,
                                                                const std::vector<Bytes>& parameterSets);

    // Reads seq_parameter_set_rbsp from its first bit (`reader` over the payload behind the NAL header byte)
    // through the cropping window, where the reader then stands at vui_parameters_present_flag. Nothing for
    // a field out of range or a set that ends before the window.
    static std::optional<H264SequenceHead> readH264SequenceHead(BitReader& reader);

    // Whether the list holds every kind of set a decoder needs for `codec` (and nothing else).
    static bool isComplete(VideoCodec codec, const std::vector<Bytes>& parameterSets);
};

// The sets an encoder attaches to its keyframes. A keyframe whose own sets cannot be read still gets the last
// good ones, so that a viewer can always start decoding at a keyframe. One per encoder, on its thread.
class ParameterSetCache {
  public:
    explicit ParameterSetCache(VideoCodec codec) : codec_(codec) {}

    // Remembers the sets of the encoder's extradata (when it has any) before the first frame.
    void remember(ByteView extradata);

    // The sets for one keyframe (Annex B access unit): its own when complete, else the last good ones
    // (logged), else none (logged).
    std::vector<Bytes> forKeyframe(ByteView accessUnit);

    const std::vector<Bytes>& last() const { return last_; }
    VideoCodec codec() const { return codec_; }

  private:
    VideoCodec codec_;
    std::vector<Bytes> last_;
};

}  // namespace kelvora
