#pragma once

#include <optional>

namespace kelvora {

// Follows a source that settles on another standard frame rate than the output is set to (a camera that
// runs at 25 when asked for 30). Once a second the measured rate is matched to the nearest of 24, 25, 30,
// 50 and 60 frames per second; a rate within 10 % of such a standard rate that differs from the current one
// is taken over on the second check in a row that sees it. Rates below 10 frames per second and rates
// between the standards leave everything as it is.
class FrameRateFollower {
  public:
    // One check; the new rate when the output should switch to it now.
    std::optional<int> observe(double measuredFrameRate, int currentFrameRate);

    // The nearest standard rate (on a tie the smaller) when the measurement lies within 10 % of it.
    static std::optional<int> standardRate(double measuredFrameRate);

  private:
    int candidate_ = 0;
    int count_ = 0;
};

}  // namespace kelvora
