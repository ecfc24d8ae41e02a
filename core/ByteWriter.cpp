#include "core/ByteWriter.h"

#include <limits>

#include "core/WireError.h"

namespace kelvora {

void ByteWriter::writeLengthPrefixed(ByteView bytes) {
    if (bytes.size() > std::numeric_limits<uint16_t>::max()) {
        throw WireError::valueTooLarge();
    }
    writeUInt16(static_cast<uint16_t>(bytes.size()));
    append(bytes);
}

}  // namespace kelvora
