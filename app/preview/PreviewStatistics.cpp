#include "app/preview/PreviewStatistics.h"

#include "core/MonotonicClock.h"
#include "receiver/session/presenters/NumberText.h"

#include <algorithm>

namespace kelvora {

std::optional<std::string> PreviewStatistics::record(uint64_t now) {
    if (windowStart_ == 0) {
        windowStart_ = now;
    }
    if (last_ != 0) {
        longestGapMs_ = std::max(longestGapMs_, MonotonicClock::milliseconds(last_, now));
    }
    last_ = now;
    ++count_;
    const double window = MonotonicClock::milliseconds(windowStart_, now) / 1000.0;
    if (window < 2.0) {
        return std::nullopt;
    }
    std::string line = "Vorschau " + std::to_string(width_) + "\u00D7" + std::to_string(height_) + ": " +
                       fixedText(static_cast<double>(count_) / window, 1) + " fps, längste Pause " +
                       std::to_string(static_cast<long>(longestGapMs_)) + " ms";
    windowStart_ = now;
    last_ = now;
    count_ = 0;
    longestGapMs_ = 0;
    return line;
}

}  // namespace kelvora
