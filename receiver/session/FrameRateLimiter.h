#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/SampleWindow.h"

namespace kelvora {

// Decides, once a second, whether to ask the sender to halve a high frame rate because this device cannot
// keep up (slow decoder, transfer time above its usual level, stalls), and when to lift the limit again
// after five calm seconds. The limit is only asked of the sender; the receiver does not thin frames itself.
//
// Pure logic on values: the session feeds it its figures and the current time and carries out a change.
class FrameRateLimiter {
  public:
    // What the session measured over the last second.
    struct Inputs {
        double framesPerSecond = 0;              // displayed pictures per second
        std::optional<double> receiverMedianMs;  // arrival to display acceptance
        std::optional<double> transferMedianMs;  // encode done to arrival
        double longestGapMs = 0;                 // between two displayed pictures
        bool bridging = false;                   // a proxy bridge covers the display tier's pause
    };

    // A new limit to send: 30 frames/s, or 0 to lift it, with the reasons for the log.
    struct Change {
        int maxFps = 0;
        std::string reason;
        bool operator==(const Change&) const = default;
    };

    // Asked of the sender while the displayed rate is above this.
    static constexpr double limitAboveFps = 40;
    static constexpr int limitedFps = 30;
    // Without a reason for this long a limit is lifted.
    static constexpr double calmMs = 5000;
    static constexpr int baselineSamples = 30;

    // One report tick. The returned change is taken as applied.
    std::optional<Change> evaluate(const Inputs& inputs, uint64_t now);

    int requestedMaxFps() const { return requestedMaxFps_; }

    // Whether the environment variable's value switches the decision off: exactly "1".
    static bool isSwitchedOff(const char* value);
    // "KELVORA_NO_FPS_LIMIT", read once per process.
    static bool switchedOffByEnvironment();

  private:
    int requestedMaxFps_ = 0;
    uint64_t calmSince_ = 0;
    SampleWindow transferBaseline_{baselineSamples};
};

// How late a shown picture may be so that pictures run evenly: with smoothing on, a synchronised clock and
// at least 20 latency samples, min(95th percentile + 1, median + 40) ms; otherwise none.
std::optional<double> playoutTargetMs(bool smoothingEnabled, bool clockSynchronized,
                                      const SampleWindow& latencyWindow);

}  // namespace kelvora
