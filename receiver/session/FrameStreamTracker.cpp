#include "receiver/session/FrameStreamTracker.h"

#include <algorithm>

#include "core/MonotonicClock.h"

namespace kelvora {

void FrameStreamTracker::opened(Key key, uint64_t now) {
    incomplete_[key] = {++sequence_, now};
}

void FrameStreamTracker::completed(Key key) {
    auto found = incomplete_.find(key);
    if (found == incomplete_.end()) {
        return;
    }
    newestCompleted_ = std::max(newestCompleted_, found->second.sequence);
    incomplete_.erase(found);
}

int FrameStreamTracker::framesInFlight(uint64_t now) const {
    int count = 0;
    for (const auto& [key, entry] : incomplete_) {
        if (entry.sequence < newestCompleted_ &&
            MonotonicClock::milliseconds(entry.openedAt, now) < overtakenWaitMs) {
            ++count;
        }
    }
    return count;
}

std::vector<FrameStreamTracker::Key> FrameStreamTracker::abandon(uint64_t now) {
    std::vector<Key> abandoned;
    for (auto it = incomplete_.begin(); it != incomplete_.end();) {
        if (MonotonicClock::milliseconds(it->second.openedAt, now) > abandonAfterMs) {
            abandoned.push_back(it->first);
            it = incomplete_.erase(it);
        } else {
            ++it;
        }
    }
    return abandoned;
}

}  // namespace kelvora
