#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/SerialQueue.h"
#include "sender/server/TimerSource.h"

namespace kelvora::testing {

// A clock the test moves by hand. Timers armed on it run on the server queue when advance() carries the
// clock past their deadline, each at its own time and in deadline order, so limits of seconds are checked
// exactly without waiting for them.
class ManualTimers final : public TimerSource {
  public:
    explicit ManualTimers(std::shared_ptr<SerialQueue> queue, uint64_t start = 1'000'000'000'000)
        : queue_(std::move(queue)), now_(start) {}

    uint64_t now() const override {
        std::lock_guard guard(mutex_);
        return now_;
    }

    Handle after(Duration delay, Task task) override { return arm(delay, 0, std::move(task)); }
    Handle every(Duration interval, Task task) override {
        return arm(interval, interval.count(), std::move(task));
    }

    // Moves the clock forward, firing on the server queue whatever comes due on the way.
    void advance(Duration step) {
        queue_->sync([&] {
            uint64_t target;
            {
                std::lock_guard guard(mutex_);
                target = now_ + static_cast<uint64_t>(step.count());
            }
            while (true) {
                std::shared_ptr<Entry> due;
                {
                    std::lock_guard guard(mutex_);
                    for (auto& [id, entry] : entries_) {
                        if (entry->deadline <= target && (!due || entry->deadline < due->deadline)) {
                            due = entry;
                        }
                    }
                    if (!due) {
                        now_ = target;
                        return;
                    }
                    now_ = due->deadline;
                    if (due->interval > 0) {
                        due->deadline += due->interval;
                    } else {
                        entries_.erase(due->id);
                    }
                }
                Task task = due->task;
                task();
            }
        });
    }

    size_t armedCount() const {
        std::lock_guard guard(mutex_);
        return entries_.size();
    }

  private:
    struct Entry {
        uint64_t id = 0;
        uint64_t deadline = 0;
        uint64_t interval = 0;
        Task task;
    };

    Handle arm(Duration delay, int64_t interval, Task task) {
        std::lock_guard guard(mutex_);
        auto entry = std::make_shared<Entry>();
        entry->id = nextId_++;
        entry->deadline = now_ + static_cast<uint64_t>(delay.count());
        entry->interval = static_cast<uint64_t>(interval);
        entry->task = std::move(task);
        entries_[entry->id] = entry;
        const uint64_t id = entry->id;
        return Handle([this, id] {
            std::lock_guard guard(mutex_);
            entries_.erase(id);
        });
    }

    std::shared_ptr<SerialQueue> queue_;
    mutable std::mutex mutex_;
    uint64_t now_;
    uint64_t nextId_ = 1;
    std::map<uint64_t, std::shared_ptr<Entry>> entries_;
};

}  // namespace kelvora::testing
