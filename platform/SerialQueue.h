#pragma once

#include <asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace kelvora {

class Timer;

// A serial queue: one thread of its own that runs an asio::io_context. Tasks and timer callbacks run one at a
// time, in the order they became due, on that thread; Asio sockets made on `context()` complete there too, so
// an object that keeps all its state on one queue needs no lock.
//
// The label is reverse-DNS ("app.kelvora.sender.server"); the thread is named after its last component,
// cut to the 15 bytes Linux allows.
//
// Thread safety: every member may be called from any thread. Destroying the queue stops its thread after the
// task that is running; tasks and timers not yet started are dropped without running.
class SerialQueue {
  public:
    using Task = std::function<void()>;
    using Duration = std::chrono::steady_clock::duration;
    using TimePoint = std::chrono::steady_clock::time_point;

    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // "app.kelvora.sender." + suffix: the label of one of the system's queues.
    static std::string labelFor(std::string_view suffix);
    // The thread name a label gives: its last dot-separated component, at most 15 bytes.
    static std::string threadNameFor(std::string_view label);

    const std::string& label() const;

    // Runs `task` on the queue after everything queued before it.
    void async(Task task);
    // Runs `task` once, `delay` from now, unless the returned timer is cancelled or destroyed first.
    [[nodiscard]] Timer after(Duration delay, Task task);
    // Runs `task` once at an absolute deadline, unless cancelled first.
    [[nodiscard]] Timer at(TimePoint deadline, Task task);
    // Runs `task` every `interval`, first after `initialDelay`. Deadlines are absolute (start + n *
    // interval), so a slow task does not make the timer drift; ticks missed while the queue was busy are
    // skipped, not run in a burst.
    [[nodiscard]] Timer every(Duration interval, Task task, Duration initialDelay);
    [[nodiscard]] Timer every(Duration interval, Task task);

    // Whether the calling thread is this queue's thread.
    bool isCurrent() const;
    // The "must run on this queue" check: stops the process with a message naming the queue when called
    // from elsewhere. A wrong thread here is a programming error that would otherwise corrupt state.
    void assertCurrent(const char* what) const;

    // Runs `function` on the queue and waits for its result; runs it directly when called on the queue.
    // Exceptions travel to the caller.
    template <typename Function>
    auto sync(Function&& function) -> std::invoke_result_t<Function&> {
        using Result = std::invoke_result_t<Function&>;
        if (isCurrent()) {
            return function();
        }
        std::packaged_task<Result()> job(std::forward<Function>(function));
        auto result = job.get_future();
        async([&job] { job(); });
        return result.get();
    }

    // For Asio objects that must complete on this queue.
    asio::io_context& context();

  private:
    friend class Timer;
    struct Impl;
    struct TimerControl;
    Timer schedule(TimePoint deadline, Duration interval, Task task);

    std::shared_ptr<Impl> impl_;
};

// A scheduled one-shot or repeating task of a SerialQueue. Move-only; destroying it cancels it, so a timer
// lives exactly as long as its owner keeps the handle. `cancel()` may be called from any thread: once it
// has returned on the queue's own thread the task does not run again; from another thread at most the run
// that has already begun completes.
class Timer {
  public:
    Timer() = default;
    Timer(Timer&&) noexcept = default;
    Timer& operator=(Timer&& other) noexcept;
    ~Timer();

    void cancel();
    // Scheduled and neither cancelled nor (for a one-shot) already run.
    bool isActive() const;

  private:
    friend class SerialQueue;
    explicit Timer(std::shared_ptr<SerialQueue::TimerControl> control) : control_(std::move(control)) {}
    std::shared_ptr<SerialQueue::TimerControl> control_;
};

}  // namespace kelvora
