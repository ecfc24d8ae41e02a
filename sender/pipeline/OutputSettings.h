#pragma once

#include <optional>
#include <string>

#include "core/Json.h"
#include "core/VideoDimensions.h"

namespace kelvora {

// One extra output: a further source sent as a sender of its own, kept inside the main settings.
struct OutputSettings {
    std::string id;
    std::string name;
    // A capture-device or NDI id, "testpattern", or none.
    std::optional<std::string> sourceID;
    // Forced picture size; none follows the source.
    std::optional<VideoDimensions> resolution;
    // Forced frame rate; none follows the source.
    std::optional<int> frameRate;

    bool operator==(const OutputSettings&) const = default;

    // Strict: "id" and "name" must be strings; the optional keys, when present, must have their type. The
    // stored settings read their outputs key by key instead (SenderSettings::fromJson).
    static OutputSettings fromJson(const Json& object);
    Json toJson() const;
};

}  // namespace kelvora
