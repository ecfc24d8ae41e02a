#pragma once

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

namespace kelvora::testsupport {

// How a run of delivery times sits on the grid of a timer with absolute deadlines start + n × interval.
// A busy machine may delay a tick or cost one altogether, but the ticks after it land on the same grid
// again; a timer that drifts (one scheduled relative to the previous tick) falls further off with every
// picture, so that its phases within the interval spread over the whole interval.
struct Cadence {
    // Where the grid lies: the earliest of time(k) − k × interval. A delayed or skipped tick only makes a
    // picture later, so this is the grid's start plus the smallest delivery delay.
    int64_t start = 0;
    // Pictures within [start, start + window).
    size_t frames = 0;
    // How closely those pictures keep one phase within the interval: the length of the mean of the unit
    // vectors at angle 2π × ((time − start) mod interval) / interval. 1 when all keep the same phase, near 0
    // when the phase wanders through the interval (drift). Jitter of σ lowers it to about
    // exp(−(2πσ / interval)² / 2).
    double phaseConcentration = 0;

    static Cadence of(const std::vector<uint64_t>& times, uint64_t interval, uint64_t window) {
        Cadence cadence;
        const auto period = static_cast<int64_t>(interval);
        cadence.start = std::numeric_limits<int64_t>::max();
        for (size_t k = 0; k < times.size(); ++k) {
            cadence.start =
                std::min(cadence.start, static_cast<int64_t>(times[k]) - static_cast<int64_t>(k) * period);
        }
        std::complex<double> sum;
        for (uint64_t time : times) {
            const int64_t sinceStart = static_cast<int64_t>(time) - cadence.start;
            if (sinceStart < 0 || sinceStart >= static_cast<int64_t>(window)) {
                continue;
            }
            ++cadence.frames;
            const double phase = static_cast<double>(sinceStart % period) / static_cast<double>(period);
            sum += std::polar(1.0, 2 * std::numbers::pi * phase);
        }
        if (cadence.frames > 0) {
            cadence.phaseConcentration = std::abs(sum) / static_cast<double>(cadence.frames);
        }
        return cadence;
    }
};

}  // namespace kelvora::testsupport
