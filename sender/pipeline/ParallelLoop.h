#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvora {

// Runs the iterations of a loop at the same time on a few helper threads and the caller's own thread, and
// returns when all are done: how one source picture reaches several tier encoders at once, so that scaling
// for one tier does not wait for another.
//
// Thread safety: `run` may be called from any thread; calls from several threads run one after the other.
// The helpers are started at construction and joined by the destructor.
class ParallelLoop {
  public:
    explicit ParallelLoop(size_t helpers);
    ~ParallelLoop();
    ParallelLoop(const ParallelLoop&) = delete;
    ParallelLoop& operator=(const ParallelLoop&) = delete;

    // Calls body(0) ... body(count - 1), each exactly once, in any order and in parallel.
    void run(size_t count, const std::function<void(size_t)>& body);

  private:
    void help();
    // Takes and runs iterations until none is left; with `lock_` held on entry and return.
    void work(std::unique_lock<std::mutex>& lock);

    std::mutex runLock_;

    std::mutex lock_;
    std::condition_variable wake_;
    std::condition_variable finished_;
    const std::function<void(size_t)>* body_ = nullptr;
    size_t count_ = 0;
    size_t next_ = 0;
    size_t done_ = 0;
    uint64_t round_ = 0;
    bool stopping_ = false;

    std::vector<std::thread> helpers_;
};

}  // namespace kelvora
