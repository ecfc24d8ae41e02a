#include "core/EncodedVideoFrame.h"

#include <algorithm>
#include <limits>

#include "core/ByteReader.h"
#include "core/ByteWriter.h"
#include "core/WireError.h"

namespace kelvora {

namespace {

constexpr size_t maximumParameterSetCount = std::numeric_limits<uint8_t>::max();
constexpr size_t maximumParameterSetLength = std::numeric_limits<uint16_t>::max();

uint16_t clampedSide(int side) {
    return static_cast<uint16_t>(std::clamp(side, 0, static_cast<int>(std::numeric_limits<uint16_t>::max())));
}

}  // namespace

EncodedVideoFrame EncodedVideoFrame::make(VideoCodec codec, Flags flags, uint8_t tier, uint64_t frameNumber,
                                          std::optional<uint64_t> referenceFrameNumber, uint64_t captureTime,
                                          uint64_t encodeDoneTime, VideoDimensions dimensions,
                                          uint32_t targetBitrateKbps, std::vector<Bytes> parameterSets,
                                          Bytes payload) {
    EncodedVideoFrame frame;
    frame.codec = codec;
    frame.flags = flags;
    frame.tier = tier;
    frame.frameNumber = frameNumber;
    // Unsigned arithmetic wraps, which is what a non-keyframe numbered 0 needs.
    frame.referenceFrameNumber =
        referenceFrameNumber.value_or(flags.contains(Flags::keyframe) ? frameNumber : frameNumber - 1);
    frame.captureTime = captureTime;
    frame.encodeDoneTime = encodeDoneTime;
    frame.dimensions = dimensions;
    frame.targetBitrateKbps = targetBitrateKbps;
    frame.parameterSets = std::move(parameterSets);
    frame.payload = std::move(payload);
    return frame;
}

size_t EncodedVideoFrame::dataByteCount() const {
    size_t count = payload.size();
    for (const Bytes& set : parameterSets) {
        count += set.size();
    }
    return count;
}

size_t EncodedVideoFrame::serializedByteCount() const {
    return headLength + 2 * parameterSets.size() + dataByteCount();
}

Bytes EncodedVideoFrame::serialized() const {
    ByteWriter writer(serializedByteCount());
    serialize(writer);
    return std::move(writer).take();
}

void EncodedVideoFrame::serialize(ByteWriter& writer) const {
    if (parameterSets.size() > maximumParameterSetCount) {
        throw WireError::valueTooLarge();
    }
    for (const Bytes& set : parameterSets) {
        if (set.size() > maximumParameterSetLength) {
            throw WireError::valueTooLarge();
        }
    }
    writer.writeUInt8(formatVersion);
    writer.writeUInt8(static_cast<uint8_t>(codec));
    writer.writeUInt8(flags.rawValue);
    writer.writeUInt8(tier);
    writer.writeUInt64(frameNumber);
    writer.writeUInt64(referenceFrameNumber);
    writer.writeUInt64(captureTime);
    writer.writeUInt64(encodeDoneTime);
    writer.writeUInt16(clampedSide(dimensions.width));
    writer.writeUInt16(clampedSide(dimensions.height));
    writer.writeUInt32(targetBitrateKbps);
    writer.writeUInt8(static_cast<uint8_t>(parameterSets.size()));
    for (const Bytes& set : parameterSets) {
        writer.writeLengthPrefixed(set);
    }
    writer.append(payload);
}

EncodedVideoFrame EncodedVideoFrame::fromSerialized(ByteView data) {
    ByteReader reader(data);
    const uint8_t version = reader.readUInt8();
    if (version != formatVersion) {
        throw WireError::unsupportedVersion(version);
    }
    EncodedVideoFrame frame;
    const uint8_t codecByte = reader.readUInt8();
    const auto codec = videoCodecFromRaw(codecByte);
    if (!codec) {
        throw WireError::invalidPayload("unbekannter Codec");
    }
    frame.codec = *codec;
    frame.flags = Flags(reader.readUInt8());
    frame.tier = reader.readUInt8();
    frame.frameNumber = reader.readUInt64();
    frame.referenceFrameNumber = reader.readUInt64();
    frame.captureTime = reader.readUInt64();
    frame.encodeDoneTime = reader.readUInt64();
    frame.dimensions.width = reader.readUInt16();
    frame.dimensions.height = reader.readUInt16();
    frame.targetBitrateKbps = reader.readUInt32();
    const uint8_t setCount = reader.readUInt8();
    // The count comes from the peer: the list grows with the sets that actually arrive.
    for (uint8_t i = 0; i < setCount; ++i) {
        frame.parameterSets.push_back(reader.readLengthPrefixed());
    }
    frame.payload = reader.readRemaining();
    return frame;
}

}  // namespace kelvora
