#pragma once

#include "core/Bytes.h"
#include "core/VideoCodec.h"

#include <cstdint>
#include <optional>
#include <vector>

// NAL units between the two forms of a bitstream: encoders on Linux emit Annex B (start codes, with parameter
// sets and access unit delimiters in the stream); the wire carries every NAL unit behind a 4-byte big-endian
// length, without delimiters, and parameter sets only in the frame's own list.
namespace kelvora::nal {

namespace h264 {
inline constexpr uint8_t idr = 5;
inline constexpr uint8_t sei = 6;
inline constexpr uint8_t sps = 7;
inline constexpr uint8_t pps = 8;
inline constexpr uint8_t accessUnitDelimiter = 9;
}  // namespace h264

namespace hevc {
inline constexpr uint8_t firstIrap = 16;  // BLA, IDR and CRA pictures: 16...23
inline constexpr uint8_t lastIrap = 23;
inline constexpr uint8_t vps = 32;
inline constexpr uint8_t sps = 33;
inline constexpr uint8_t pps = 34;
inline constexpr uint8_t accessUnitDelimiter = 35;
}  // namespace hevc

// The NAL unit type from the unit's header; nothing for a unit too short to have a header.
std::optional<uint8_t> type(VideoCodec codec, ByteView unit);
bool isParameterSet(VideoCodec codec, ByteView unit);
bool isAccessUnitDelimiter(VideoCodec codec, ByteView unit);

// Whether the bytes begin with a 3- or 4-byte start code.
bool startsWithStartCode(ByteView data);

// The NAL units of an Annex B stream, without start codes and without the zero bytes that pad a unit up to
// the next start code. Bytes before the first start code are not a unit and are skipped; no start code at
// all gives no units. The views point into `annexB`.
std::vector<ByteView> splitAnnexB(ByteView annexB);

// The NAL units of a length-prefixed payload (4-byte big-endian lengths). Throws WireError::truncated when a
// length field or a unit runs past the end. Empty units are skipped. The views point into `payload`.
std::vector<ByteView> splitLengthPrefixed(ByteView payload);

// Annex B to the wire's payload form: every unit behind its 4-byte length, parameter sets and access unit
// delimiters left out (the sets travel in the frame's own list).
Bytes toLengthPrefixed(ByteView annexB, VideoCodec codec);

// The wire's payload form back to Annex B with 4-byte start codes, for a decoder. Throws WireError::truncated
// for a malformed payload.
Bytes toAnnexB(ByteView lengthPrefixed);

// Each unit behind a 4-byte start code.
Bytes joinAnnexB(const std::vector<Bytes>& units);

}  // namespace kelvora::nal
