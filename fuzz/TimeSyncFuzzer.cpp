// The 24-byte time-sync message, alone and as the payload of both of its type codes.

#include "core/ControlMessage.h"
#include "fuzz/FuzzInput.h"

#include <algorithm>

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const ByteView bytes(data, size);
    TimeSyncMessage message;
    try {
        message = TimeSyncMessage::fromBinary(bytes);
    } catch (const WireError& error) {
        KELVORA_FUZZ_CHECK(size < TimeSyncMessage::byteCount && error.kind() == WireError::Kind::truncated);
        return 0;
    }
    KELVORA_FUZZ_CHECK(size >= TimeSyncMessage::byteCount);
    const Bytes written = message.binary();
    KELVORA_FUZZ_CHECK(std::equal(written.begin(), written.end(), bytes.begin(),
                                  bytes.begin() + TimeSyncMessage::byteCount));
    for (const auto type :
         {ControlMessage::TypeCode::timeSyncRequest, ControlMessage::TypeCode::timeSyncResponse}) {
        const ControlMessage decoded = ControlMessage::decode(type, bytes);
        KELVORA_FUZZ_CHECK(decoded.typeCode() == type && decoded.encodePayload() == written);
    }
    return 0;
}
