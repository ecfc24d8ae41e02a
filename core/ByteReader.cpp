#include "core/ByteReader.h"

#include "core/WireError.h"

namespace kelvora {

uint64_t ByteReader::readBigEndian(size_t byteCount) {
    if (remaining() < byteCount) {
        throw WireError::truncated();
    }
    uint64_t value = 0;
    for (size_t i = 0; i < byteCount; ++i) {
        value = (value << 8) | data_[offset_ + i];
    }
    offset_ += byteCount;
    return value;
}

ByteView ByteReader::readView(int64_t count) {
    if (count < 0 || static_cast<uint64_t>(count) > remaining()) {
        throw WireError::truncated();
    }
    ByteView view = data_.subspan(offset_, static_cast<size_t>(count));
    offset_ += static_cast<size_t>(count);
    return view;
}

Bytes ByteReader::readBytes(int64_t count) {
    ByteView view = readView(count);
    return Bytes(view.begin(), view.end());
}

Bytes ByteReader::readLengthPrefixed() {
    uint16_t length = readUInt16();
    return readBytes(length);
}

Bytes ByteReader::readRemaining() {
    return readBytes(static_cast<int64_t>(remaining()));
}

}  // namespace kelvora
