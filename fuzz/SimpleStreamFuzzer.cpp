// A simple player's read loop: headers and bodies one after another, each body read as its header's type
// says. A body that reads must read the same after being written again.

#include "core/ByteReader.h"
#include "core/SimpleStreamProtocol.h"
#include "fuzz/FuzzInput.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    while (input.remaining() >= SimpleStreamProtocol::headerLength) {
        const auto header = input.take(SimpleStreamProtocol::headerLength);
        const auto type = SimpleStreamProtocol::messageType(header[0]);
        if (!type) {
            return 0;
        }
        const uint32_t length = ByteReader(header.subspan(1)).readUInt32();
        // A body cut short by the end of the stream is still handed to the reader, as a player would at EOF.
        const auto body = input.take(length);
        if (*type == SimpleStreamProtocol::MessageType::parameterSets) {
            if (const auto sets = SimpleStreamProtocol::parseParameterSets(body)) {
                KELVORA_FUZZ_CHECK(SimpleStreamProtocol::parseParameterSets(
                                       SimpleStreamProtocol::parameterSetsBody(*sets)) == sets);
            }
        } else if (const auto frame = SimpleStreamProtocol::parseFrame(body)) {
            KELVORA_FUZZ_CHECK(!frame->data.empty());
            KELVORA_FUZZ_CHECK(SimpleStreamProtocol::parseFrame(SimpleStreamProtocol::frameBody(
                                   frame->isKeyframe, frame->timestamp, frame->data)) == frame);
        }
    }
    return 0;
}
