#pragma once

#include <cstdint>
#include <optional>

#include "sender/pipeline/SenderSettings.h"

namespace kelvora {

// The bitrate and pacing target for one running tier encoder, from what the planner asks of it.
//
// The rate stays between a floor (the main minimum for tier 0, 1000 kbit/s otherwise, never above the cap)
// and the cap. The frame rate is limited by the settings' maximum (tier 0) and by the near-30 limit of the
// middle tier. With frame-rate-first adaptation a tier that cannot get the bitrate its measured output needs
// keeps its picture quality and drops to 1/2, 1/3, 1/4 or 1/6 of its rate instead, never below the minimum
// frame rate. While a viewer builds up to the tier beside the one it shows, the tier keeps the rate that
// viewer's warm-up needs before it takes the tier over. Pure: the pipeline reads the encoder and the tier's
// meter and applies the result.
struct TierRate {
    struct Request {
        uint8_t tier = 0;
        int requestedKbps = 0;
        int capKbps = 0;
        // The rate the output works from.
        int frameRate = 30;
        // The encoder's pacing target now; none means the full rate.
        std::optional<double> currentTargetFrameRate;
        // What the tier actually put out lately, kbit/s.
        double measuredKbps = 0;
        // A viewer is building up to this tier beside a smaller one.
        bool upgradeBuilding = false;
    };

    int bitrateKbps = 0;
    // None: every picture.
    std::optional<double> targetFrameRate;

    bool operator==(const TierRate&) const = default;

    static TierRate decide(const SenderSettings& settings, const Request& request);
};

}  // namespace kelvora
