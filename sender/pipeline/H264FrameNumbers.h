#pragma once

#include <cstdint>
#include <optional>

#include "core/Bytes.h"

namespace kelvora::h264 {

// What an H.264 sequence parameter set says about the pictures a decoder has to keep.
struct SequenceSummary {
    int profile = 0;
    int level = 0;            // level_idc: 41 is level 4.1
    int referenceFrames = 0;  // max_num_ref_frames
    int log2MaxFrameNumber = 0;
    // From the VUI's bitstream restriction; none where the set does not say.
    std::optional<int> maxDecFrameBuffering;
};

// Reads a sequence parameter set (one NAL unit, header byte first, emulation prevention in place). None for a
// unit that is not one or that cannot be read through its VUI.
std::optional<SequenceSummary> readSequence(ByteView sps);

// libx264 sizes frame_num to its reference buffer: with a small buffer it wraps every 16 reference pictures,
// and a refresh whose skipped pictures span a wrap has to become a keyframe (a decoder fills the gap with
// placeholders and misorders them across the wrap). This rewrites a stream so that frame_num counts 8 bits
// further, every value the same modulo libx264's period: in the sequence parameter set the field's size, and
// in every slice header 8 more leading bits of the number. Eight bits keep the slice data byte-aligned
// exactly as libx264 wrote it, so nothing after the number needs to be parsed.
class FrameNumberWidener {
  public:
    static constexpr int extraBits = 8;

    // For a stream whose sequence parameter set is `sps`; none where it cannot be rewritten (or would pass
    // the 16 bits H.264 allows).
    static std::optional<FrameNumberWidener> forSequence(ByteView sps);

    // The sequence parameter set with the wider frame_num; none for a unit that is not the one given above.
    std::optional<Bytes> sequence(ByteView sps) const;

    // One slice NAL unit (types 1 and 5, header byte first) with the wider frame_num; other units come back
    // unchanged. Slices must come in the order libx264 wrote them: the count goes on from the last one.
    Bytes slice(ByteView unit);

    int log2MaxFrameNumber() const { return log2Original_ + extraBits; }

  private:
    explicit FrameNumberWidener(int log2Original) : log2Original_(log2Original) {}

    int log2Original_;
    uint64_t frameNumber_ = 0;  // of the last slice, counted on past libx264's wrap
};

}  // namespace kelvora::h264
