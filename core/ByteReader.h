#pragma once

#include <cstddef>
#include <cstdint>

#include "core/Bytes.h"

namespace kelvora {

// Takes big-endian integers and byte strings out of a borrowed buffer, checking bounds before every read.
// A failed read throws WireError::truncated and leaves the position where it was (readLengthPrefixed has
// consumed its two length bytes by then); callers stop at the first error.
class ByteReader {
  public:
    explicit ByteReader(ByteView data) : data_(data) {}

    size_t remaining() const { return data_.size() - offset_; }
    size_t offset() const { return offset_; }

    uint8_t readUInt8() { return static_cast<uint8_t>(readBigEndian(1)); }
    uint16_t readUInt16() { return static_cast<uint16_t>(readBigEndian(2)); }
    uint32_t readUInt32() { return static_cast<uint32_t>(readBigEndian(4)); }
    uint64_t readUInt64() { return readBigEndian(8); }

    // A copy of the next `count` bytes; a negative count or one beyond the end is truncated.
    Bytes readBytes(int64_t count);
    // The next `count` bytes without copying; valid as long as the buffer the reader was made on.
    ByteView readView(int64_t count);
    Bytes readLengthPrefixed();
    // Every unread byte (none at the end); never fails.
    Bytes readRemaining();

  private:
    uint64_t readBigEndian(size_t byteCount);

    ByteView data_;
    size_t offset_ = 0;
};

}  // namespace kelvora
