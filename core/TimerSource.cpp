#include "core/TimerSource.h"

#include "core/MonotonicClock.h"

namespace kelvora {

namespace {

class QueueTimerSource final : public TimerSource {
  public:
    explicit QueueTimerSource(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}

    uint64_t now() const override { return MonotonicClock::now(); }

    Handle after(Duration delay, Task task) override {
        return wrap(queue_->after(std::chrono::duration_cast<SerialQueue::Duration>(delay), std::move(task)));
    }

    Handle every(Duration interval, Task task) override {
        const auto step = std::chrono::duration_cast<SerialQueue::Duration>(interval);
        return wrap(queue_->every(step, std::move(task), step));
    }

  private:
    static Handle wrap(Timer timer) {
        auto shared = std::make_shared<Timer>(std::move(timer));
        return Handle([shared] { shared->cancel(); });
    }

    std::shared_ptr<SerialQueue> queue_;
};

}  // namespace

std::shared_ptr<TimerSource> TimerSource::onQueue(std::shared_ptr<SerialQueue> queue) {
    return std::make_shared<QueueTimerSource>(std::move(queue));
}

}  // namespace kelvora
