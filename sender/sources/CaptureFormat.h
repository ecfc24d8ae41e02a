#pragma once

#include "core/VideoDimensions.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace kelvora {

// The time one picture stands for, as a fraction of a second (V4L2's "time per frame").
struct FrameDuration {
    uint32_t numerator = 0;
    uint32_t denominator = 0;

    double seconds() const { return denominator == 0 ? 0.0 : static_cast<double>(numerator) / denominator; }
    // Pictures per second; 0 for a duration that is not positive.
    double rate() const {
        return numerator == 0 || denominator == 0 ? 0.0 : static_cast<double>(denominator) / numerator;
    }

    bool operator==(const FrameDuration&) const = default;
};

// Rates a device offers for one picture size: one fixed rate (minimum equals maximum) or a span.
struct FrameRateRange {
    double minimumRate = 0;
    double maximumRate = 0;
    // The shortest duration the range allows, exactly as the device states it (1001/30000 for 29.97).
    FrameDuration minimumFrameDuration;

    bool operator==(const FrameRateRange&) const = default;
};

// One picture layout and size a device can deliver, with its rates.
struct CaptureFormat {
    uint32_t pixelFormat = 0;  // V4L2 four-character code
    int width = 0;
    int height = 0;
    std::vector<FrameRateRange> frameRateRanges;

    int64_t pixelCount() const { return static_cast<int64_t>(width) * height; }

    bool operator==(const CaptureFormat&) const = default;
};

struct CaptureFormatChoice {
    size_t formatIndex = 0;
    size_t rangeIndex = 0;
    // The asked-for rate clamped into the chosen range.
    double rate = 0;
    // What to configure: a fixed rate.
    FrameDuration frameDuration;

    bool operator==(const CaptureFormatChoice&) const = default;
};

// The rate to aim for: the requested one, else the highest rate any format offers, capped at 60 and
// truncated to whole pictures; 30 when the device states no rates at all.
int captureTargetFrameRate(const std::vector<CaptureFormat>& formats, std::optional<int> requested);

// A requested size without pixels (0×0, or a side of 0) asks for nothing: none, as if no size was given.
std::optional<VideoDimensions> meaningfulCaptureTarget(std::optional<VideoDimensions> requested);

// The pixel count to aim for: the requested size's, else the largest format up to 3840 × 2160; 1920 × 1080
// when every format is larger.
int64_t captureTargetPixelCount(const std::vector<CaptureFormat>& formats,
                                std::optional<VideoDimensions> requested);

// The format and rate that fit the request best, in the device's own order of formats and ranges: a
// format larger than wanted costs its excess, a smaller one four times its shortfall ratio, and a rate off
// the target costs three times its relative difference. Ties keep the earlier pair. Without a requested
// size, portrait formats are passed over. Nothing when no format offers a rate.
std::optional<CaptureFormatChoice> chooseCaptureFormat(const std::vector<CaptureFormat>& formats,
                                                       std::optional<VideoDimensions> requestedDimensions,
                                                       std::optional<int> requestedFrameRate);

}  // namespace kelvora
