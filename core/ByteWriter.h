#pragma once

#include <cstddef>
#include <cstdint>

#include "core/Bytes.h"

namespace kelvora {

// Appends big-endian integers and byte strings. Create it with the final size reserved so that the
// per-frame path never reallocates.
class ByteWriter {
  public:
    explicit ByteWriter(size_t capacity = 0) { data_.reserve(capacity); }

    void writeUInt8(uint8_t value) { data_.push_back(value); }
    void writeUInt16(uint16_t value) { writeBigEndian(value, 2); }
    void writeUInt32(uint32_t value) { writeBigEndian(value, 4); }
    void writeUInt64(uint64_t value) { writeBigEndian(value, 8); }

    // The bytes as they are, with no length in front.
    void append(ByteView bytes) { data_.insert(data_.end(), bytes.begin(), bytes.end()); }

    // A 16-bit length, then the bytes. Throws WireError::valueTooLarge, writing nothing, above 65535 bytes.
    void writeLengthPrefixed(ByteView bytes);

    const Bytes& data() const { return data_; }
    size_t size() const { return data_.size(); }
    Bytes take() && { return std::move(data_); }

  private:
    void writeBigEndian(uint64_t value, int byteCount) {
        for (int shift = (byteCount - 1) * 8; shift >= 0; shift -= 8) {
            data_.push_back(static_cast<uint8_t>(value >> shift));
        }
    }

    Bytes data_;
};

}  // namespace kelvora
