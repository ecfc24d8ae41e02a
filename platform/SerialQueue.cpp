#include "platform/SerialQueue.h"

#include "platform/Logger.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <pthread.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>
#include <unordered_map>

namespace kelvora {

struct SerialQueue::TimerControl {
    std::weak_ptr<Impl> queue;
    uint64_t id = 0;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> finished{false};
};

struct SerialQueue::Impl {
    // Timers are owned here, on the queue thread, so that no asio::steady_timer can outlive the io_context:
    // `context` is declared first and therefore destroyed last.
    struct Entry {
        explicit Entry(asio::io_context& context) : timer(context) {}
        asio::steady_timer timer;
        std::shared_ptr<Task> task;
        Duration interval{};
        std::shared_ptr<TimerControl> control;
    };

    asio::io_context context;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::unordered_map<uint64_t, std::unique_ptr<Entry>> timers;
    std::atomic<uint64_t> nextTimerId{1};
    std::string label;
    std::string threadName;
    std::atomic<std::thread::id> threadId{};
    std::thread thread;

    void arm(Entry& entry, TimePoint deadline);
    void fire(uint64_t id);
    void remove(uint64_t id) { timers.erase(id); }
};

void SerialQueue::Impl::arm(Entry& entry, TimePoint deadline) {
    entry.timer.expires_at(deadline);
    const uint64_t id = entry.control->id;
    // The raw pointer is safe: handlers only run while the io_context, which this Impl owns, runs.
    entry.timer.async_wait([this, id](const std::error_code& error) {
        if (!error) {
            fire(id);
        }
    });
}

void SerialQueue::Impl::fire(uint64_t id) {
    auto found = timers.find(id);
    if (found == timers.end()) {
        return;
    }
    Entry& entry = *found->second;
    if (entry.control->cancelled) {
        timers.erase(found);
        return;
    }
    // Keep the task alive on the stack: it may cancel its own timer, which destroys the entry.
    std::shared_ptr<Task> task = entry.task;
    if (entry.interval > Duration::zero()) {
        TimePoint next = entry.timer.expiry() + entry.interval;
        const TimePoint now = std::chrono::steady_clock::now();
        if (next <= now) {
            const auto missed = (now - next) / entry.interval + 1;
            next += missed * entry.interval;
        }
        arm(entry, next);
    } else {
        entry.control->finished = true;
        timers.erase(found);
    }
    (*task)();
}

SerialQueue::SerialQueue(std::string label) : impl_(std::make_shared<Impl>()) {
    impl_->label = std::move(label);
    impl_->threadName = threadNameFor(impl_->label);
    impl_->work.emplace(impl_->context.get_executor());
    std::promise<void> started;
    auto startedFuture = started.get_future();
    impl_->thread = std::thread([impl = impl_, &started] {
        impl->threadId = std::this_thread::get_id();
        pthread_setname_np(pthread_self(), impl->threadName.c_str());
        started.set_value();
        impl->context.run();
    });
    // isCurrent() must be right from the first task on, so the thread id is known before we return.
    startedFuture.wait();
}

SerialQueue::~SerialQueue() {
    impl_->work.reset();
    impl_->context.stop();
    if (isCurrent()) {
        // The last owner let go from inside one of our own tasks: the thread cannot join itself. It leaves
        // run() when that task returns and then releases the Impl it holds.
        impl_->thread.detach();
    } else if (impl_->thread.joinable()) {
        impl_->thread.join();
    }
}

std::string SerialQueue::labelFor(std::string_view suffix) {
    std::string label(kLoggerPrefix);
    label += '.';
    label += suffix;
    return label;
}

std::string SerialQueue::threadNameFor(std::string_view label) {
    const auto dot = label.rfind('.');
    std::string_view last = dot == std::string_view::npos ? label : label.substr(dot + 1);
    if (last.size() > 15) {
        last = last.substr(0, 15);
        // Do not leave half of a UTF-8 sequence at the end.
        while (!last.empty() && (static_cast<unsigned char>(last.back()) & 0xC0) == 0x80) {
            last.remove_suffix(1);
        }
        if (!last.empty() && (static_cast<unsigned char>(last.back()) & 0x80) != 0) {
            last.remove_suffix(1);
        }
    }
    return std::string(last);
}

const std::string& SerialQueue::label() const {
    return impl_->label;
}

void SerialQueue::async(Task task) {
    asio::post(impl_->context, std::move(task));
}

Timer SerialQueue::after(Duration delay, Task task) {
    return schedule(std::chrono::steady_clock::now() + delay, Duration::zero(), std::move(task));
}

Timer SerialQueue::at(TimePoint deadline, Task task) {
    return schedule(deadline, Duration::zero(), std::move(task));
}

Timer SerialQueue::every(Duration interval, Task task, Duration initialDelay) {
    if (interval <= Duration::zero()) {
        interval = std::chrono::milliseconds(1);
    }
    return schedule(std::chrono::steady_clock::now() + initialDelay, interval, std::move(task));
}

Timer SerialQueue::every(Duration interval, Task task) {
    return every(interval, std::move(task), interval);
}

Timer SerialQueue::schedule(TimePoint deadline, Duration interval, Task task) {
    auto control = std::make_shared<TimerControl>();
    control->queue = impl_;
    control->id = impl_->nextTimerId.fetch_add(1);
    auto shared = std::make_shared<Task>(std::move(task));
    Impl* impl = impl_.get();
    async([impl, control, shared, deadline, interval] {
        if (control->cancelled) {
            return;
        }
        auto entry = std::make_unique<Impl::Entry>(impl->context);
        entry->task = shared;
        entry->interval = interval;
        entry->control = control;
        impl->arm(*entry, deadline);
        impl->timers.emplace(control->id, std::move(entry));
    });
    return Timer(std::move(control));
}

bool SerialQueue::isCurrent() const {
    return impl_->threadId.load() == std::this_thread::get_id();
}

void SerialQueue::assertCurrent(const char* what) const {
    if (!isCurrent()) {
        std::fprintf(stderr, "%s must run on queue %s\n", what, impl_->label.c_str());
        std::abort();
    }
}

asio::io_context& SerialQueue::context() {
    return impl_->context;
}

Timer& Timer::operator=(Timer&& other) noexcept {
    if (this != &other) {
        cancel();
        control_ = std::move(other.control_);
    }
    return *this;
}

Timer::~Timer() {
    cancel();
}

void Timer::cancel() {
    if (!control_) {
        return;
    }
    auto control = std::move(control_);
    control->cancelled = true;
    auto impl = control->queue.lock();
    if (!impl) {
        return;
    }
    if (impl->threadId.load() == std::this_thread::get_id()) {
        impl->remove(control->id);
    } else {
        SerialQueue::Impl* raw = impl.get();
        asio::post(impl->context, [raw, id = control->id] { raw->remove(id); });
    }
}

bool Timer::isActive() const {
    return control_ && !control_->cancelled && !control_->finished;
}

}  // namespace kelvora
