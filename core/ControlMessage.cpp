#include "core/ControlMessage.h"

#include <array>
#include <cstring>

#include "core/ByteReader.h"
#include "core/ByteWriter.h"
#include "core/Json.h"
#include "core/WireError.h"
#include "platform/Utf8.h"

namespace kelvora {

namespace {

using TypeCode = ControlMessage::TypeCode;

// The type code of each alternative of ControlMessage::Value, in the variant's order.
constexpr std::array<TypeCode, std::variant_size_v<ControlMessage::Value>> typeCodeByIndex = {
    TypeCode::hello,           TypeCode::welcome,
    TypeCode::streamInfo,      TypeCode::videoFrame,
    TypeCode::keyframeRequest, TypeCode::receiverReport,
    TypeCode::tierReady,       TypeCode::referenceAck,
    TypeCode::preferTier,      TypeCode::standbyBridge,
    TypeCode::frameRateLimit,  TypeCode::qualityPreference,
    TypeCode::streamTuning,    TypeCode::streamTuningUpdate,
    TypeCode::timeSyncRequest, TypeCode::timeSyncResponse,
    TypeCode::engineSignal,    TypeCode::mediaAttach,
    TypeCode::goodbye,         TypeCode::restartSource,
};

template <typename T, typename Variant>
struct AlternativeIndex;
template <typename T, typename... Alternatives>
struct AlternativeIndex<T, std::variant<Alternatives...>> {
    static constexpr size_t value = [] {
        size_t index = 0;
        (void)((std::is_same_v<T, Alternatives> ? false : (++index, true)) && ...);
        return index;
    }();
};

template <typename T>
constexpr size_t indexOf() {
    return AlternativeIndex<T, ControlMessage::Value>::value;
}

static_assert(typeCodeByIndex[indexOf<EncodedVideoFrame>()] == TypeCode::videoFrame);
static_assert(typeCodeByIndex[indexOf<PreferTierMessage>()] == TypeCode::preferTier);
static_assert(typeCodeByIndex[indexOf<GoodbyeMessage>()] == TypeCode::goodbye);
static_assert(typeCodeByIndex[indexOf<RestartSourceMessage>()] == TypeCode::restartSource);

Bytes textBytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes jsonPayload(const Json& object) {
    return textBytes(json::encode(object));
}

template <typename Record>
Record decodeRecord(TypeCode type, ByteView payload) {
    try {
        const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
        const Json value = json::decode(text);
        if constexpr (std::is_same_v<Record, RestartSourceMessage>) {
            // Nothing is read, but the payload must still be JSON.
            return RestartSourceMessage{};
        } else {
            return json::from<Record>(value);
        }
    } catch (const WireError& error) {
        throw WireError::invalidPayload(std::string(typeCodeName(type)) + ": " + error.detail());
    }
}

}  // namespace

std::optional<TypeCode> controlTypeCode(uint8_t byte) {
    for (TypeCode type : typeCodeByIndex) {
        if (static_cast<uint8_t>(type) == byte) {
            return type;
        }
    }
    return std::nullopt;
}

std::string_view typeCodeName(TypeCode type) {
    switch (type) {
        case TypeCode::hello:
            return "hello";
        case TypeCode::welcome:
            return "welcome";
        case TypeCode::streamInfo:
            return "streamInfo";
        case TypeCode::goodbye:
            return "goodbye";
        case TypeCode::videoFrame:
            return "videoFrame";
        case TypeCode::keyframeRequest:
            return "keyframeRequest";
        case TypeCode::receiverReport:
            return "receiverReport";
        case TypeCode::tierReady:
            return "tierReady";
        case TypeCode::referenceAck:
            return "referenceAck";
        case TypeCode::preferTier:
            return "preferTier";
        case TypeCode::standbyBridge:
            return "standbyBridge";
        case TypeCode::frameRateLimit:
            return "frameRateLimit";
        case TypeCode::restartSource:
            return "restartSource";
        case TypeCode::qualityPreference:
            return "qualityPreference";
        case TypeCode::streamTuning:
            return "streamTuning";
        case TypeCode::streamTuningUpdate:
            return "streamTuningUpdate";
        case TypeCode::timeSyncRequest:
            return "timeSyncRequest";
        case TypeCode::timeSyncResponse:
            return "timeSyncResponse";
        case TypeCode::engineSignal:
            return "engineSignal";
        case TypeCode::mediaAttach:
            return "mediaAttach";
    }
    return "unknown";
}

Bytes TimeSyncMessage::binary() const {
    ByteWriter writer(byteCount);
    writer.writeUInt64(clientSendTime);
    writer.writeUInt64(serverReceiveTime);
    writer.writeUInt64(serverSendTime);
    return std::move(writer).take();
}

TimeSyncMessage TimeSyncMessage::fromBinary(ByteView payload) {
    ByteReader reader(payload);
    TimeSyncMessage message;
    message.clientSendTime = reader.readUInt64();
    message.serverReceiveTime = reader.readUInt64();
    message.serverSendTime = reader.readUInt64();
    return message;
}

TypeCode ControlMessage::typeCode() const {
    return typeCodeByIndex[value.index()];
}

Bytes ControlMessage::encodePayload() const {
    return std::visit(
        [](const auto& caseValue) -> Bytes {
            using T = std::decay_t<decltype(caseValue)>;
            if constexpr (std::is_same_v<T, EncodedVideoFrame>) {
                return caseValue.serialized();
            } else if constexpr (std::is_base_of_v<TimeSyncMessage, T>) {
                return caseValue.binary();
            } else if constexpr (std::is_same_v<T, GoodbyeMessage>) {
                return textBytes(caseValue.reason);
            } else {
                return jsonPayload(caseValue.toJson());
            }
        },
        value);
}

Bytes ControlMessage::encoded() const {
    const auto writeHeader = [this](ByteWriter& writer, size_t payloadLength) {
        if (payloadLength > maximumPayloadLength) {
            throw WireError::messageTooLarge(static_cast<int64_t>(payloadLength));
        }
        writer.writeUInt8(static_cast<uint8_t>(typeCode()));
        writer.writeUInt32(static_cast<uint32_t>(payloadLength));
    };
    // Video frames are the bulk of the traffic: they go straight into the frame buffer without an
    // intermediate payload copy.
    if (const auto* frame = get<EncodedVideoFrame>()) {
        const size_t payloadLength = frame->serializedByteCount();
        ByteWriter writer(headerLength + payloadLength);
        writeHeader(writer, payloadLength);
        frame->serialize(writer);
        return std::move(writer).take();
    }
    const Bytes payload = encodePayload();
    ByteWriter writer(headerLength + payload.size());
    writeHeader(writer, payload.size());
    writer.append(payload);
    return std::move(writer).take();
}

ControlMessage::Header ControlMessage::parseHeader(ByteView header) {
    if (header.empty()) {
        throw WireError::truncated();
    }
    const auto type = controlTypeCode(header[0]);
    if (!type) {
        throw WireError::unknownMessageType(header[0]);
    }
    ByteReader reader(header.subspan(1));
    const uint32_t length = reader.readUInt32();
    if (length > maximumPayloadLength) {
        throw WireError::messageTooLarge(length);
    }
    return Header{*type, length};
}

ControlMessage ControlMessage::decode(TypeCode type, ByteView payload) {
    switch (type) {
        case TypeCode::hello:
            return decodeRecord<HelloMessage>(type, payload);
        case TypeCode::welcome:
            return decodeRecord<WelcomeMessage>(type, payload);
        case TypeCode::streamInfo:
            return decodeRecord<StreamInfoMessage>(type, payload);
        case TypeCode::goodbye:
            // Never fails: a goodbye always carries some reason, with U+FFFD for what is not UTF-8.
            return GoodbyeMessage{
                validUtf8(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()))};
        case TypeCode::videoFrame:
            return EncodedVideoFrame::fromSerialized(payload);
        case TypeCode::keyframeRequest:
            return decodeRecord<KeyframeRequestMessage>(type, payload);
        case TypeCode::receiverReport:
            return decodeRecord<ReceiverReportMessage>(type, payload);
        case TypeCode::tierReady:
            return decodeRecord<TierReadyMessage>(type, payload);
        case TypeCode::referenceAck:
            return decodeRecord<ReferenceAckMessage>(type, payload);
        case TypeCode::preferTier:
            return PreferTierMessage{decodeRecord<TierReadyMessage>(type, payload)};
        case TypeCode::standbyBridge:
            return decodeRecord<StandbyBridgeMessage>(type, payload);
        case TypeCode::frameRateLimit:
            return decodeRecord<FrameRateLimitMessage>(type, payload);
        case TypeCode::restartSource:
            return decodeRecord<RestartSourceMessage>(type, payload);
        case TypeCode::qualityPreference:
            return decodeRecord<QualityPreferenceMessage>(type, payload);
        case TypeCode::streamTuning:
            return decodeRecord<StreamTuning>(type, payload);
        case TypeCode::streamTuningUpdate:
            return StreamTuningUpdate{decodeRecord<StreamTuning>(type, payload)};
        case TypeCode::timeSyncRequest:
            return TimeSyncRequest{TimeSyncMessage::fromBinary(payload)};
        case TypeCode::timeSyncResponse:
            return TimeSyncResponse{TimeSyncMessage::fromBinary(payload)};
        case TypeCode::engineSignal:
            return decodeRecord<EngineSignalMessage>(type, payload);
        case TypeCode::mediaAttach:
            return decodeRecord<MediaAttachMessage>(type, payload);
    }
    throw WireError::unknownMessageType(static_cast<uint8_t>(type));
}

ControlMessageParser::Result ControlMessageParser::append(ByteView bytes) {
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    Result result;
    while (buffer_.size() - consumed_ >= ControlMessage::headerLength) {
        const ByteView pending = ByteView(buffer_).subspan(consumed_);
        ControlMessage::Header header;
        try {
            header = ControlMessage::parseHeader(pending.first(ControlMessage::headerLength));
        } catch (const WireError& error) {
            // The bad header stays in front: the stream cannot be resynchronised.
            result.error = error;
            break;
        }
        const size_t frameLength = ControlMessage::headerLength + header.length;
        if (pending.size() < frameLength) {
            break;
        }
        consumed_ += frameLength;
        try {
            result.messages.push_back(ControlMessage::decode(
                header.type, pending.subspan(ControlMessage::headerLength, header.length)));
        } catch (const WireError& error) {
            // The frame is gone; the next append goes on with the frame after it.
            result.error = error;
            break;
        }
    }
    if (consumed_ == buffer_.size()) {
        // Lets go of the storage of a large frame once it is handed out.
        Bytes().swap(buffer_);
        consumed_ = 0;
    } else if (consumed_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
    return result;
}

}  // namespace kelvora
