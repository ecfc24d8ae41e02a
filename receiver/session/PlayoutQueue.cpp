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

std::vector<TimerSource::Handle> PlayoutQueue::overtakenBy(uint64_t dueAt) {
    std::vector<TimerSource::Handle> gone;
    std::erase_if(waiting_, [&](Waiting& entry) {
        if (entry.dueAt < dueAt) {
            return false;
        }
        gone.push_back(std::move(entry.timer));
        return true;
    });
    return gone;
}

std::vector<TimerSource::Handle> PlayoutQueue::showNow(uint64_t now) {
    return overtakenBy(now);
}

std::vector<TimerSource::Handle> PlayoutQueue::hold(uint64_t id, uint64_t dueAt, TimerSource::Handle timer) {
    auto gone = overtakenBy(dueAt);
    while (waiting_.size() >= maximumWaiting) {
        gone.push_back(std::move(waiting_.front().timer));
        waiting_.erase(waiting_.begin());
    }
    waiting_.push_back({id, dueAt, std::move(timer)});
    return gone;
}

TimerSource::Handle PlayoutQueue::fired(uint64_t id) {
    auto found =
        std::find_if(waiting_.begin(), waiting_.end(), [id](const Waiting& entry) { return entry.id == id; });
    if (found == waiting_.end()) {
        return {};
    }
    TimerSource::Handle timer = std::move(found->timer);
    waiting_.erase(found);
    return timer;
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
