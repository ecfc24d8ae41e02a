#pragma once

#include <cstdint>
#include <optional>

#include "core/ReceiverReportMessage.h"
#include "core/SampleWindow.h"

namespace kelvora {

// One viewer's estimate of how many kbit/s its path carries, kept within [minimumKbps, maximumKbps].
//
// A plain value without a clock of its own: every operation takes the current monotonic time in nanoseconds.
// The sender pipeline feeds it once per planning pass with the viewer's newest report, the session's
// congestion counters and, when the sink measured one, the path capacity; the session lowers it after a
// failed upgrade and a confirmed rate collapse and caps it when it steps up a tier. Reports come from the
// viewer and are not trusted: negative counters count as zero and nothing a report says can make the
// arithmetic wrap.
struct ClientRateController {
    ClientRateController(int startKbps, int minimumKbps, int maximumKbps, uint64_t now);

    // Stores the bounds and pulls the estimate inside them.
    void setBounds(int minimum, int maximum);

    // One rate step from the viewer's report (if any) and the session's congestion figures; returns whether
    // the estimate changed.
    bool update(const std::optional<ReceiverReportMessage>& report, int congestionEvents, int offeredKbps,
                bool skipOfferedCheck, bool onProxyTier, uint64_t now);
    // The lowered estimate for a problem step, before the minimum bound is applied.
    int decreasedEstimate(const std::optional<ReceiverReportMessage>& report, bool congested, int offeredKbps,
                          bool skipOfferedCheck) const;
    // Takes a measured path capacity into account; returns whether the estimate changed.
    bool applyCapacityMeasurement(double capacityKbps, bool congested, uint64_t now);
    // The last measured capacity when it is no older than `maximumAgeMs`.
    std::optional<double> recentCapacity(uint64_t now, double maximumAgeMs) const;
    // Lowers after a failed tier upgrade.
    void probeFailed(uint64_t now);
    // Lowers to a rate the sink confirmed as delivered.
    void confirmCollapse(int measuredKbps, uint64_t now);
    // Caps the estimate, never below the minimum.
    void limitEstimate(int kbps);
    // Milliseconds since the estimate became stable.
    double stableMs(uint64_t now) const;

    int estimateKbps;
    bool isTolerant = false;  // larger margins, slower reaction; set by the pipeline before each update
    int minimumKbps;
    int maximumKbps;
    uint64_t lastDecrease = 0;         // 0 = never
    uint64_t lastIncrease = 0;         // 0 = never
    uint64_t stableSince;              // start of the current problem-free stretch
    SampleWindow latencyBaseline{30};  // recent median latencies (ms) from the viewer's reports
    uint64_t lastProblem = 0;
    uint64_t startedAt;
    std::optional<double> lastCapacityKbps;
    uint64_t lastCapacityAt = 0;  // 0 = never

  private:
    int bounded(int kbps) const;
};

}  // namespace kelvora
