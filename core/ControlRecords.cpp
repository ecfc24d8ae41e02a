#include "core/ControlRecords.h"

namespace kelvora {

HelloMessage HelloMessage::fromJson(const Json& object) {
    return {
        json::read<std::string>(object, "clientID"),
        json::read<std::string>(object, "clientName"),
        json::read<int64_t>(object, "protocolVersion"),
        json::read<EngineKind>(object, "engine"),
        json::read<std::vector<VideoCodec>>(object, "supportedCodecs"),
        json::read<std::string>(object, "deviceModel"),
        json::readOptional<bool>(object, "supportsTuning"),
    };
}

Json HelloMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "clientID", clientID);
    json::write(object, "clientName", clientName);
    json::write(object, "protocolVersion", protocolVersion);
    json::write(object, "engine", engine);
    json::write(object, "supportedCodecs", supportedCodecs);
    json::write(object, "deviceModel", deviceModel);
    json::writeOptional(object, "supportsTuning", supportsTuning);
    return object;
}

WelcomeMessage WelcomeMessage::fromJson(const Json& object) {
    return {
        json::read<std::string>(object, "senderName"),
        json::read<int64_t>(object, "protocolVersion"),
        json::read<std::string>(object, "sessionToken"),
        json::read<EngineKind>(object, "engine"),
        json::read<std::map<std::string, std::string>>(object, "engineParameters"),
        json::read<StreamInfoMessage>(object, "stream"),
        json::readOptional<std::string>(object, "senderID"),
        json::readOptional<bool>(object, "supportsTuning"),
    };
}

Json WelcomeMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "senderName", senderName);
    json::write(object, "protocolVersion", protocolVersion);
    json::write(object, "sessionToken", sessionToken);
    json::write(object, "engine", engine);
    json::write(object, "engineParameters", engineParameters);
    json::write(object, "stream", stream);
    json::writeOptional(object, "senderID", senderID);
    json::writeOptional(object, "supportsTuning", supportsTuning);
    return object;
}

KeyframeRequestMessage KeyframeRequestMessage::fromJson(const Json& object) {
    return {json::read<Reason>(object, "reason"), json::readOptional<uint8_t>(object, "tier")};
}

Json KeyframeRequestMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "reason", reason);
    json::writeOptional(object, "tier", tier);
    return object;
}

TierReadyMessage TierReadyMessage::fromJson(const Json& object) {
    return {json::read<uint8_t>(object, "tier"), json::readOptional<bool>(object, "provisional")};
}

Json TierReadyMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "tier", tier);
    json::writeOptional(object, "provisional", provisional);
    return object;
}

ReferenceAckMessage ReferenceAckMessage::fromJson(const Json& object) {
    return {
        json::read<uint8_t>(object, "tier"),
        json::read<uint64_t>(object, "chainStart"),
        json::read<uint64_t>(object, "newest"),
    };
}

Json ReferenceAckMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "tier", tier);
    json::write(object, "chainStart", chainStart);
    json::write(object, "newest", newest);
    return object;
}

StandbyBridgeMessage StandbyBridgeMessage::fromJson(const Json& object) {
    return {json::read<bool>(object, "active"), json::read<uint8_t>(object, "tier")};
}

Json StandbyBridgeMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "active", active);
    json::write(object, "tier", tier);
    return object;
}

FrameRateLimitMessage FrameRateLimitMessage::fromJson(const Json& object) {
    return {json::read<uint16_t>(object, "maxFps")};
}

Json FrameRateLimitMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "maxFps", maxFps);
    return object;
}

QualityPreferenceMessage QualityPreferenceMessage::fromJson(const Json& object) {
    return {json::read<StreamQuality>(object, "quality")};
}

Json QualityPreferenceMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "quality", quality);
    return object;
}

EngineSignalMessage EngineSignalMessage::fromJson(const Json& object) {
    return {
        json::read<EngineKind>(object, "engine"),
        json::read<std::string>(object, "kind"),
        json::read<std::string>(object, "payload"),
    };
}

Json EngineSignalMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "engine", engine);
    json::write(object, "kind", kind);
    json::write(object, "payload", payload);
    return object;
}

MediaAttachMessage MediaAttachMessage::fromJson(const Json& object) {
    return {json::read<std::string>(object, "sessionToken")};
}

Json MediaAttachMessage::toJson() const {
    Json object = Json::object();
    json::write(object, "sessionToken", sessionToken);
    return object;
}

}  // namespace kelvora
