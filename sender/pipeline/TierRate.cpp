#include "sender/pipeline/TierRate.h"

#include <algorithm>
#include <array>

#include "sender/pipeline/TierLayout.h"
#include "sender/server/SaturatingMath.h"

namespace kelvora {

namespace {

// Below this share of its need a tier gives up frames rather than sharpness.
constexpr double fullRateShare = 0.8;
constexpr std::array<double, 5> fractions = {1.0, 1.0 / 2, 1.0 / 3, 1.0 / 4, 1.0 / 6};
// A viewer takes a larger tier over only once it has decoded 12 of its pictures within half a second. The
// planner builds such a tier at a small probe rate, which the tier's earlier output at a far higher rate
// makes look like a tier starved of bits: thinned below this, it could never be taken over.
constexpr int warmUpFrameRate = 24;

// f divided by the whole number of times `limit` fits into it: the nearest rate at or above `limit` that
// keeps an even cadence (60 with a limit of 25 gives 30).
double evenlyReduced(double frameRate, double limit) {
    return frameRate / double(std::max(int(frameRate / limit), 1));
}

}  // namespace

TierRate TierRate::decide(const SenderSettings& settings, const Request& request) {
    const int cap = request.capKbps;
    const int floor = request.tier == 0 ? settings.mainMinimumBitrateKbps : 1000;
    const int low = std::min(floor, cap);
    int kbps = std::max(std::min(request.requestedKbps, cap), low);

    // A damaged record may hold a frame rate of 0; the encoder runs such a tier at 1 frame per second.
    const double frameRate = std::max(request.frameRate, 1);
    // The tier's own rate, which its encoder was opened at (the proxy's is paced by its encoder alone).
    std::optional<double> target;
    if (request.tier != TierLayout::proxyTier) {
        target = TierLayout::frameRateLimit(request.tier, settings, int(frameRate));
    }
    const double limit = target.value_or(frameRate);

    if (settings.adaptiveBitrate && settings.adaptFrameRateFirst) {
        const double current = request.currentTargetFrameRate.value_or(limit);
        double need = limit * request.measuredKbps * 1.2;
        if (current > 1) {
            need /= current;
        }
        need = std::min(std::max(need, cap * 0.1), double(cap));
        const double ratio = need > 0 ? std::min(kbps / need, 1.0) : 1.0;
        const int minimum = request.upgradeBuilding ? std::max(settings.minimumFrameRate, warmUpFrameRate)
                                                    : settings.minimumFrameRate;
        const double minimumFraction = std::min(minimum / limit, 1.0);

        double fraction = 1.0;
        if (ratio < fullRateShare) {
            fraction = fractions.back();
            for (double candidate : fractions) {
                if (candidate <= ratio + 0.001) {
                    fraction = candidate;
                    break;
                }
            }
        }
        if (fraction < minimumFraction) {
            // The frame rate may not drop that far: go to the lowest step the minimum allows and keep the
            // bitrate, so that the picture stays as sharp as the rate permits.
            target = (minimum > 0 && minimum < limit) ? evenlyReduced(limit, minimum) : limit;
        } else {
            kbps = std::min(kbps, clampedInt<int>(fraction * cap));
            if (fraction < 0.999) {
                target = limit * fraction;
            }
        }
    }
    kbps = std::max(kbps, low);
    return {kbps, target};
}

}  // namespace kelvora
