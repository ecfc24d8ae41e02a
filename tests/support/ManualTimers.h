#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "core/TimerSource.h"

namespace kelvora::testing {

// A clock the test moves by hand: advance() fires, on the component's queue, every timer it carries the clock
// past, each at its own deadline and in order, so limits of seconds are checked exactly and at once.
class ManualTimers final : public TimerSource {
  public:
    explicit ManualTimers(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}

    uint64_t now() const override {
        std::lock_guard guard(mutex_);
        return now_;
    }
    Handle after(Duration delay, Task task) override { return arm(delay, Duration::zero(), std::move(task)); }
    Handle every(Duration interval, Task task) override { return arm(interval, interval, std::move(task)); }

    void advance(Duration step) {
        queue_->sync([&] {
            const uint64_t target = now() + static_cast<uint64_t>(step.count());
            while (Task task = takeDue(target)) {
                task();
            }
        });
    }

  private:
    struct Entry {
        uint64_t deadline;
        uint64_t interval;
        Task task;
    };

    // The earliest task due by `target`, with the clock set to its deadline; the clock at `target` when none.
    Task takeDue(uint64_t target) {
        std::lock_guard guard(mutex_);
        auto due = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->second.deadline <= target &&
                (due == entries_.end() || it->second.deadline < due->second.deadline)) {
                due = it;
            }
        }
        if (due == entries_.end()) {
            now_ = target;
            return nullptr;
        }
        now_ = due->second.deadline;
        Task task = due->second.task;
        if (due->second.interval > 0) {
            due->second.deadline += due->second.interval;
        } else {
            entries_.erase(due);
        }
        return task;
    }

    Handle arm(Duration delay, Duration interval, Task task) {
        std::lock_guard guard(mutex_);
        const uint64_t id = nextId_++;
        entries_[id] = Entry{now_ + static_cast<uint64_t>(delay.count()),
                             static_cast<uint64_t>(interval.count()), std::move(task)};
        return Handle([this, id] {
            std::lock_guard guard(mutex_);
            entries_.erase(id);
        });
    }

    std::shared_ptr<SerialQueue> queue_;
    mutable std::mutex mutex_;
    uint64_t now_ = 1'000'000'000'000;
    uint64_t nextId_ = 1;
    std::map<uint64_t, Entry> entries_;
};

}  // namespace kelvora::testing
