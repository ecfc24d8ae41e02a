// Every control message's payload decoder: the first byte picks one of the type codes, the rest is the
// payload. A message that decodes and encodes again must decode to itself.

#include "core/ControlMessage.h"
#include "fuzz/FuzzInput.h"
#include "fuzz/TypeCodes.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const auto& codes = fuzz::allTypeCodes();
    fuzz::FuzzInput input(data, size);
    const auto type = codes[input.byte() % codes.size()];
    const auto payload = input.takeRest();
    ControlMessage message;
    try {
        message = ControlMessage::decode(type, payload);
    } catch (const WireError&) {
        return 0;
    }
    KELVORA_FUZZ_CHECK(message.typeCode() == type);
    Bytes encoded;
    try {
        encoded = message.encodePayload();
    } catch (const WireError&) {
        // Some values are read leniently but never written (text that is not UTF-8, say).
        return 0;
    }
    const ControlMessage again = ControlMessage::decode(type, encoded);
    KELVORA_FUZZ_CHECK(again == message);
    return 0;
}
