#include "receiver/session/PlayoutQueue.h"

#include <algorithm>

namespace kelvora {

double PlayoutQueue::delayMs(std::optional<double> targetMs, std::optional<double> latencyMs) {
    if (!targetMs || !latencyMs) {
        return 0;
    }
    const double delay = std::min({*targetMs - *latencyMs, *targetMs, maximumDelayMs});
    return delay > 0.5 ? delay : 0;
}

void PlayoutQueue::release(size_t count, Released& released) {
    for (size_t i = 0; i < count; ++i) {
        released.pictures.push_back(std::move(waiting_[i].picture));
        released.timers.push_back(std::move(waiting_[i].timer));
    }
    waiting_.erase(waiting_.begin(), waiting_.begin() + static_cast<std::ptrdiff_t>(count));
}

PlayoutQueue::Released PlayoutQueue::showNow(Picture picture) {
    Released released;
    release(waiting_.size(), released);
    released.pictures.push_back(std::move(picture));
    return released;
}

PlayoutQueue::Released PlayoutQueue::hold(uint64_t id, Picture picture, TimerSource::Handle timer) {
    Released released;
    if (waiting_.size() >= maximumWaiting) {
        release(waiting_.size() + 1 - maximumWaiting, released);
    }
    waiting_.push_back({id, std::move(picture), std::move(timer)});
    return released;
}

PlayoutQueue::Released PlayoutQueue::fired(uint64_t id) {
    Released released;
    const auto found =
        std::find_if(waiting_.begin(), waiting_.end(), [id](const Waiting& entry) { return entry.id == id; });
    if (found != waiting_.end()) {
        release(static_cast<size_t>(found - waiting_.begin()) + 1, released);
    }
    return released;
}

std::vector<TimerSource::Handle> PlayoutQueue::clear() {
    std::vector<TimerSource::Handle> gone;
    for (Waiting& entry : waiting_) {
        gone.push_back(std::move(entry.timer));
    }
    waiting_.clear();
    return gone;
}

}  // namespace kelvora
