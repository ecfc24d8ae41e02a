#include "platform/PixelBufferPool.h"

#include "platform/PixelBufferStorage.h"

#include <mutex>
#include <vector>

namespace kelvora {

struct PixelBufferPool::State {
    std::mutex mutex;
    size_t maximumRetained;
    std::vector<std::unique_ptr<PixelBuffer::Storage>> idle;
};

namespace {

// Runs when the last copy of a pooled buffer is gone, on whichever thread dropped it.
struct ReturnToPool {
    std::weak_ptr<PixelBufferPool::State> pool;

    void operator()(PixelBuffer::Storage* raw) const {
        std::unique_ptr<PixelBuffer::Storage> storage(raw);
        if (auto state = pool.lock()) {
            std::lock_guard lock(state->mutex);
            if (state->idle.size() < state->maximumRetained) {
                state->idle.push_back(std::move(storage));
            }
        }
        // Otherwise the memory is freed here, outside the pool's lock.
    }
};

}  // namespace

PixelBufferPool::PixelBufferPool(PixelFormat format, int width, int height, size_t maximumRetained)
    : format_(format), width_(width), height_(height), state_(std::make_shared<State>()) {
    state_->maximumRetained = maximumRetained;
    // Fail at construction, not at the first frame, for a size no buffer can have.
    PixelBuffer::make(format, width, height);
}

PixelBuffer PixelBufferPool::make() {
    std::unique_ptr<PixelBuffer::Storage> storage;
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->idle.empty()) {
            storage = std::move(state_->idle.back());
            state_->idle.pop_back();
        }
    }
    if (!storage) {
        storage = PixelBuffer::Storage::allocate(format_, width_, height_);
    }
    return PixelBuffer(std::shared_ptr<PixelBuffer::Storage>(storage.release(), ReturnToPool{state_}));
}

size_t PixelBufferPool::idleCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->idle.size();
}

void PixelBufferPool::flush() {
    std::vector<std::unique_ptr<PixelBuffer::Storage>> freed;
    std::lock_guard lock(state_->mutex);
    freed.swap(state_->idle);
}

}  // namespace kelvora
