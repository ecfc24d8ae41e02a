#include "core/TimerSource.h"

#include "core/MonotonicClock.h"

namespace kelvora {

namespace {

class SystemTimers final : public TimerSource {
  public:
    explicit SystemTimers(Clock clock) : clock_(std::move(clock)) {}

    uint64_t now() const override { return clock_(); }

    Handle after(const std::shared_ptr<SerialQueue>& queue, Duration delay, Task task) override {
        return wrap(queue->after(std::chrono::duration_cast<SerialQueue::Duration>(delay), std::move(task)));
    }

    Handle every(const std::shared_ptr<SerialQueue>& queue, Duration interval, Task task) override {
        const auto step = std::chrono::duration_cast<SerialQueue::Duration>(interval);
        return wrap(queue->every(step, std::move(task), step));
    }

  private:
    Clock clock_;

    static Handle wrap(Timer timer) {
        auto shared = std::make_shared<Timer>(std::move(timer));
        return Handle([shared] { shared->cancel(); });
    }
};

}  // namespace

std::shared_ptr<TimerSource> TimerSource::system() {
    static const auto instance = std::make_shared<SystemTimers>(&MonotonicClock::now);
    return instance;
}

std::shared_ptr<TimerSource> TimerSource::system(Clock clock) {
    return std::make_shared<SystemTimers>(std::move(clock));
}

}  // namespace kelvora
