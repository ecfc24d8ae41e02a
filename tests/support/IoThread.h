#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

namespace kelvora::test {

// An io_context on a thread of its own, standing in for an owner's serial queue.
class IoThread {
  public:
    IoThread() : guard_(asio::make_work_guard(context_)) {
        thread_ = std::thread([this] {
            context_.run();
            finished_.set_value();
        });
    }
    ~IoThread() { drain(); }

    asio::io_context& context() { return context_; }

    // Runs `work` on the thread and returns its result.
    template <class Work>
    auto call(Work work) -> decltype(work()) {
        if (!thread_.joinable()) {
            throw std::logic_error("the io thread has been drained");
        }
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto result = task.get_future();
        asio::post(context_, [&task] { task(); });
        return result.get();
    }

    // Lets the context finish its remaining work (closing periods, timers). Work that never ends is a
    // leak of the code under test and fails the test.
    void drain(std::chrono::seconds limit = std::chrono::seconds(20)) {
        if (!thread_.joinable()) {
            return;
        }
        guard_.reset();
        auto finished = finished_.get_future();
        if (finished.wait_for(limit) == std::future_status::timeout) {
            ADD_FAILURE() << "work was still pending on the io thread";
            context_.stop();
        }
        thread_.join();
    }

  private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::promise<void> finished_;
    std::thread thread_;
};

// A value that one thread sets and another waits for.
template <class T>
class Signal {
  public:
    void set(T value) {
        std::lock_guard lock(mutex_);
        if (!value_) {
            value_ = std::move(value);
        }
        condition_.notify_all();
    }

    std::optional<T> wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        condition_.wait_for(lock, limit, [this] { return value_.has_value(); });
        return value_;
    }

    bool isSet() {
        std::lock_guard lock(mutex_);
        return value_.has_value();
    }

  private:
    std::mutex mutex_;
    std::condition_variable condition_;
    std::optional<T> value_;
};

}  // namespace kelvora::test
