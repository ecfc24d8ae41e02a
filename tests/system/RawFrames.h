#pragma once

// Control frames written by hand, for peers that break the framing on purpose.

#include <cstdint>
#include <string>

#include "core/ByteWriter.h"
#include "core/Bytes.h"

namespace kelvora::testing {

// A frame header announcing `length` payload bytes, whatever follows.
inline Bytes header(uint8_t type, uint32_t length) {
    ByteWriter writer;
    writer.writeUInt8(type);
    writer.writeUInt32(length);
    return std::move(writer).take();
}

inline Bytes rawMessage(uint8_t type, const std::string& payload) {
    Bytes bytes = header(type, static_cast<uint32_t>(payload.size()));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

}  // namespace kelvora::testing
