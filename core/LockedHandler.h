#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <utility>

namespace kelvora {

// A thread-safe slot for one optional callback: a producer on one thread hands values to whatever consumer
// another thread has installed, replaced or removed. The mutex guards only the swap or read of the shared
// handler; the handler itself always runs after unlocking, so it may call `set` on this very holder. A
// handler that was just replaced may still finish one call that had already fetched it.
template <typename T>
class LockedHandler {
  public:
    using Handler = std::function<void(T)>;

    LockedHandler() = default;
    LockedHandler(const LockedHandler&) = delete;
    LockedHandler& operator=(const LockedHandler&) = delete;

    // An empty function clears the slot. The new handler is boxed before the lock is taken.
    void set(Handler handler) {
        std::shared_ptr<const Handler> box;
        if (handler) {
            box = std::make_shared<const Handler>(std::move(handler));
        }
        std::lock_guard lock(mutex_);
        box_.swap(box);
        // The previous handler is released after unlocking, when `box` goes out of scope: its captures may
        // own objects whose destructors must not run under our lock.
    }

    // Runs once per video frame: one reference copy under the lock, no allocation.
    void operator()(T value) const {
        std::shared_ptr<const Handler> box;
        {
            std::lock_guard lock(mutex_);
            box = box_;
        }
        if (box) {
            (*box)(std::move(value));
        }
    }

    bool hasHandler() const {
        std::lock_guard lock(mutex_);
        return box_ != nullptr;
    }

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Handler> box_;
};

}  // namespace kelvora
