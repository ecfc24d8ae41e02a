#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/EngineKind.h"
#include "core/Json.h"
#include "core/StreamInfoMessage.h"
#include "core/VideoCodec.h"

// The small JSON records of the control channel. Each encodes its fields in declaration order under their
// own names, leaves absent optionals out, and decodes strictly (see core/Json.h). The larger records live in
// StreamInfoMessage.h, StreamTuning.h and ReceiverReportMessage.h.

namespace kelvora {

// The viewer's first message on the control channel.
struct HelloMessage {
    // What viewers of this system send; the sender answers with it too.
    static constexpr int currentProtocolVersion = 4;
    // The oldest hello a sender accepts.
    static constexpr int minimumProtocolVersion = 2;

    std::string clientID;  // persistent: a new connection with the same id replaces the old one
    std::string clientName;
    // Read in full: a version far outside the known ones must still be told "protocol version mismatch".
    int64_t protocolVersion = 0;
    EngineKind engine;
    std::vector<VideoCodec> supportedCodecs;
    std::string deviceModel;
    std::optional<bool> supportsTuning;  // absent counts as false

    bool operator==(const HelloMessage&) const = default;

    static HelloMessage fromJson(const Json& object);
    Json toJson() const;
};

// The sender's answer to an accepted hello.
struct WelcomeMessage {
    std::string senderName;
    int64_t protocolVersion = 0;
    std::string sessionToken;  // new per connection; media connections present it in their attach
    EngineKind engine;
    std::map<std::string, std::string> engineParameters;  // QUIC: "quicPort", "quicFingerprint"
    StreamInfoMessage stream;
    std::optional<std::string> senderID;
    std::optional<bool> supportsTuning;

    bool operator==(const WelcomeMessage&) const = default;

    static WelcomeMessage fromJson(const Json& object);
    Json toJson() const;
};

struct KeyframeRequestMessage {
    enum class Reason { connect, frameLoss, decoderError, formatChange, manual };

    Reason reason = Reason::connect;
    std::optional<uint8_t> tier;  // absent: the tier the sender currently shows this viewer

    bool operator==(const KeyframeRequestMessage&) const = default;

    static KeyframeRequestMessage fromJson(const Json& object);
    Json toJson() const;
};

// As tierReady: the viewer can now show `tier`. As preferTier: the sender asks the viewer to prefer it.
struct TierReadyMessage {
    uint8_t tier = 0;
    std::optional<bool> provisional;  // an early, tentative readiness report; absent counts as false

    bool operator==(const TierReadyMessage&) const = default;

    static TierReadyMessage fromJson(const Json& object);
    Json toJson() const;
};

// The viewer's decodable reference chain on one tier: frame numbers of the keyframe that started it and of
// its newest reference frame.
struct ReferenceAckMessage {
    uint8_t tier = 0;
    uint64_t chainStart = 0;
    uint64_t newest = 0;

    bool operator==(const ReferenceAckMessage&) const = default;

    static ReferenceAckMessage fromJson(const Json& object);
    Json toJson() const;
};

// The viewer starts (or stops) showing frames of `tier` to bridge a pause of its displayed tier.
struct StandbyBridgeMessage {
    bool active = false;
    uint8_t tier = 0;

    bool operator==(const StandbyBridgeMessage&) const = default;

    static StandbyBridgeMessage fromJson(const Json& object);
    Json toJson() const;
};

struct FrameRateLimitMessage {
    uint16_t maxFps = 0;  // 0 lifts the limit

    bool operator==(const FrameRateLimitMessage&) const = default;

    static FrameRateLimitMessage fromJson(const Json& object);
    Json toJson() const;
};

// A viewer's wish for its picture.
enum class StreamQuality { automatic, full, proxy };

inline constexpr std::array<StreamQuality, 3> allStreamQualities{StreamQuality::automatic,
                                                                 StreamQuality::full, StreamQuality::proxy};

struct QualityPreferenceMessage {
    StreamQuality quality = StreamQuality::automatic;

    bool operator==(const QualityPreferenceMessage&) const = default;

    static QualityPreferenceMessage fromJson(const Json& object);
    Json toJson() const;
};

// No fields: "{}" on the wire, and any JSON payload reads as this message.
struct RestartSourceMessage {
    bool operator==(const RestartSourceMessage&) const = default;

    static RestartSourceMessage fromJson(const Json&) { return {}; }
    Json toJson() const { return Json::object(); }
};

// Signalling of one media engine over the control channel; QUIC uses the kind "rotate" with no payload.
struct EngineSignalMessage {
    EngineKind engine;
    std::string kind;
    std::string payload;

    bool operator==(const EngineSignalMessage&) const = default;

    static EngineSignalMessage fromJson(const Json& object);
    Json toJson() const;
};

// The first message on a media connection: binds it to the session of the welcome that gave the token.
struct MediaAttachMessage {
    std::string sessionToken;

    bool operator==(const MediaAttachMessage&) const = default;

    static MediaAttachMessage fromJson(const Json& object);
    Json toJson() const;
};

template <>
struct json::EnumStrings<KeyframeRequestMessage::Reason> {
    using Reason = KeyframeRequestMessage::Reason;
    static constexpr std::pair<Reason, std::string_view> values[] = {
        {Reason::connect, "connect"},
        {Reason::frameLoss, "frameLoss"},
        {Reason::decoderError, "decoderError"},
        {Reason::formatChange, "formatChange"},
        {Reason::manual, "manual"},
    };
};

template <>
struct json::EnumStrings<StreamQuality> {
    static constexpr std::pair<StreamQuality, std::string_view> values[] = {
        {StreamQuality::automatic, "automatic"},
        {StreamQuality::full, "full"},
        {StreamQuality::proxy, "proxy"},
    };
};

}  // namespace kelvora
