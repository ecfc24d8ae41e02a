#pragma once

#include <array>
#include <optional>
#include <vector>

namespace kelvora {

// Chooses how much search the software encoder can afford: a tier whose pictures take longer to encode than
// the time between them falls behind, and the viewer sees pictures dropped before they are encoded. From the
// encode times of the last pictures it steps to a faster speed level when the median nears the frame
// interval, and back once there has been ample room for a while.
//
// Not thread-safe: one encoding thread notes its own pictures.
class EncoderSpeedGovernor {
  public:
    // libx264's presets, from the one every tier starts with to the fastest.
    static constexpr std::array<const char*, 3> levels{"veryfast", "superfast", "ultrafast"};
    // Pictures per decision.
    static constexpr size_t windowSize = 30;
    // Faster when the median takes more than this share of the frame interval ...
    static constexpr double fasterAbove = 0.8;
    // ... slower again when it took less than this share in this many windows in a row.
    static constexpr double slowerBelow = 0.35;
    static constexpr int roomyWindowsToSlowDown = 3;

    // `startLevel` is where an earlier session of the same size ended; clamped to the levels there are.
    explicit EncoderSpeedGovernor(double frameIntervalMs, int startLevel = 0);

    // Notes one picture's encode time; returns the level to switch to when it changes.
    std::optional<int> note(double encodeMs);

    int level() const { return level_; }
    // The median of the window that made the last decision.
    double lastMedianMs() const { return lastMedianMs_; }

  private:
    double frameIntervalMs_;
    int level_ = 0;
    int roomyWindows_ = 0;
    double lastMedianMs_ = 0;
    std::vector<double> window_;
};

}  // namespace kelvora
