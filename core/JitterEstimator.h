#pragma once

#include <cstdint>
#include <optional>

namespace kelvora {

// Smoothed variation of transit times (arrival minus send time), as the interarrival jitter of RFC 3550:
// each new transit moves the estimate by 1/16 of its distance from the last transit. Send and arrival
// times come from different clocks, so a transit may be negative; only its changes matter.
class JitterEstimator {
  public:
    void update(uint64_t sendTime, uint64_t arrival);
    void reset();

    double jitterMs() const { return jitterMs_; }
    std::optional<double> lastTransit() const { return lastTransit_; }

  private:
    std::optional<double> lastTransit_;
    double jitterMs_ = 0;
};

}  // namespace kelvora
