#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "core/TimerSource.h"

namespace kelvora::testing {

// A clock the test moves by hand. advance() runs every task that comes due on the way, in deadline order,
// each on its own queue and to its end before the next, at its own deadline, so a test sees exactly what
// seconds or minutes of a component's life would have done.
class ManualTimers final : public TimerSource {
  public:
    explicit ManualTimers(uint64_t start = 1'000'000'000'000) : state_(std::make_shared<State>()) {
        state_->now = start;
    }

    uint64_t now() const override { return state_->now.load(); }

    Handle after(const std::shared_ptr<SerialQueue>& queue, Duration delay, Task task) override {
        return add(queue, delay, Duration::zero(), std::move(task));
    }
    Handle every(const std::shared_ptr<SerialQueue>& queue, Duration interval, Task task) override {
        return add(queue, interval, interval, std::move(task));
    }

    void advance(Duration step) {
        const uint64_t target = now() + static_cast<uint64_t>(step.count());
        for (;;) {
            std::shared_ptr<Task> task;
            std::shared_ptr<SerialQueue> queue;
            {
                std::lock_guard lock(state_->mutex);
                auto due = std::min_element(
                    state_->entries.begin(), state_->entries.end(), [](const auto& a, const auto& b) {
                        return a.second.deadline != b.second.deadline ? a.second.deadline < b.second.deadline
                                                                      : a.first < b.first;
                    });
                if (due == state_->entries.end() || due->second.deadline > target) {
                    state_->now = target;
                    return;
                }
                state_->now = std::max(state_->now.load(), due->second.deadline);
                task = due->second.task;
                queue = due->second.queue.lock();
                if (due->second.interval > 0 && queue) {
                    due->second.deadline += due->second.interval;
                } else {
                    state_->entries.erase(due);
                }
            }
            if (queue) {
                queue->sync([&] { (*task)(); });
            }
        }
    }

    // The process stands still for `step` (stopped, a laptop lid closed): nothing runs on the way; then every
    // task that came due meanwhile runs once, late, at the end, and a repeating one skips the ticks it
    // missed, as the queues' own timers do.
    void stall(Duration step) {
        const uint64_t target = now() + static_cast<uint64_t>(step.count());
        {
            std::lock_guard lock(state_->mutex);
            for (auto& [id, entry] : state_->entries) {
                entry.deadline = std::max(entry.deadline, target);
            }
        }
        advance(step);
    }

    size_t pendingCount() const {
        std::lock_guard lock(state_->mutex);
        return state_->entries.size();
    }

  private:
    struct Entry {
        uint64_t deadline;
        uint64_t interval;
        std::weak_ptr<SerialQueue> queue;
        std::shared_ptr<Task> task;
    };
    struct State {
        mutable std::mutex mutex;
        std::atomic<uint64_t> now{0};
        std::map<uint64_t, Entry> entries;
        uint64_t nextID = 1;
    };

    Handle add(const std::shared_ptr<SerialQueue>& queue, Duration delay, Duration interval, Task task) {
        std::lock_guard lock(state_->mutex);
        const uint64_t id = state_->nextID++;
        state_->entries[id] =
            Entry{state_->now + static_cast<uint64_t>(delay.count()), static_cast<uint64_t>(interval.count()),
                  queue, std::make_shared<Task>(std::move(task))};
        return Handle([weak = std::weak_ptr<State>(state_), id] {
            std::shared_ptr<Task> task;  // released after unlocking: it may hold handles of its own
            if (auto state = weak.lock()) {
                std::lock_guard lock(state->mutex);
                if (auto found = state->entries.find(id); found != state->entries.end()) {
                    task = std::move(found->second.task);
                    state->entries.erase(found);
                }
            }
        });
    }

    std::shared_ptr<State> state_;
};

}  // namespace kelvora::testing
