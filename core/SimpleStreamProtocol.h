#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/Bytes.h"

namespace kelvora {

// The minimal framing of the plain H.264 stream for simple players: a type byte, a 32-bit body length and the
// body. No handshake and no tiers; a player gets the parameter sets, then frames.
//
// Writers throw WireError::valueTooLarge for input beyond what the framing can carry (more than 255 sets, a
// set over 65535 bytes, a body of 4 GiB or more). Readers answer nullopt for malformed bodies and never read
// past the body.
struct SimpleStreamProtocol final {
    static constexpr uint16_t defaultPort = 47900;
    static constexpr size_t headerLength = 5;

    enum class MessageType : uint8_t { parameterSets = 1, frame = 2 };

    struct Frame {
        bool isKeyframe = false;
        uint64_t timestamp = 0;
        Bytes data;

        bool operator==(const Frame&) const = default;
    };

    SimpleStreamProtocol() = delete;

    // The message type of a header's first byte, or nullopt for a byte that names none.
    static std::optional<MessageType> messageType(uint8_t byte);

    static Bytes message(MessageType type, ByteView body);
    static Bytes parameterSetsBody(std::span<const Bytes> sets);
    static Bytes frameBody(bool isKeyframe, uint64_t timestamp, ByteView data);

    static std::optional<std::vector<Bytes>> parseParameterSets(ByteView body);
    static std::optional<Frame> parseFrame(ByteView body);
};

}  // namespace kelvora
