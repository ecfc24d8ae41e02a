#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <vector>

namespace kelvora::testsupport {

// How a run of delivery times sits on the grid of a timer with absolute deadlines start + n × interval.
// A busy machine may delay a tick or cost one altogether, but the ticks after it land on the same grid
// again; a timer that drifts (one scheduled relative to the previous tick) falls further off with every
// picture, so that its phases within the interval spread evenly over the whole interval.
struct Cadence {
    // Pictures within the window that starts with the first picture.
    size_t frames = 0;
    // Picture k never came more than one interval before first + k × interval: never faster than the
    // rate (a delayed or skipped tick only makes pictures later).
    bool neverAhead = true;
    // How closely the pictures keep one phase within the interval: the length of the mean of the unit
    // vectors at angle 2π × (time mod interval) / interval. 1 when all keep the same phase, near 0 when
    // the phase wanders through the interval (drift). Jitter of σ lowers it to about exp(−(2πσ/interval)²/2).
    double phaseConcentration = 0;

    static Cadence of(const std::vector<uint64_t>& times, uint64_t interval, uint64_t window) {
        Cadence cadence;
        if (times.empty()) {
            return cadence;
        }
        const uint64_t first = times.front();
        const double period = static_cast<double>(interval);
        std::complex<double> sum;
        for (size_t k = 0; k < times.size() && times[k] < first + window; ++k) {
            const double sinceFirst = static_cast<double>(times[k] - first);
            ++cadence.frames;
            cadence.neverAhead = cadence.neverAhead && sinceFirst > (static_cast<double>(k) - 1) * period;
            sum += std::polar(1.0, 2 * std::numbers::pi * std::fmod(sinceFirst, period) / period);
        }
        cadence.phaseConcentration = std::abs(sum) / static_cast<double>(cadence.frames);
        return cadence;
    }
};

}  // namespace kelvora::testsupport
