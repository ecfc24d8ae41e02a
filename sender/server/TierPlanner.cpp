#include "sender/server/TierPlanner.h"

#include <algorithm>
#include <cstdlib>

#include "sender/server/SaturatingMath.h"

namespace kelvora {

int TierPlanner::Profile::minimumKbps(uint8_t tier) const {
    switch (tier) {
        case mainTier:
            return mainMinimumKbps;
        case middleTier:
            return middleMinimumKbps;
        default:
            return 0;
    }
}

TierPlanner::Profile TierPlanner::normalProfile() {
    return Profile{
        .mainMinimumKbps = 2000,
        .middleMinimumKbps = 1500,
        .mainUpgradeKbps = 2600,
        .middleUpgradeKbps = 1900,
        .mainProbeKbps = 2400,
        .middleProbeKbps = 1400,
        .middleMaximumKbps = 2500,
        .middleShare = 0.6,
        .middleIsSmall = true,
    };
}

TierPlanner::Profile TierPlanner::studioProfile(int mainKbps, int middleMaximumKbps) {
    // Computed wide so that an absurd configured bitrate cannot wrap.
    const int64_t triple = 3 * static_cast<int64_t>(mainKbps);
    const int64_t mainMinimum = triple < 120000 ? 12000 : triple / 10;
    const int64_t upgrade = 13 * mainMinimum / 10;
    return Profile{
        .mainMinimumKbps = clampedInt<int>(static_cast<double>(mainMinimum)),
        .middleMinimumKbps = 2000,
        .mainUpgradeKbps = clampedInt<int>(static_cast<double>(upgrade)),
        .middleUpgradeKbps = 2600,
        .mainProbeKbps = clampedInt<int>(static_cast<double>(upgrade)),
        .middleProbeKbps = 2400,
        .middleMaximumKbps = middleMaximumKbps,
        .middleShare = 0.85,
        .middleIsSmall = false,
    };
}

int TierPlanner::defaultMinimumKbps(uint8_t tier) {
    return normalProfile().minimumKbps(tier);
}

uint8_t TierPlanner::desiredTier(const ClientInput& client, bool adaptiveBitrate, bool middleRunning,
                                 const Profile& profile) {
    if (!adaptiveBitrate) {
        return mainTier;
    }
    switch (client.quality) {
        case StreamQuality::full:
            return mainTier;
        case StreamQuality::proxy:
            return proxyTier;
        case StreamQuality::automatic:
            break;
    }

    // Steps down only wait for two seconds since the last change; steps up need the return hold.
    const bool holdPassed =
        client.returnHoldMs < client.stableMs && client.returnHoldMs < client.msSinceTierChange;
    const bool mayStepDown = client.msSinceTierChange > 2000;
    const int estimate = client.estimateKbps;

    if (client.tier == mainTier) {
        if (mayStepDown && estimate < profile.mainMinimumKbps) {
            return (middleRunning && estimate >= profile.middleMinimumKbps) ? middleTier : proxyTier;
        }
        return mainTier;
    }
    if (client.tier == middleTier) {
        if (middleRunning) {
            if (mayStepDown && estimate < profile.middleMinimumKbps) {
                return proxyTier;
            }
            if (estimate >= profile.mainUpgradeKbps && holdPassed) {
                return mainTier;
            }
            return middleTier;
        }
        return (estimate >= profile.mainUpgradeKbps && holdPassed) ? mainTier : proxyTier;
    }
    // The proxy, or a number we do not know: one running tier up at a time.
    if (!holdPassed) {
        return proxyTier;
    }
    if (middleRunning) {
        return estimate >= profile.middleUpgradeKbps ? middleTier : proxyTier;
    }
    return estimate >= profile.mainUpgradeKbps ? mainTier : proxyTier;
}

std::vector<int> TierPlanner::tierRates(uint8_t tier, int probeKbps, const std::vector<ClientInput>& clients,
                                        const std::map<std::string, uint8_t>& assignments) {
    std::vector<int> rates;
    for (const ClientInput& client : clients) {
        const auto assigned = assignments.find(client.id);
        const bool servesTier = (assigned != assignments.end() && assigned->second == tier) ||
                                (client.candidateTier && *client.candidateTier == tier);
        if (!servesTier) {
            continue;
        }
        int value = client.estimateKbps;
        if (tier == mainTier) {
            value = clampedInt<int>(static_cast<double>(client.estimateKbps) -
                                    static_cast<double>(client.standbyKbps));
        }
        if (client.isUpgrading() && *client.candidateTier == tier && probeKbps < value) {
            value = probeKbps;
        }
        rates.push_back(value);
    }
    return rates;
}

TierPlanner::Plan TierPlanner::plan(const std::vector<ClientInput>& clients, int defaultMainKbps,
                                    bool adaptiveBitrate, bool proxyEnabled, bool middleRunning,
                                    bool mainEnabled, const Profile& profile) {
    std::vector<uint8_t> running;
    if (mainEnabled) {
        running.push_back(mainTier);
    }
    if (middleRunning) {
        running.push_back(middleTier);
    }
    if (proxyEnabled) {
        running.push_back(proxyTier);
    }
    if (running.empty()) {
        running.push_back(mainTier);
    }

    Plan result;
    for (const ClientInput& client : clients) {
        const uint8_t desired = desiredTier(client, adaptiveBitrate, middleRunning, profile);
        // The nearest running tier; on a tie the lower number, which comes first in the list.
        uint8_t fitted = running.front();
        for (uint8_t tier : running) {
            if (std::abs(tier - desired) < std::abs(fitted - desired)) {
                fitted = tier;
            }
        }
        result.assignments[client.id] = fitted;
    }

    // A viewer's figures can leave nothing for the main tier (a standby stream taking all of a small
    // estimate); an encoder asked for zero or less would not produce a picture at all.
    const std::vector<int> mainRates =
        tierRates(mainTier, profile.mainProbeKbps, clients, result.assignments);
    const int mainKbps =
        mainRates.empty() ? defaultMainKbps : *std::min_element(mainRates.begin(), mainRates.end());
    result.mainKbps = std::max(mainKbps, lowestPlannedKbps);

    const std::vector<int> middleRates =
        tierRates(middleTier, profile.middleProbeKbps, clients, result.assignments);
    if (!middleRates.empty()) {
        const int weakest = *std::min_element(middleRates.begin(), middleRates.end());
        const int share = clampedInt<int>(profile.middleShare * weakest);
        result.middleKbps = std::max(std::min(share, profile.middleMaximumKbps), lowestPlannedKbps);
    }

    for (const ClientInput& client : clients) {
        if (result.assignments[client.id] != proxyTier) {
            continue;
        }
        if (!result.proxyClientKbps || client.estimateKbps < *result.proxyClientKbps) {
            result.proxyClientKbps = client.estimateKbps;
        }
    }
    return result;
}

}  // namespace kelvora
