#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "core/MonotonicClock.h"
#include "platform/SerialQueue.h"

namespace kelvora {

// Where a component with queues of its own (the server, a source, a receiver session) takes "now" and its
// timers from. The product reads the monotonic clock and arms timers on the queue named with each; a test
// drives a clock by hand and fires whatever has come due, each task on its own queue, so that time limits of
// seconds and cadences of minutes are checked exactly and at once.
//
// Threads: now() may be read anywhere; after() and every() may be called from any thread, and the task always
// runs on the queue given with it.
class TimerSource {
  public:
    using Task = std::function<void()>;
    using Duration = std::chrono::nanoseconds;

    // A scheduled task. Move-only; destroying it cancels the task.
    class Handle {
      public:
        Handle() = default;
        explicit Handle(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
        Handle(Handle&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
        Handle& operator=(Handle&& other) noexcept {
            if (this != &other) {
                cancel();
                cancel_ = std::exchange(other.cancel_, nullptr);
            }
            return *this;
        }
        Handle(const Handle&) = delete;
        Handle& operator=(const Handle&) = delete;
        ~Handle() { cancel(); }

        void cancel() {
            if (auto cancel = std::exchange(cancel_, nullptr)) {
                cancel();
            }
        }
        explicit operator bool() const { return cancel_ != nullptr; }

      private:
        std::function<void()> cancel_;
    };

    virtual ~TimerSource() = default;

    // Monotonic nanoseconds.
    virtual uint64_t now() const = 0;
    // Runs `task` on `queue` once, `delay` from now.
    [[nodiscard]] virtual Handle after(const std::shared_ptr<SerialQueue>& queue, Duration delay,
                                       Task task) = 0;
    // Runs `task` on `queue` every `interval`, first one interval from now. Deadlines are absolute (now +
    // n × interval): the ticks do not drift, and one missed while the queue was busy is skipped.
    [[nodiscard]] virtual Handle every(const std::shared_ptr<SerialQueue>& queue, Duration interval,
                                       Task task) = 0;

    // The monotonic clock and the queues' own timers.
    static std::shared_ptr<TimerSource> system();
    // The queues' own timers, with "now" read from `clock`: for a component whose thresholds run on a clock
    // of its own and that hands time to another, so that both compare times of one clock.
    static std::shared_ptr<TimerSource> system(Clock clock);
};

}  // namespace kelvora
