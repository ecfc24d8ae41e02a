#include "sender/pipeline/FrameRateFollower.h"

#include <array>
#include <cmath>

namespace kelvora {

namespace {

constexpr std::array<int, 5> standardRates = {24, 25, 30, 50, 60};
constexpr double lowestFollowedRate = 10;
constexpr double tolerance = 0.1;
constexpr int confirmations = 2;

}  // namespace

std::optional<int> FrameRateFollower::standardRate(double measuredFrameRate) {
    if (!std::isfinite(measuredFrameRate)) {
        return std::nullopt;
    }
    int nearest = standardRates.front();
    for (int rate : standardRates) {
        // Strictly closer only: on a tie the smaller rate, found first, stays.
        if (std::abs(rate - measuredFrameRate) < std::abs(nearest - measuredFrameRate)) {
            nearest = rate;
        }
    }
    if (std::abs(nearest - measuredFrameRate) / nearest < tolerance) {
        return nearest;
    }
    return std::nullopt;
}

std::optional<int> FrameRateFollower::observe(double measuredFrameRate, int currentFrameRate) {
    if (!(measuredFrameRate >= lowestFollowedRate)) {
        return std::nullopt;
    }
    const std::optional<int> rate = standardRate(measuredFrameRate);
    if (!rate) {
        return std::nullopt;
    }
    if (*rate == currentFrameRate) {
        candidate_ = 0;
        count_ = 0;
        return std::nullopt;
    }
    if (*rate == candidate_) {
        count_ += 1;
        if (count_ >= confirmations) {
            candidate_ = 0;
            count_ = 0;
            return rate;
        }
        return std::nullopt;
    }
    candidate_ = *rate;
    count_ = 1;
    return std::nullopt;
}

}  // namespace kelvora
