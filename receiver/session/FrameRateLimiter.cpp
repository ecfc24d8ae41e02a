#include "receiver/session/FrameRateLimiter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/MonotonicClock.h"

namespace kelvora {

namespace {

// Figures in reasons read in whole milliseconds, cut toward zero.
std::string wholeMs(double value) {
    return std::to_string(static_cast<long long>(value));
}

}  // namespace

std::optional<FrameRateLimiter::Change> FrameRateLimiter::evaluate(const Inputs& inputs, uint64_t now) {
    const double fps = std::max(1.0, inputs.framesPerSecond);
    const double intervalMs = 1000.0 / fps;

    std::vector<std::string> reasons;
    if (inputs.receiverMedianMs && *inputs.receiverMedianMs > std::max(12.0, 0.8 * intervalMs)) {
        reasons.push_back("Decoder " + wholeMs(*inputs.receiverMedianMs) + " ms");
    }
    if (inputs.transferMedianMs) {
        transferBaseline_.add(*inputs.transferMedianMs);
        const double baseline = transferBaseline_.minimum().value_or(*inputs.transferMedianMs);
        if (baseline + 20 < *inputs.transferMedianMs) {
            reasons.push_back("Übertragung " + wholeMs(*inputs.transferMedianMs) + " ms (sonst " +
                              wholeMs(baseline) + ")");
        }
    }
    if (inputs.longestGapMs > std::max(150.0, 4 * intervalMs) && !inputs.bridging) {
        reasons.push_back("Hänger " + wholeMs(inputs.longestGapMs) + " ms");
    }

    if (reasons.empty()) {
        if (requestedMaxFps_ > 0 && MonotonicClock::milliseconds(calmSince_, now) > calmMs) {
            requestedMaxFps_ = 0;
            return Change{0, "5 s ruhig"};
        }
        return std::nullopt;
    }

    calmSince_ = now;
    // A limit already in force stays as it is; a slow rate is not worth halving.
    if (requestedMaxFps_ == 0 && inputs.framesPerSecond > limitAboveFps) {
        std::string joined;
        for (const auto& reason : reasons) {
            joined += joined.empty() ? reason : ", " + reason;
        }
        requestedMaxFps_ = limitedFps;
        return Change{limitedFps, joined};
    }
    return std::nullopt;
}

bool FrameRateLimiter::isSwitchedOff(const char* value) {
    return value != nullptr && std::strcmp(value, "1") == 0;
}

bool FrameRateLimiter::switchedOffByEnvironment() {
    static const bool switchedOff = isSwitchedOff(std::getenv("KELVORA_NO_FPS_LIMIT"));
    return switchedOff;
}

std::optional<double> playoutTargetMs(bool smoothingEnabled, bool clockSynchronized,
                                      const SampleWindow& latencyWindow) {
    if (!smoothingEnabled || !clockSynchronized || latencyWindow.count() < 20) {
        return std::nullopt;
    }
    auto median = latencyWindow.median();
    auto p95 = latencyWindow.p95();
    if (!median || !p95) {
        return std::nullopt;
    }
    return std::min(*p95 + 1, *median + 40);
}

}  // namespace kelvora
