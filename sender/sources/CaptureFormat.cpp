#include "sender/sources/CaptureFormat.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kelvora {

int captureTargetFrameRate(const std::vector<CaptureFormat>& formats, std::optional<int> requested) {
    int rate = 30;
    if (requested) {
        rate = *requested;
    } else {
        bool any = false;
        double best = 0;
        for (const auto& format : formats) {
            for (const auto& range : format.frameRateRanges) {
                best = any ? std::max(best, std::min(range.maximumRate, 60.0))
                           : std::min(range.maximumRate, 60.0);
                any = true;
            }
        }
        if (any) {
            rate = static_cast<int>(best);
        }
    }
    // Every cost divides by the target rate; a rate below one picture per second (a request of 0, a
    // device that only offers slower rates) would make the scores meaningless.
    return std::max(rate, 1);
}

std::optional<VideoDimensions> meaningfulCaptureTarget(std::optional<VideoDimensions> requested) {
    if (requested && (requested->width < 1 || requested->height < 1)) {
        return std::nullopt;
    }
    return requested;
}

int64_t captureTargetPixelCount(const std::vector<CaptureFormat>& formats,
                                std::optional<VideoDimensions> requested) {
    requested = meaningfulCaptureTarget(requested);
    if (requested) {
        return requested->pixelCount();
    }
    constexpr int64_t kLargest = 3840LL * 2160;
    int64_t best = 0;
    for (const auto& format : formats) {
        const int64_t pixels = format.pixelCount();
        if (pixels <= kLargest) {
            best = std::max(best, pixels);
        }
    }
    return best > 0 ? best : 1920LL * 1080;
}

std::optional<CaptureFormatChoice> chooseCaptureFormat(const std::vector<CaptureFormat>& formats,
                                                       std::optional<VideoDimensions> requestedDimensions,
                                                       std::optional<int> requestedFrameRate) {
    requestedDimensions = meaningfulCaptureTarget(requestedDimensions);
    const double targetRate = captureTargetFrameRate(formats, requestedFrameRate);
    const double targetPixels =
        static_cast<double>(std::max<int64_t>(captureTargetPixelCount(formats, requestedDimensions), 1));

    std::optional<CaptureFormatChoice> best;
    double bestScore = std::numeric_limits<double>::infinity();
    for (size_t f = 0; f < formats.size(); ++f) {
        const CaptureFormat& format = formats[f];
        if (!requestedDimensions && format.width < format.height) {
            continue;
        }
        const double ratio = static_cast<double>(format.pixelCount()) / targetPixels;
        const double sizeCost = ratio >= 1 ? ratio - 1 : 4 * (1 / std::max(ratio, 0.01) - 1);
        for (size_t r = 0; r < format.frameRateRanges.size(); ++r) {
            const FrameRateRange& range = format.frameRateRanges[r];
            const double rate = std::clamp(targetRate, std::min(range.minimumRate, range.maximumRate),
                                           std::max(range.minimumRate, range.maximumRate));
            const double score = sizeCost + 3 * std::abs(rate - targetRate) / targetRate;
            if (!best || score < bestScore) {
                bestScore = score;
                CaptureFormatChoice choice;
                choice.formatIndex = f;
                choice.rangeIndex = r;
                choice.rate = rate;
                if (range.maximumRate - range.minimumRate >= 0.01) {
                    // A span of rates: ask for the target as thousandths, so 29.97 becomes 1000/29970 s.
                    const auto thousandths = static_cast<int64_t>(rate * 1000);
                    choice.frameDuration = {1000, static_cast<uint32_t>(std::clamp<int64_t>(
                                                      thousandths, 1, std::numeric_limits<int32_t>::max()))};
                } else {
                    choice.frameDuration = range.minimumFrameDuration;
                }
                best = choice;
            }
        }
    }
    return best;
}

}  // namespace kelvora
