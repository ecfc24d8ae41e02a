#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/Json.h"

namespace kelvora {

// The sender's remotely adjustable stream settings and the tiers running now. The sender sends it as
// streamTuning; a viewer sends an edited copy back as streamTuningUpdate.
struct StreamTuning {
    // One running tier (information only; a viewer's edits of it are not applied).
    struct Tier {
        uint8_t tier = 0;
        int width = 0;   // pixels, 0...65535
        int height = 0;  // pixels, 0...65535
        int bitrateKbps = 0;
        double frameRate = 0;
        int clientCount = 0;

        bool operator==(const Tier&) const = default;

        static Tier fromJson(const Json& object);
        Json toJson() const;
    };

    bool remoteControlAllowed = false;
    bool adaptiveBitrate = false;
    bool tolerantAdaptation = false;
    bool mainTierEnabled = false;
    bool middleTierEnabled = false;
    bool proxyEnabled = false;
    bool studioMode = false;
    bool automaticBitrate = false;
    int mainMaximumKbps = 0;
    int mainMinimumKbps = 0;
    int proxyKbps = 0;
    int maximumFrameRate = 0;
    std::optional<bool> fullBitrateEncoder;  // absent when the sender does not send it
    std::vector<Tier> tiers;                 // in the order the sender lists them

    bool operator==(const StreamTuning&) const = default;

    static StreamTuning fromJson(const Json& object);
    Json toJson() const;
};

}  // namespace kelvora
