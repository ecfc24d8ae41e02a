#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "core/Bytes.h"
#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"

namespace kelvora {

class ByteWriter;

// One encoded access unit of one quality tier, as it travels from an encoder to a viewer.
//
// Binary form, version 2, all integers big-endian: version, codec, flags, tier (one byte each); frame number,
// reference frame number, capture time, encode-done time (8 bytes each); width, height (2 bytes each, limited
// to 0...65535); target bitrate (4 bytes); the parameter-set count (1 byte) - 45 bytes so far - then each set
// with a 2-byte length, then the payload up to the end of the data.
struct EncodedVideoFrame {
    // Frame flags as a bit set over the raw byte. Bits without a meaning survive a round trip unchanged.
    struct Flags {
        uint8_t rawValue = 0;

        static const Flags keyframe;       // a sync frame: starts a new reference chain
        static const Flags senderSkipped;  // the sender withheld frames of this tier right before this one
        static const Flags testPattern;    // the picture came from the test pattern
        static const Flags disposable;     // no later frame references this one
        static const Flags refresh;        // encoded against an acknowledged long-term reference

        constexpr Flags() = default;
        constexpr explicit Flags(uint8_t raw) : rawValue(raw) {}
        // The union of the listed flags.
        constexpr Flags(std::initializer_list<Flags> flags) {
            for (Flags flag : flags) {
                rawValue |= flag.rawValue;
            }
        }

        constexpr bool contains(Flags other) const { return (rawValue & other.rawValue) == other.rawValue; }
        constexpr bool empty() const { return rawValue == 0; }
        constexpr void insert(Flags other) { rawValue |= other.rawValue; }
        constexpr void remove(Flags other) { rawValue &= static_cast<uint8_t>(~other.rawValue); }
        constexpr Flags operator|(Flags other) const { return Flags(rawValue | other.rawValue); }
        constexpr Flags operator&(Flags other) const { return Flags(rawValue & other.rawValue); }
        constexpr bool operator==(const Flags&) const = default;
    };

    static constexpr uint8_t formatVersion = 2;
    static constexpr size_t headLength = 45;

    VideoCodec codec = VideoCodec::h264;
    Flags flags;
    uint8_t tier = 0;
    uint64_t frameNumber = 0;
    // Its own number for a keyframe; for a refresh frame the acknowledged frame it was encoded against;
    // otherwise the newest earlier frame of the tier that is not disposable.
    uint64_t referenceFrameNumber = 0;
    uint64_t captureTime = 0;     // monotonic nanoseconds
    uint64_t encodeDoneTime = 0;  // monotonic nanoseconds
    VideoDimensions dimensions;
    uint32_t targetBitrateKbps = 0;
    std::vector<Bytes> parameterSets;  // attached to keyframes, empty on other frames
    Bytes payload;                     // NAL units, each behind a 4-byte big-endian length

    // Builds a frame whose reference defaults to itself for a keyframe and to the frame before it otherwise
    // (with wrap-around: a non-keyframe numbered 0 refers to 0xFFFFFFFFFFFFFFFF).
    static EncodedVideoFrame make(VideoCodec codec, Flags flags, uint8_t tier, uint64_t frameNumber,
                                  std::optional<uint64_t> referenceFrameNumber, uint64_t captureTime,
                                  uint64_t encodeDoneTime, VideoDimensions dimensions,
                                  uint32_t targetBitrateKbps, std::vector<Bytes> parameterSets,
                                  Bytes payload);

    bool isKeyframe() const { return flags.contains(Flags::keyframe); }
    bool isDisposable() const { return flags.contains(Flags::disposable); }
    bool isRefresh() const { return flags.contains(Flags::refresh); }

    // Payload bytes plus the bytes of every parameter set.
    size_t dataByteCount() const;
    // Length of the binary form.
    size_t serializedByteCount() const;

    // The binary form. Throws WireError::valueTooLarge for 256 or more parameter sets or a set of 65536
    // bytes or more.
    Bytes serialized() const;
    // Appends the binary form to a writer; checks the limits before writing anything, so an error leaves the
    // writer as it was.
    void serialize(ByteWriter& writer) const;
    // Reads the binary form; the sets and the payload are copies independent of the input. Throws
    // WireError::truncated, unsupportedVersion(byte) or invalidPayload("unbekannter Codec").
    static EncodedVideoFrame fromSerialized(ByteView data);

    bool operator==(const EncodedVideoFrame&) const = default;
};

inline constexpr EncodedVideoFrame::Flags EncodedVideoFrame::Flags::keyframe(uint8_t{0x01});
inline constexpr EncodedVideoFrame::Flags EncodedVideoFrame::Flags::senderSkipped(uint8_t{0x02});
inline constexpr EncodedVideoFrame::Flags EncodedVideoFrame::Flags::testPattern(uint8_t{0x04});
inline constexpr EncodedVideoFrame::Flags EncodedVideoFrame::Flags::disposable(uint8_t{0x08});
inline constexpr EncodedVideoFrame::Flags EncodedVideoFrame::Flags::refresh(uint8_t{0x10});

}  // namespace kelvora
