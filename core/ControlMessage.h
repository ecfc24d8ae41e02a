#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "core/Bytes.h"
#include "core/ControlRecords.h"
#include "core/EncodedVideoFrame.h"
#include "core/ReceiverReportMessage.h"
#include "core/StreamInfoMessage.h"
#include "core/StreamTuning.h"
#include "core/WireError.h"

namespace kelvora {

// Three monotonic times in nanoseconds: when the viewer sent the request, when the sender received it and
// when the sender answered. 24 bytes on the wire, no JSON form.
struct TimeSyncMessage {
    uint64_t clientSendTime = 0;
    uint64_t serverReceiveTime = 0;
    uint64_t serverSendTime = 0;

    static constexpr size_t byteCount = 24;

    Bytes binary() const;
    // Bytes after the 24th are ignored; fewer than 24 throw WireError::truncated.
    static TimeSyncMessage fromBinary(ByteView payload);

    bool operator==(const TimeSyncMessage&) const = default;
};

// Some messages share a record and differ only in their type code; each gets a case type of its own so that
// the message set stays a variant of distinct types.
struct PreferTierMessage : TierReadyMessage {
    bool operator==(const PreferTierMessage&) const = default;
};
struct StreamTuningUpdate : StreamTuning {
    bool operator==(const StreamTuningUpdate&) const = default;
};
struct TimeSyncRequest : TimeSyncMessage {
    bool operator==(const TimeSyncRequest&) const = default;
};
struct TimeSyncResponse : TimeSyncMessage {
    bool operator==(const TimeSyncResponse&) const = default;
};

// The end of a connection, with a short English reason ("timeout", "replaced", ...). Plain UTF-8 on the wire.
struct GoodbyeMessage {
    std::string reason;

    bool operator==(const GoodbyeMessage&) const = default;
};

// One frame of the control channel: a type byte, a 32-bit big-endian payload length and the payload (JSON
// records, the binary encoded frame, the 24-byte time sync or the goodbye text).
struct ControlMessage {
    enum class TypeCode : uint8_t {
        hello = 0x01,
        welcome = 0x02,
        streamInfo = 0x03,
        goodbye = 0x0F,
        videoFrame = 0x10,
        keyframeRequest = 0x20,
        receiverReport = 0x21,
        tierReady = 0x22,
        referenceAck = 0x23,
        preferTier = 0x24,
        standbyBridge = 0x25,
        frameRateLimit = 0x26,
        restartSource = 0x27,
        qualityPreference = 0x28,
        streamTuning = 0x29,
        streamTuningUpdate = 0x2A,
        timeSyncRequest = 0x30,
        timeSyncResponse = 0x31,
        engineSignal = 0x40,
        mediaAttach = 0x50,
    };

    using Value =
        std::variant<HelloMessage, WelcomeMessage, StreamInfoMessage, EncodedVideoFrame,
                     KeyframeRequestMessage, ReceiverReportMessage, TierReadyMessage, ReferenceAckMessage,
                     PreferTierMessage, StandbyBridgeMessage, FrameRateLimitMessage, QualityPreferenceMessage,
                     StreamTuning, StreamTuningUpdate, TimeSyncRequest, TimeSyncResponse, EngineSignalMessage,
                     MediaAttachMessage, GoodbyeMessage, RestartSourceMessage>;

    struct Header {
        TypeCode type;
        uint32_t length;

        bool operator==(const Header&) const = default;
    };

    static constexpr size_t headerLength = 5;
    static constexpr uint32_t maximumPayloadLength = 0x2000000;
    // Every message but the video frame is a small record or text: a connection refuses a longer one at its
    // header, before a peer can make it hold and parse megabytes of names.
    static constexpr uint32_t maximumRecordPayloadLength = 64 * 1024;

    Value value;

    ControlMessage() = default;
    // Every case type converts implicitly: `connection.send(HelloMessage{...})`.
    template <typename T>
    requires std::is_constructible_v<Value, T&&> &&
        (!std::is_same_v<std::remove_cvref_t<T>, ControlMessage>)ControlMessage(T&& caseValue)
        : value(std::forward<T>(caseValue)) {}

    TypeCode typeCode() const;

    template <typename T>
    bool is() const {
        return std::holds_alternative<T>(value);
    }
    template <typename T>
    const T* get() const {
        return std::get_if<T>(&value);
    }

    // The whole frame, built in one buffer of its final size. Throws WireError::messageTooLarge for a payload
    // over the limit, and passes on the errors of the payload encoders (JSON, encoded frame).
    Bytes encoded() const;
    // The payload bytes alone.
    Bytes encodePayload() const;

    // Reads the first five bytes: checks the type before the length. Throws truncated, unknownMessageType or
    // messageTooLarge.
    static Header parseHeader(ByteView header);
    // Builds a message from its type and exactly its payload. JSON that does not fit its record becomes
    // WireError::invalidPayload("<type name>: <what was wrong>"); other wire errors pass unchanged.
    static ControlMessage decode(TypeCode type, ByteView payload);

    bool operator==(const ControlMessage&) const = default;
};

// The type code of a byte, or nullopt for the bytes that name no message.
std::optional<ControlMessage::TypeCode> controlTypeCode(uint8_t byte);
// The case name: "welcome", "streamTuningUpdate".
std::string_view typeCodeName(ControlMessage::TypeCode type);

// Turns chunks of any size into whole messages. A bad header stays at the front of the buffer, so every later
// append throws the same error: the caller must give up the parser and its connection. A payload that does
// not decode is dropped and the parser goes on with the next frame.
class ControlMessageParser {
  public:
    struct Result {
        // Every message completed by this chunk, in order, up to a failure.
        std::vector<ControlMessage> messages;
        // The failure that ended this chunk, if any.
        std::optional<WireError> error;
    };

    // Adds received bytes and returns every message that is now complete together with the error that
    // stopped reading, if one did. Messages decoded before a failure are never lost. After a payload error,
    // frames already buffered behind the bad one come with the next call; `append({})` asks for them
    // without new bytes.
    [[nodiscard]] Result append(ByteView bytes);

    // Bytes received that do not yet form a whole frame (or start with a bad header).
    size_t bufferedByteCount() const { return buffer_.size() - consumed_; }
    // Memory held for them: grows with the bytes received, never with a length a peer announces.
    size_t bufferedCapacity() const { return buffer_.capacity(); }

  private:
    Bytes buffer_;
    // Bytes at the front of buffer_ that belong to frames already handed out; dropped in one go.
    size_t consumed_ = 0;
};

}  // namespace kelvora
