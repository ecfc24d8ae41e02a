#include "sender/pipeline/TierSteering.h"

#include <algorithm>
#include <climits>
#include <optional>
#include <string>
#include <utility>

#include "core/Log.h"
#include "sender/pipeline/FrameIntake.h"
#include "sender/pipeline/TierLayout.h"
#include "sender/server/SaturatingMath.h"
#include "sender/server/SenderSession.h"

namespace kelvora {

namespace {

constexpr double provisionalShowAfterMs = 1000;
constexpr double upgradeTimeoutMs = 4000;
constexpr int cappedEstimateKbps = 6000;
constexpr double capacityMaximumAgeMs = 30000;
constexpr double capacityShare = 0.85;

double msSince(uint64_t from, uint64_t now) {
    return elapsedMilliseconds(from, now);
}

}  // namespace

void TierSteering::updateRate(SenderSession& session, const SenderSettings& settings,
                              const TierPlanner::Profile& profile, bool standby, uint64_t now) {
    session.hotStandbyEnabled = standby;
    session.tierProfile = profile;
    session.checkCollapse(now);
    std::optional<ReceiverReportMessage> report = std::exchange(session.unconsumedReport, std::nullopt);
    int64_t events = nonNegative(session.congestionEventsSinceUpdate);
    if (session.framesOfferedSinceUpdate >= 10 &&
        session.framesOfferedSinceUpdate < 4 * session.primaryDropsSinceUpdate) {
        events += 1;
    }
    session.congestionEventsSinceUpdate = 0;
    session.framesOfferedSinceUpdate = 0;
    session.primaryDropsSinceUpdate = 0;

    ClientRateController& rate = session.rateController;
    rate.isTolerant = settings.tolerantAdaptation;
    const int offeredKbps = clampedInt<int>(session.offeredBytesMeter.rate(now) * 8 / 1000);
    const int eventCount = int(std::min<int64_t>(events, INT_MAX));
    rate.update(report, eventCount, offeredKbps, false, session.tier == TierLayout::proxyTier, now);
    if (session.sink) {
        if (auto capacity = session.sink->takeDeliveryEstimate()) {
            const bool problem =
                events > 0 || (report && (report->framesDropped >= 1 || report->framesLost >= 1 ||
                                          report->framesLate >= 1 || report->decodeErrors > 0));
            rate.applyCapacityMeasurement(*capacity, problem, now);
        }
    }
    const bool onSmallTier = session.tier == TierLayout::proxyTier ||
                             (session.tier == TierLayout::middleTier && profile.middleIsSmall);
    if (session.qualityPreference != StreamQuality::full && onSmallTier) {
        std::optional<int> cap;
        if (session.lastTierChange != 0 || session.hadUpgradeAttempt) {
            cap = cappedEstimateKbps;
        }
        if (auto capacity = rate.recentCapacity(now, capacityMaximumAgeMs)) {
            const int measured = clampedInt<int>(*capacity * capacityShare);
            cap = cap ? std::min(*cap, measured) : measured;
        }
        if (cap) {
            rate.estimateKbps = std::max(std::min(rate.estimateKbps, *cap), rate.minimumKbps);
        }
    }
}

TierPlanner::ClientInput TierSteering::plannerInput(const SenderSession& session, int proxyKbps,
                                                    uint64_t now) {
    TierPlanner::ClientInput input;
    input.id = session.token;
    input.tier = session.tier;
    input.estimateKbps = session.rateController.estimateKbps;
    input.stableMs = session.rateController.stableMs(now);
    input.msSinceTierChange = msSince(std::max(session.lastFailedUpgrade, session.lastTierChange), now);
    input.returnHoldMs = session.proxyReturnHoldMs;
    if (session.hadUpgradeAttempt && session.lastTierChange == 0) {
        input.returnHoldMs = session.proxyReturnHoldMs > 4000 ? session.proxyReturnHoldMs : 3000;
    }
    input.candidateTier = session.candidateTier;
    input.quality = session.qualityPreference;
    if (receivesStandbyProxy(session)) {
        input.standbyKbps = proxyKbps;
    }
    return input;
}

void TierSteering::steer(SenderSession& session, const TierPlanner::Plan& plan,
                         const TierPlanner::Profile& profile, bool studioMode, uint64_t now) {
    if (session.candidateTier && session.provisionalReadySince &&
        msSince(*session.provisionalReadySince, now) > provisionalShowAfterMs) {
        session.showTier(*session.candidateTier);
    }
    if (session.candidateTier && *session.candidateTier < session.tier &&
        msSince(session.candidateSince, now) > upgradeTimeoutMs) {
        session.abortTierSwitch(true, "Zeitlimit");
    }
    if (session.candidateTier && *session.candidateTier < session.tier &&
        session.qualityPreference != StreamQuality::full) {
        const int minimum = profile.minimumKbps(*session.candidateTier);
        if (session.rateController.estimateKbps < minimum) {
            session.abortTierSwitch(true, "Schätzung unter " + std::to_string(minimum) + " kbit/s");
        }
    }
    auto assigned = plan.assignments.find(session.token);
    if (assigned == plan.assignments.end()) {
        return;
    }
    const uint8_t target = assigned->second;
    if (target == session.tier) {
        if (session.candidateTier && *session.candidateTier >= target) {
            session.abortTierSwitch(false, "nicht mehr nötig");
        }
    } else if (session.candidateTier != target) {
        Log::bitrate().info("{} wechselt auf {}", session.hello.clientName,
                            TierLayout::tierName(target, studioMode));
        session.beginParallelTierBuild(target);
    }
}

bool TierSteering::buildsUpTo(const SenderSession& session, const TierPlanner::Plan& plan, uint8_t tier) {
    if (tier >= session.tier) {
        return false;
    }
    const auto assigned = plan.assignments.find(session.token);
    return session.candidateTier == tier || (assigned != plan.assignments.end() && assigned->second == tier);
}

bool TierSteering::receivesStandbyProxy(const SenderSession& session) {
    return session.hotStandbyEnabled && session.hello.protocolVersion >= 4 &&
           session.tier == TierLayout::mainTier &&
           (!session.candidateTier || *session.candidateTier != TierLayout::proxyTier);
}

}  // namespace kelvora
