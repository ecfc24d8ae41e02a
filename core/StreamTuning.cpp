#include "core/StreamTuning.h"

#include "core/VideoDimensions.h"

namespace kelvora {

StreamTuning::Tier StreamTuning::Tier::fromJson(const Json& object) {
    return {
        json::read<uint8_t>(object, "tier"),
        VideoDimensions::sideFromJson(object, "width"),
        VideoDimensions::sideFromJson(object, "height"),
        json::read<int>(object, "bitrateKbps"),
        json::read<double>(object, "frameRate"),
        json::read<int>(object, "clientCount"),
    };
}

Json StreamTuning::Tier::toJson() const {
    Json object = Json::object();
    json::write(object, "tier", tier);
    json::write(object, "width", width);
    json::write(object, "height", height);
    json::write(object, "bitrateKbps", bitrateKbps);
    json::write(object, "frameRate", frameRate);
    json::write(object, "clientCount", clientCount);
    return object;
}

StreamTuning StreamTuning::fromJson(const Json& object) {
    return {
        json::read<bool>(object, "remoteControlAllowed"),
        json::read<bool>(object, "adaptiveBitrate"),
        json::read<bool>(object, "tolerantAdaptation"),
        json::read<bool>(object, "mainTierEnabled"),
        json::read<bool>(object, "middleTierEnabled"),
        json::read<bool>(object, "proxyEnabled"),
        json::read<bool>(object, "studioMode"),
        json::read<bool>(object, "automaticBitrate"),
        json::read<int>(object, "mainMaximumKbps"),
        json::read<int>(object, "mainMinimumKbps"),
        json::read<int>(object, "proxyKbps"),
        json::read<int>(object, "maximumFrameRate"),
        json::readOptional<bool>(object, "fullBitrateEncoder"),
        json::read<std::vector<Tier>>(object, "tiers"),
    };
}

Json StreamTuning::toJson() const {
    Json object = Json::object();
    json::write(object, "remoteControlAllowed", remoteControlAllowed);
    json::write(object, "adaptiveBitrate", adaptiveBitrate);
    json::write(object, "tolerantAdaptation", tolerantAdaptation);
    json::write(object, "mainTierEnabled", mainTierEnabled);
    json::write(object, "middleTierEnabled", middleTierEnabled);
    json::write(object, "proxyEnabled", proxyEnabled);
    json::write(object, "studioMode", studioMode);
    json::write(object, "automaticBitrate", automaticBitrate);
    json::write(object, "mainMaximumKbps", mainMaximumKbps);
    json::write(object, "mainMinimumKbps", mainMinimumKbps);
    json::write(object, "proxyKbps", proxyKbps);
    json::write(object, "maximumFrameRate", maximumFrameRate);
    json::writeOptional(object, "fullBitrateEncoder", fullBitrateEncoder);
    json::write(object, "tiers", tiers);
    return object;
}

}  // namespace kelvora
