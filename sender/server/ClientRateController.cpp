#include "sender/server/ClientRateController.h"

#include <algorithm>
#include <cmath>

#include "core/Log.h"
#include "core/MonotonicClock.h"
#include "sender/server/SaturatingMath.h"

namespace kelvora {

namespace {

// Milliseconds from `then` to `now`; a stored 0 means never, which is as long ago as it gets.
double msSince(uint64_t then, uint64_t now) {
    if (then == 0) {
        return INFINITY;
    }
    return MonotonicClock::milliseconds(then, now);
}

// What the controller reads of a viewer's report, made safe: negative counters count as nothing and a latency
// that is no finite number counts as unknown.
struct ReportFigures {
    int64_t intervalMs;
    int64_t dropped;
    int64_t lost;
    int64_t late;
    int64_t bytesReceived;
    int64_t decodeErrors;
    double latencyMs;

    explicit ReportFigures(const ReceiverReportMessage& report)
        : intervalMs(report.intervalMs),
          dropped(nonNegative<int64_t>(report.framesDropped)),
          lost(nonNegative<int64_t>(report.framesLost)),
          late(nonNegative<int64_t>(report.framesLate)),
          bytesReceived(nonNegative<int64_t>(report.bytesReceived)),
          decodeErrors(nonNegative<int64_t>(report.decodeErrors)),
          latencyMs(std::isfinite(report.latencyMedianMs) ? report.latencyMedianMs : 0.0) {}

    bool usableAsRate() const { return intervalMs > 0; }
    // Received kbit/s over the report's interval.
    double receivedKbps() const {
        return static_cast<double>(bytesReceived) * 8.0 / static_cast<double>(intervalMs);
    }
    int64_t droppedOrLate() const { return saturatingAdd(dropped, late); }
};

}  // namespace

ClientRateController::ClientRateController(int startKbps, int minimumKbps, int maximumKbps, uint64_t now)
    : estimateKbps(std::min(std::max(startKbps, minimumKbps), maximumKbps)),
      minimumKbps(minimumKbps),
      maximumKbps(maximumKbps),
      stableSince(now),
      startedAt(now) {}

int ClientRateController::bounded(int kbps) const {
    return std::min(std::max(kbps, minimumKbps), maximumKbps);
}

void ClientRateController::setBounds(int minimum, int maximum) {
    minimumKbps = minimum;
    maximumKbps = maximum;
    estimateKbps = bounded(estimateKbps);
}

bool ClientRateController::update(const std::optional<ReceiverReportMessage>& report, int congestionEvents,
                                  int offeredKbps, bool skipOfferedCheck, bool onProxyTier, uint64_t now) {
    const bool congested = congestionEvents > 0;
    const double marginMs = isTolerant ? 80.0 : 25.0;
    std::optional<ReportFigures> figures;
    if (report) {
        figures.emplace(*report);
    }

    // Reports from the first two seconds describe the start-up, not the path: they are not judged then.
    bool problem = false;
    if (figures && MonotonicClock::milliseconds(startedAt, now) > 2000.0) {
        const bool counters =
            figures->dropped > 0 || figures->lost > 0 || figures->late > 0 || figures->decodeErrors >= 1;
        bool highLatency = false;
        if (figures->latencyMs > 0) {
            latencyBaseline.add(figures->latencyMs);
            const auto minimum = latencyBaseline.minimum();
            highLatency = minimum && figures->latencyMs > *minimum + marginMs;
        }
        problem = counters || highLatency;
    }

    if (!congested && !problem) {
        const double stableNeededMs = isTolerant ? 1500.0 : 3000.0;
        if (stableMs(now) > stableNeededMs && msSince(lastIncrease, now) > 1500.0) {
            const double factor = (onProxyTier || isTolerant) ? 1.25 : 1.15;
            const int old = estimateKbps;
            estimateKbps = std::min(saturatingAdd(clampedInt<int>(estimateKbps * factor), 200), maximumKbps);
            lastIncrease = now;
            return estimateKbps != old;
        }
        return false;
    }

    bool severe = true;
    if (figures) {
        if (isTolerant) {
            severe = congestionEvents >= 3 || figures->intervalMs <= 200 || figures->lost >= 2 ||
                     figures->decodeErrors != 0 || figures->droppedOrLate() >= 7;
        } else {
            severe = congestionEvents >= 2 || figures->intervalMs <= 200 || figures->lost >= 1 ||
                     figures->decodeErrors != 0 || figures->droppedOrLate() >= 3;
        }
    }
    if (!severe) {
        const auto minimum = latencyBaseline.minimum();
        const bool latencyFine =
            figures->latencyMs <= 0 || !minimum || figures->latencyMs <= *minimum + marginMs;
        const bool offeredFine = skipOfferedCheck || offeredKbps <= figures->receivedKbps() * 1.25;
        if (latencyFine && offeredFine) {
            // A mild hiccup the path absorbed: keep the estimate, but the stable stretch starts over.
            stableSince = now;
            return false;
        }
    }

    lastProblem = now;
    stableSince = now;
    const double holdMs = isTolerant ? 3000.0 : 1500.0;
    if (lastDecrease != 0 && msSince(lastDecrease, now) <= holdMs) {
        return false;
    }
    const int old = estimateKbps;
    estimateKbps = std::max(decreasedEstimate(report, congested, offeredKbps, skipOfferedCheck), minimumKbps);
    lastDecrease = now;
    const int64_t receivedKbps =
        (figures && figures->intervalMs >= 1) ? clampedInt<int64_t>(figures->receivedKbps()) : -1;
    Log::bitrate().debug(
        "Schätzung {} → {}: Stau-Ereignisse {}, Empfänger verworfen {} verloren {} zu spät {} Fehler {}, "
        "Latenz {} "
        "ms, empfangen {} angeboten {} kbit/s",
        old, estimateKbps, congestionEvents, figures ? figures->dropped : 0, figures ? figures->lost : 0,
        figures ? figures->late : 0, figures ? figures->decodeErrors : 0,
        figures ? clampedInt<int64_t>(figures->latencyMs) : 0, receivedKbps, offeredKbps);
    return estimateKbps != old;
}

int ClientRateController::decreasedEstimate(const std::optional<ReceiverReportMessage>& report,
                                            bool congested, int offeredKbps, bool skipOfferedCheck) const {
    const int base = clampedInt<int>(estimateKbps * (isTolerant ? 0.85 : 0.75));
    if (!report) {
        return base;
    }
    const ReportFigures figures(*report);
    if (figures.intervalMs < 201 || figures.bytesReceived < 1) {
        return base;
    }
    const double rx = figures.receivedKbps();
    const int measured = std::min(std::max(clampedInt<int>(rx * 0.9), estimateKbps / 3), estimateKbps);
    if (congested) {
        return (skipOfferedCheck || rx * 1.25 < offeredKbps) ? measured
                                                             : clampedInt<int>(estimateKbps * 0.85);
    }
    return rx >= estimateKbps * 0.5 ? measured : base;
}

bool ClientRateController::applyCapacityMeasurement(double capacityKbps, bool congested, uint64_t now) {
    // A sample that is no number says nothing about the path.
    if (!std::isfinite(capacityKbps)) {
        return false;
    }
    lastCapacityKbps = capacityKbps;
    lastCapacityAt = now;
    const int target = clampedInt<int>(capacityKbps * (isTolerant ? 0.9 : 0.85));
    const int up = clampedInt<int>(capacityKbps * 0.7);

    bool lower = false;
    if (!isTolerant) {
        lower = congested ? target < estimateKbps : (target < estimateKbps && target < 0.6 * estimateKbps);
    } else {
        lower = congested && target < estimateKbps && target < 0.5 * estimateKbps;
    }

    const int old = estimateKbps;
    if (lower) {
        estimateKbps = std::max(target, minimumKbps);
        lastDecrease = now;
        lastProblem = now;
        stableSince = now;
    } else if (up > estimateKbps && stableMs(now) > 2000.0) {
        estimateKbps = std::min(up, maximumKbps);
        lastIncrease = now;
    }
    if (estimateKbps == old) {
        return false;
    }
    Log::bitrate().debug("Schätzung {} → {}: Kapazitätsmessung {} kbit/s (Stau: {})", old, estimateKbps,
                         clampedInt<int64_t>(capacityKbps), congested);
    return true;
}

std::optional<double> ClientRateController::recentCapacity(uint64_t now, double maximumAgeMs) const {
    if (!lastCapacityKbps || MonotonicClock::milliseconds(lastCapacityAt, now) > maximumAgeMs) {
        return std::nullopt;
    }
    return lastCapacityKbps;
}

void ClientRateController::probeFailed(uint64_t now) {
    const int old = estimateKbps;
    estimateKbps = std::max(clampedInt<int>(estimateKbps * 0.6), minimumKbps);
    lastDecrease = now;
    Log::bitrate().debug("Schätzung {} → {}: Aufstieg gescheitert", old, estimateKbps);
}

void ClientRateController::confirmCollapse(int measuredKbps, uint64_t now) {
    const int old = estimateKbps;
    estimateKbps = std::max(std::min(measuredKbps, estimateKbps), minimumKbps);
    lastDecrease = now;
    lastProblem = now;
    stableSince = now;
    Log::bitrate().info("Schätzung {} → {}: Einbruch erkannt", old, estimateKbps);
}

void ClientRateController::limitEstimate(int kbps) {
    estimateKbps = std::max(std::min(kbps, estimateKbps), minimumKbps);
}

double ClientRateController::stableMs(uint64_t now) const {
    return MonotonicClock::milliseconds(stableSince, now);
}

}  // namespace kelvora
