#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "core/RateMeter.h"
#include "core/VideoDimensions.h"
#include "platform/PixelBuffer.h"

namespace kelvora {

// What the pipeline learns from the source's pictures as they arrive: when the newest came, its size,
// whether the picture is black, the source's frame rate and how long taking a picture in takes. Written on
// the source's thread for every picture, read by the watchdog and the status on the server queue.
//
// Each group has a mutex of its own, held only for a few loads and stores; no member calls out while
// holding one, and none holds two at once.
class FrameIntake {
  public:
    // A picture counts as black when no sampled luma value is above this.
    static constexpr uint8_t blackLumaLimit = 24;
    // Black sampling happens at most this often (capture-time milliseconds).
    static constexpr double blackCheckIntervalMs = 500;
    // The intake timing is summed up over this many milliseconds.
    static constexpr double timingReportIntervalMs = 2000;

    // The intake timing over the last report interval.
    struct TimingReport {
        int64_t count = 0;
        double averageMs = 0;
        double maximumMs = 0;
        double averageHandOffMs = 0;
        double maximumHandOffMs = 0;

        bool operator==(const TimingReport&) const = default;
    };

    // Whether a picture is black: every second byte of every second luma row at or below the limit. Only
    // NV12 pictures are judged; none for others (the test pattern's BGRA is never black).
    static std::optional<bool> isBlack(const PixelBuffer& picture);

    // --- the source's thread ---

    void noteArrival(uint64_t now);
    // Stores the size of the newest picture; true when it is the first or differs from the one before.
    bool observeSize(VideoDimensions size);
    // Samples the picture for black at most every 500 ms of capture time. A black picture starts the black
    // period (unless one is running); any other sampled NV12 picture ends it.
    void sampleBlack(const PixelBuffer& picture, uint64_t captureTime);
    void countFrame(uint64_t captureTime);
    void addHandOff(double milliseconds);
    // Adds one picture's intake time; every 2 s the summary of the period, which then starts again.
    std::optional<TimingReport> finishFrame(double elapsedMs, uint64_t now);

    // --- the server queue ---

    uint64_t lastFrameTime() const;
    void setLastFrameTime(uint64_t time);
    // Capture time (or restart time) from which the picture has been black; 0 while it is not.
    uint64_t blackSince() const;
    void setBlackSince(uint64_t time);
    double frameRate(uint64_t now);
    std::optional<VideoDimensions> observedDimensions() const;

  private:
    mutable std::mutex arrivalLock_;
    uint64_t lastFrameTime_ = 0;

    mutable std::mutex sizeLock_;
    std::optional<VideoDimensions> observedDimensions_;

    mutable std::mutex blackLock_;
    uint64_t lastBlackCheck_ = 0;
    uint64_t blackSince_ = 0;

    std::mutex rateLock_;
    RateMeter frameMeter_{2.0};

    struct Timing {
        uint64_t since = 0;
        int64_t count = 0;
        double total = 0;
        double maximum = 0;
        double handOff = 0;
        double handOffMaximum = 0;
    };
    std::mutex timingLock_;
    Timing timing_;
};

// Milliseconds from `from` to `to`, 0 when `to` is not later. For times taken on different threads: a
// picture stamped on the source's thread just after the server queue read its clock must count as fresh,
// not as an age near 2^64 ns.
double elapsedMilliseconds(uint64_t from, uint64_t to);

}  // namespace kelvora
