#include "core/JitterEstimator.h"

#include <cmath>

namespace kelvora {

void JitterEstimator::update(uint64_t sendTime, uint64_t arrival) {
    // Two's-complement difference read as signed: an arrival "before" the send time gives a negative transit.
    double transit = static_cast<double>(static_cast<int64_t>(arrival - sendTime)) / 1e6;
    if (lastTransit_) {
        jitterMs_ += (std::fabs(transit - *lastTransit_) - jitterMs_) * 0.0625;
    }
    lastTransit_ = transit;
}

void JitterEstimator::reset() {
    lastTransit_.reset();
    jitterMs_ = 0;
}

}  // namespace kelvora
