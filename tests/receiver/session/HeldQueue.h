#pragma once

#include <future>
#include <memory>
#include <utility>

#include "platform/SerialQueue.h"

namespace kelvora::test {

// A worker queue that runs nothing until released (at the latest when this goes): a decoder on it falls
// behind as far as the test likes.
class HeldQueue {
  public:
    HeldQueue() {
        queue->async([released = released_.get_future().share()] { released.wait(); });
    }
    ~HeldQueue() { release(); }

    void release() {
        if (!std::exchange(isReleased_, true)) {
            released_.set_value();
        }
    }

    const std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>(SerialQueue::labelFor("held"));

  private:
    std::promise<void> released_;
    bool isReleased_ = false;
};

}  // namespace kelvora::test
