#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kelvora {

// Frame rate and longest pause of a preview, over windows of at least two seconds: a stalling source
// shows up in the log as a long pause, a slow conversion as a low rate.
class PreviewStatistics {
  public:
    PreviewStatistics(int width, int height) : width_(width), height_(height) {}

    // Counts one shown frame at `now` (monotonic ns). When the frame closes a window of two seconds or
    // more, gives the line to log ("Vorschau 1280×720: 29.5 fps, längste Pause 41 ms") and starts the next
    // window at `now`.
    std::optional<std::string> record(uint64_t now);

  private:
    int width_;
    int height_;
    uint64_t windowStart_ = 0;
    uint64_t last_ = 0;
    long count_ = 0;
    double longestGapMs_ = 0;
};

}  // namespace kelvora
