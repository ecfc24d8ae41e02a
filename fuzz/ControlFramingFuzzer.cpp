// The control channel's framing as a viewer or sender sees it: the input is cut into chunks of sizes the
// input chooses and appended to one parser, which must hand out messages or wire errors and hold no more
// memory than the bytes it was given.

#include "core/ControlMessage.h"
#include "fuzz/FuzzInput.h"

using namespace kelvora;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::FuzzInput input(data, size);
    ControlMessageParser parser;
    size_t appended = 0;
    size_t headerBytesHandedOut = 0;
    while (!input.empty()) {
        const auto chunk = input.take(input.byte());
        appended += chunk.size();
        ControlMessageParser::Result result;
        try {
            result = parser.append(chunk);
        } catch (const WireError&) {
            // Errors come as values; a thrown one would end the connection without its messages.
            KELVORA_FUZZ_CHECK(false);
        }
        headerBytesHandedOut += result.messages.size() * ControlMessage::headerLength;
        KELVORA_FUZZ_CHECK(headerBytesHandedOut <= appended);
        KELVORA_FUZZ_CHECK(parser.bufferedByteCount() <= appended);
        // Growth by doubling at most, never by an announced length.
        KELVORA_FUZZ_CHECK(parser.bufferedCapacity() <= 2 * appended + 64);
        const bool badHeader = result.error && (result.error->kind() == WireError::Kind::unknownMessageType ||
                                                result.error->kind() == WireError::Kind::messageTooLarge);
        if (badHeader) {
            // A bad header: the stream is lost, and every further append must say so again.
            const auto again = parser.append({});
            KELVORA_FUZZ_CHECK(again.messages.empty() && again.error);
            return 0;
        }
    }
    return 0;
}
