#include "core/RateMeter.h"

#include <cmath>
#include <stdexcept>

namespace kelvora {

RateMeter::RateMeter(double windowSeconds) {
    double nanoseconds = windowSeconds * 1e9;
    if (!std::isfinite(nanoseconds) || nanoseconds < 1.0 || nanoseconds >= 1.8e19) {
        throw std::invalid_argument("RateMeter window must be a positive, finite number of seconds");
    }
    window_ = static_cast<uint64_t>(nanoseconds);
}

void RateMeter::record(int amount, uint64_t time) {
    events_.push_back({time, amount});
    sum_ += amount;
    prune(time);
}

void RateMeter::prune(uint64_t now) {
    uint64_t cutoff = now >= window_ ? now - window_ : 0;
    while (head_ < events_.size() && events_[head_].time < cutoff) {
        sum_ -= events_[head_].amount;
        ++head_;
    }
    if (head_ == events_.size()) {
        events_.clear();
        head_ = 0;
        sum_ = 0;
    } else if (head_ > 64 && head_ * 2 > events_.size()) {
        events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
}

double RateMeter::rate(uint64_t now) {
    prune(now);
    if (count() == 0) {
        return 0;
    }
    return static_cast<double>(sum_) * 1e9 / static_cast<double>(window_);
}

double RateMeter::eventRate(uint64_t now) {
    prune(now);
    return static_cast<double>(count()) * 1e9 / static_cast<double>(window_);
}

}  // namespace kelvora
