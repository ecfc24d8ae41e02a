#include "core/SimpleStreamProtocol.h"

#include <limits>

#include "core/ByteReader.h"
#include "core/ByteWriter.h"
#include "core/WireError.h"

namespace kelvora {

std::optional<SimpleStreamProtocol::MessageType> SimpleStreamProtocol::messageType(uint8_t byte) {
    switch (byte) {
        case static_cast<uint8_t>(MessageType::parameterSets):
            return MessageType::parameterSets;
        case static_cast<uint8_t>(MessageType::frame):
            return MessageType::frame;
        default:
            return std::nullopt;
    }
}

Bytes SimpleStreamProtocol::message(MessageType type, ByteView body) {
    if (body.size() > std::numeric_limits<uint32_t>::max()) {
        throw WireError::valueTooLarge();
    }
    ByteWriter writer(body.size() + headerLength);
    writer.writeUInt8(static_cast<uint8_t>(type));
    writer.writeUInt32(static_cast<uint32_t>(body.size()));
    writer.append(body);
    return std::move(writer).take();
}

Bytes SimpleStreamProtocol::parameterSetsBody(std::span<const Bytes> sets) {
    if (sets.size() > std::numeric_limits<uint8_t>::max()) {
        throw WireError::valueTooLarge();
    }
    size_t size = 1;
    for (const Bytes& set : sets) {
        size += 2 + set.size();
    }
    ByteWriter writer(size);
    writer.writeUInt8(static_cast<uint8_t>(sets.size()));
    for (const Bytes& set : sets) {
        writer.writeLengthPrefixed(set);
    }
    return std::move(writer).take();
}

Bytes SimpleStreamProtocol::frameBody(bool isKeyframe, uint64_t timestamp, ByteView data) {
    ByteWriter writer(data.size() + 9);
    writer.writeUInt8(isKeyframe ? 1 : 0);
    writer.writeUInt64(timestamp);
    writer.append(data);
    return std::move(writer).take();
}

std::optional<std::vector<Bytes>> SimpleStreamProtocol::parseParameterSets(ByteView body) {
    if (body.empty()) {
        return std::nullopt;
    }
    try {
        ByteReader reader(body);
        const uint8_t count = reader.readUInt8();
        std::vector<Bytes> sets;
        for (uint8_t i = 0; i < count; ++i) {
            sets.push_back(reader.readLengthPrefixed());
        }
        return sets;
    } catch (const WireError&) {
        return std::nullopt;
    }
}

std::optional<SimpleStreamProtocol::Frame> SimpleStreamProtocol::parseFrame(ByteView body) {
    // A frame without a single data byte is not a frame.
    if (body.size() < 10) {
        return std::nullopt;
    }
    ByteReader reader(body);
    Frame frame;
    frame.isKeyframe = reader.readUInt8() == 1;
    frame.timestamp = reader.readUInt64();
    frame.data = reader.readRemaining();
    return frame;
}

}  // namespace kelvora
