#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/TimerSource.h"
#include "platform/PixelBuffer.h"

namespace kelvora {

// The pictures held back for an even display, each with the timer that presents it, in the order they came.
// Bounded in time and in count, so that no clock offset or latency a sender makes up can hold pictures (and
// their memory) for long: a picture waits at most the playout target and never more than maximumDelayMs,
// and beyond maximumWaiting pictures the oldest waiting one is shown at once. Pictures leave in order: one
// that is shown takes every older one still waiting along, just before it. Nothing is dropped here, so a
// target that stays high after a latency spike, with every picture waiting longer than the bound allows,
// still shows each picture, only early.
//
// Plain value: its owner serialises access. Timers that are let go come back to the caller, who cancels
// them (destroys the handles) outside whatever lock guards this.
class PlayoutQueue {
  public:
    // The most a picture is held back, whatever the target says.
    static constexpr double maximumDelayMs = 1000;
    // A tenth of a second of pictures at 60 frames/s: an even display holds back one or two.
    static constexpr size_t maximumWaiting = 6;

    struct Picture {
        PixelBuffer buffer;
        uint64_t captureTime = 0;
    };
    // What leaves the queue: the pictures to show now, oldest first, and the timers that no longer wait.
    struct Released {
        std::vector<Picture> pictures;
        std::vector<TimerSource::Handle> timers;
    };

    // How long a picture of `latencyMs` is held back for the playout target: 0 (at once) without a target,
    // without a latency, or for 0.5 ms or less; otherwise target − latency, but never more than the target
    // itself (only a latency below zero asks for that) nor maximumDelayMs.
    static double delayMs(std::optional<double> targetMs, std::optional<double> latencyMs);

    // A picture shown at once, after every waiting one.
    [[nodiscard]] Released showNow(Picture picture);
    // A picture held with its presentation timer (whose task calls fired(id)); beyond the bound the oldest
    // waiting picture is shown at once.
    [[nodiscard]] Released hold(uint64_t id, Picture picture, TimerSource::Handle timer);
    // The picture's timer fired: it is shown, after every older one still waiting. Nothing when it has left
    // already.
    [[nodiscard]] Released fired(uint64_t id);
    // Every waiting picture, at the end; none is shown.
    [[nodiscard]] std::vector<TimerSource::Handle> clear();

    size_t waitingCount() const { return waiting_.size(); }

  private:
    struct Waiting {
        uint64_t id;
        Picture picture;
        TimerSource::Handle timer;
    };

    // The first `count` waiting pictures leave, in order.
    void release(size_t count, Released& released);

    std::vector<Waiting> waiting_;  // in the order they came
};

}  // namespace kelvora
