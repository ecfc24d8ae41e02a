#include "receiver/session/PlaybackStatistics.h"

#include <cmath>
#include <cstdio>

namespace kelvora {

std::string PlaybackStatistics::latencyText() const {
    if (latencyMs && isPlausibleLatency(*latencyMs)) {
        char text[48];
        std::snprintf(text, sizeof text, "%.0f ms", *latencyMs);
        return text;
    }
    return isClockSynchronized ? "–" : "sync …";
}

double populationStandardDeviation(const std::vector<double>& values) {
    if (values.size() < 2) {
        return 0;
    }
    double sum = 0;
    for (double value : values) {
        sum += value;
    }
    const double mean = sum / static_cast<double>(values.size());
    double squares = 0;
    for (double value : values) {
        squares += (value - mean) * (value - mean);
    }
    return std::sqrt(squares / static_cast<double>(values.size()));
}

}  // namespace kelvora
