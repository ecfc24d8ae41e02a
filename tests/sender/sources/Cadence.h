#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <vector>

namespace kelvora::testsupport {

// How a run of delivery times sits on the grid of a timer with absolute deadlines start + n × interval.
// A busy machine may delay a tick or cost one altogether, but the ticks after it land on the same grid
// again: in every second some picture comes close to its deadline. A timer that drifts (one scheduled
// relative to the previous tick) moves away from the grid, so late in the run even its best picture of a
// second lies far from any deadline.
struct Cadence {
    // Where the grid lies: the earliest of time(k) − k × interval. A delayed or skipped tick only makes a
    // picture later, so this is the grid's start plus the smallest delivery delay.
    int64_t start = 0;
    // Pictures within [start, start + window).
    size_t frames = 0;
    // For each second of the window that has pictures, the smallest distance of one of them past a
    // deadline; the largest of these.
    int64_t worstBestLateness = 0;

    static Cadence of(const std::vector<uint64_t>& times, uint64_t interval, uint64_t window) {
        Cadence cadence;
        const auto period = static_cast<int64_t>(interval);
        cadence.start = std::numeric_limits<int64_t>::max();
        for (size_t k = 0; k < times.size(); ++k) {
            cadence.start =
                std::min(cadence.start, static_cast<int64_t>(times[k]) - static_cast<int64_t>(k) * period);
        }
        std::map<int64_t, int64_t> bestLatenessPerSecond;
        for (uint64_t time : times) {
            const int64_t sinceStart = static_cast<int64_t>(time) - cadence.start;
            if (sinceStart < 0 || sinceStart >= static_cast<int64_t>(window)) {
                continue;
            }
            ++cadence.frames;
            const int64_t second = sinceStart / 1'000'000'000;
            const int64_t lateness = sinceStart % period;
            auto [entry, added] = bestLatenessPerSecond.try_emplace(second, lateness);
            if (!added) {
                entry->second = std::min(entry->second, lateness);
            }
        }
        for (const auto& [second, lateness] : bestLatenessPerSecond) {
            cadence.worstBestLateness = std::max(cadence.worstBestLateness, lateness);
        }
        return cadence;
    }
};

}  // namespace kelvora::testsupport
