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
    // Pictures on the deadlines within the window after the first picture.
    size_t frames = 0;
    // No two pictures fell on the same deadline: never faster than the rate.
    bool oneFramePerDeadline = true;
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
        const auto slots = static_cast<int64_t>(window / interval);
        const double period = static_cast<double>(interval);
        std::complex<double> sum;
        int64_t previousSlot = -1;
        for (uint64_t time : times) {
            const double sinceFirst = static_cast<double>(time - first);
            const auto slot = static_cast<int64_t>(std::llround(sinceFirst / period));
            if (time < first || slot >= slots) {
                continue;
            }
            ++cadence.frames;
            cadence.oneFramePerDeadline = cadence.oneFramePerDeadline && slot > previousSlot;
            previousSlot = slot;
            sum += std::polar(1.0, 2 * std::numbers::pi * std::fmod(sinceFirst, period) / period);
        }
        cadence.phaseConcentration = std::abs(sum) / static_cast<double>(cadence.frames);
        return cadence;
    }
};

}  // namespace kelvora::testsupport
