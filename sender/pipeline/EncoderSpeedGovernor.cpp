#include "sender/pipeline/EncoderSpeedGovernor.h"

#include <algorithm>

namespace kelvora {

EncoderSpeedGovernor::EncoderSpeedGovernor(double frameIntervalMs, int startLevel)
    : frameIntervalMs_(frameIntervalMs), level_(std::clamp(startLevel, 0, int(levels.size()) - 1)) {}

std::optional<int> EncoderSpeedGovernor::note(double encodeMs) {
    if (!(frameIntervalMs_ > 0)) {
        return std::nullopt;
    }
    window_.push_back(encodeMs);
    if (window_.size() < windowSize) {
        return std::nullopt;
    }
    auto middle = window_.begin() + std::ptrdiff_t(window_.size() / 2);
    std::nth_element(window_.begin(), middle, window_.end());
    lastMedianMs_ = *middle;
    window_.clear();

    const int last = int(levels.size()) - 1;
    if (lastMedianMs_ > fasterAbove * frameIntervalMs_) {
        roomyWindows_ = 0;
        if (level_ < last) {
            return ++level_;
        }
        return std::nullopt;
    }
    if (lastMedianMs_ < slowerBelow * frameIntervalMs_ && level_ > 0) {
        if (++roomyWindows_ >= roomyWindowsToSlowDown) {
            roomyWindows_ = 0;
            return --level_;
        }
        return std::nullopt;
    }
    roomyWindows_ = 0;
    return std::nullopt;
}

}  // namespace kelvora
