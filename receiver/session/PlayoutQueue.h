#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/TimerSource.h"

namespace kelvora {

// The pictures held back for an even display, each with the timer that presents it. Bounded in time and in
// count, so that no clock offset or latency a sender makes up can hold pictures (and their memory) for long:
// a picture waits at most the playout target and never more than maximumDelayMs; a newer picture lets go of
// every waiting one it overtakes (those could no longer be shown, since nothing older than a shown picture
// is); and beyond maximumWaiting pictures the oldest waiting one goes.
//
// Plain value: its owner serialises access. Timers that are let go come back to the caller, who cancels
// them (destroys the handles) outside whatever lock guards this.
class PlayoutQueue {
  public:
    // The most a picture is held back, whatever the target says.
    static constexpr double maximumDelayMs = 1000;
    // A tenth of a second of pictures at 60 frames/s: an even display holds back one or two.
    static constexpr size_t maximumWaiting = 6;

    // How long a picture of `latencyMs` is held back for the playout target: 0 (at once) without a target,
    // without a latency, or for 0.5 ms or less; otherwise target − latency, but never more than the target
    // itself (only a latency below zero asks for that) nor maximumDelayMs.
    static double delayMs(std::optional<double> targetMs, std::optional<double> latencyMs);

    // A picture shown at once at `now`: the waiting pictures it overtakes.
    [[nodiscard]] std::vector<TimerSource::Handle> showNow(uint64_t now);
    // A picture held until `dueAt` with its presentation timer: the waiting pictures it overtakes (due no
    // earlier than it), and the oldest beyond the bound.
    [[nodiscard]] std::vector<TimerSource::Handle> hold(uint64_t id, uint64_t dueAt,
                                                        TimerSource::Handle timer);
    // The picture's timer fired: it no longer waits. Its handle comes back for the caller to drop.
    [[nodiscard]] TimerSource::Handle fired(uint64_t id);
    // Every waiting picture, at the end.
    [[nodiscard]] std::vector<TimerSource::Handle> clear();

    size_t waitingCount() const { return waiting_.size(); }

  private:
    struct Waiting {
        uint64_t id;
        uint64_t dueAt;
        TimerSource::Handle timer;
    };

    std::vector<TimerSource::Handle> overtakenBy(uint64_t dueAt);

    std::vector<Waiting> waiting_;  // in the order they came
};

}  // namespace kelvora
