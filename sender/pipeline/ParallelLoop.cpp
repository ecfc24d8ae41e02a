#include "sender/pipeline/ParallelLoop.h"

#include <pthread.h>

namespace kelvora {

ParallelLoop::ParallelLoop(size_t helpers) {
    for (size_t i = 0; i < helpers; ++i) {
        helpers_.emplace_back([this] {
            pthread_setname_np(pthread_self(), "fanout");
            help();
        });
    }
}

ParallelLoop::~ParallelLoop() {
    {
        std::lock_guard lock(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (auto& helper : helpers_) {
        helper.join();
    }
}

void ParallelLoop::run(size_t count, const std::function<void(size_t)>& body) {
    if (count == 0) {
        return;
    }
    if (count == 1 || helpers_.empty()) {
        for (size_t i = 0; i < count; ++i) {
            body(i);
        }
        return;
    }
    std::lock_guard serial(runLock_);
    std::unique_lock lock(lock_);
    body_ = &body;
    count_ = count;
    next_ = 0;
    done_ = 0;
    ++round_;
    wake_.notify_all();
    work(lock);
    finished_.wait(lock, [&] { return done_ == count_; });
    // Helpers look at the body only while an iteration is left, so it may go away now.
    body_ = nullptr;
}

void ParallelLoop::work(std::unique_lock<std::mutex>& lock) {
    while (body_ != nullptr && next_ < count_) {
        const size_t index = next_++;
        const auto* body = body_;
        lock.unlock();
        (*body)(index);
        lock.lock();
        if (++done_ == count_) {
            finished_.notify_all();
        }
    }
}

void ParallelLoop::help() {
    std::unique_lock lock(lock_);
    uint64_t seen = round_;
    while (true) {
        wake_.wait(lock, [&] { return stopping_ || round_ != seen; });
        if (stopping_) {
            return;
        }
        seen = round_;
        work(lock);
    }
}

}  // namespace kelvora
