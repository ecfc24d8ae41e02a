#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/ControlRecords.h"

namespace kelvora {

// Decides, for all viewers of one sender at once, which quality tier each should get and at which bitrates
// the running tier encoders should work. Pure: the pipeline calls `plan` on the server queue every whole
// second and whenever the sessions change, and applies the result.
class TierPlanner {
  public:
    TierPlanner() = delete;

    static constexpr uint8_t mainTier = 0;
    static constexpr uint8_t middleTier = 1;
    static constexpr uint8_t proxyTier = 2;

    // The lowest bitrate the planner ever asks a tier encoder for, whatever the viewers' figures say (the
    // same floor the rate controllers start from).
    static constexpr int lowestPlannedKbps = 300;

    // Rate thresholds of the planning.
    struct Profile {
        int mainMinimumKbps;    // a main viewer below this steps down
        int middleMinimumKbps;  // a middle viewer below this steps down; a main viewer lands on middle only
                                // at or above it
        int mainUpgradeKbps;    // needed to step up to main
        int middleUpgradeKbps;  // needed to step up from proxy to middle
        int mainProbeKbps;      // cap on the rate counted for a viewer building up to main
        int middleProbeKbps;    // cap on the rate counted for a viewer building up to middle
        int middleMaximumKbps;  // upper bound of the middle tier's bitrate
        double middleShare;     // share of the weakest middle viewer's rate given to the middle tier
        bool middleIsSmall;     // for the pipeline; the planner does not read it

        // mainMinimumKbps for 0, middleMinimumKbps for 1, 0 for any other tier.
        int minimumKbps(uint8_t tier) const;

        bool operator==(const Profile&) const = default;
    };

    // The profile every session starts with.
    static Profile normalProfile();
    // The studio profile for the studio main bitrate and the bitrate the main tier would have outside studio
    // mode.
    static Profile studioProfile(int mainKbps, int middleMaximumKbps);
    // Profile::minimumKbps of the normal profile.
    static int defaultMinimumKbps(uint8_t tier);

    // One viewer's figures.
    struct ClientInput {
        std::string id;                // the session token
        uint8_t tier = 0;              // displayed now
        int estimateKbps = 0;          // from its rate controller
        double stableMs = 0;           // since the estimate became stable
        double msSinceTierChange = 0;  // since the later of the last tier change and the last failed upgrade
        double returnHoldMs = 0;       // stable and unchanged this long before an upgrade
        std::optional<uint8_t> candidateTier;  // being built beside the displayed one
        StreamQuality quality = StreamQuality::automatic;
        int standbyKbps = 0;  // taken by the proxy standby stream beside the main tier

        // Building up to a better tier.
        bool isUpgrading() const { return candidateTier && *candidateTier < tier; }

        bool operator==(const ClientInput&) const = default;
    };

    struct Plan {
        std::map<std::string, uint8_t> assignments;  // tier per viewer id, fitted to the running tiers
        int mainKbps = 0;
        std::optional<int> middleKbps;       // absent when nobody is on middle or building up to it
        std::optional<int> proxyClientKbps;  // lowest estimate among the proxy viewers; absent without any

        bool operator==(const Plan&) const = default;
    };

    static Plan plan(const std::vector<ClientInput>& clients, int defaultMainKbps, bool adaptiveBitrate,
                     bool proxyEnabled, bool middleRunning, bool mainEnabled, const Profile& profile);

    // The rates one tier must serve: every viewer assigned to it or building it, in input order.
    static std::vector<int> tierRates(uint8_t tier, int probeKbps, const std::vector<ClientInput>& clients,
                                      const std::map<std::string, uint8_t>& assignments);

  private:
    static uint8_t desiredTier(const ClientInput& client, bool adaptiveBitrate, bool middleRunning,
                               const Profile& profile);
};

}  // namespace kelvora
