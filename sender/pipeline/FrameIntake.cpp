#include "sender/pipeline/FrameIntake.h"

#include <algorithm>

namespace kelvora {

double elapsedMilliseconds(uint64_t from, uint64_t to) {
    return to > from ? double(to - from) / 1e6 : 0.0;
}

std::optional<bool> FrameIntake::isBlack(const PixelBuffer& picture) {
    if (!picture || picture.format() != PixelFormat::nv12) {
        return std::nullopt;
    }
    const uint8_t* luma = picture.data(0);
    const int stride = picture.stride(0);
    const int width = picture.planeWidth(0);
    const int height = picture.planeHeight(0);
    for (int row = 0; row < height; row += 2) {
        const uint8_t* line = luma + size_t(row) * size_t(stride);
        for (int column = 0; column < width; column += 2) {
            if (line[column] > blackLumaLimit) {
                return false;
            }
        }
    }
    return true;
}

void FrameIntake::noteArrival(uint64_t now) {
    std::lock_guard lock(arrivalLock_);
    lastFrameTime_ = now;
}

bool FrameIntake::observeSize(VideoDimensions size) {
    std::lock_guard lock(sizeLock_);
    const bool changed = observedDimensions_ != size;
    observedDimensions_ = size;
    return changed;
}

void FrameIntake::sampleBlack(const PixelBuffer& picture, uint64_t captureTime) {
    {
        std::lock_guard lock(blackLock_);
        if (elapsedMilliseconds(lastBlackCheck_, captureTime) < blackCheckIntervalMs) {
            return;
        }
        lastBlackCheck_ = captureTime;
    }
    // The scan runs without the lock: it reads only the picture, and the watchdog must not wait for it.
    const std::optional<bool> black = isBlack(picture);
    if (!black) {
        return;
    }
    std::lock_guard lock(blackLock_);
    if (!*black) {
        blackSince_ = 0;
    } else if (blackSince_ == 0) {
        blackSince_ = captureTime;
    }
}

void FrameIntake::countFrame(uint64_t captureTime) {
    std::lock_guard lock(rateLock_);
    frameMeter_.record(1, captureTime);
}

void FrameIntake::addHandOff(double milliseconds) {
    std::lock_guard lock(timingLock_);
    timing_.handOff += milliseconds;
    timing_.handOffMaximum = std::max(timing_.handOffMaximum, milliseconds);
}

std::optional<FrameIntake::TimingReport> FrameIntake::finishFrame(double elapsedMs, uint64_t now) {
    std::lock_guard lock(timingLock_);
    if (timing_.since == 0) {
        timing_.since = now;
    }
    timing_.count += 1;
    timing_.total += elapsedMs;
    timing_.maximum = std::max(timing_.maximum, elapsedMs);
    if (elapsedMilliseconds(timing_.since, now) < timingReportIntervalMs) {
        return std::nullopt;
    }
    const double count = double(timing_.count);
    TimingReport report{timing_.count, timing_.total / count, timing_.maximum, timing_.handOff / count,
                        timing_.handOffMaximum};
    timing_ = Timing{};
    timing_.since = now;
    return report;
}

uint64_t FrameIntake::lastFrameTime() const {
    std::lock_guard lock(arrivalLock_);
    return lastFrameTime_;
}

void FrameIntake::setLastFrameTime(uint64_t time) {
    std::lock_guard lock(arrivalLock_);
    lastFrameTime_ = time;
}

uint64_t FrameIntake::blackSince() const {
    std::lock_guard lock(blackLock_);
    return blackSince_;
}

void FrameIntake::setBlackSince(uint64_t time) {
    std::lock_guard lock(blackLock_);
    blackSince_ = time;
}

double FrameIntake::frameRate(uint64_t now) {
    std::lock_guard lock(rateLock_);
    return frameMeter_.eventRate(now);
}

std::optional<VideoDimensions> FrameIntake::observedDimensions() const {
    std::lock_guard lock(sizeLock_);
    return observedDimensions_;
}

}  // namespace kelvora
