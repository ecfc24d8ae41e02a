#include "core/SampleWindow.h"

#include <algorithm>
#include <cmath>

namespace kelvora {

SampleWindow::SampleWindow(int capacity) : capacity_(capacity > 0 ? static_cast<size_t>(capacity) : 0) {}

void SampleWindow::add(double value) {
    if (!std::isfinite(value) || capacity_ == 0) {
        return;
    }
    if (ring_.size() < capacity_) {
        ring_.resize(capacity_);
    }
    if (count_ < capacity_) {
        ring_[(start_ + count_) % capacity_] = value;
        ++count_;
    } else {
        ring_[start_] = value;
        start_ = (start_ + 1) % capacity_;
    }
}

void SampleWindow::removeAll() {
    start_ = 0;
    count_ = 0;
}

std::vector<double> SampleWindow::values() const {
    std::vector<double> ordered;
    ordered.reserve(count_);
    for (size_t i = 0; i < count_; ++i) {
        ordered.push_back(ring_[(start_ + i) % capacity_]);
    }
    return ordered;
}

std::optional<double> SampleWindow::last() const {
    if (count_ == 0) {
        return std::nullopt;
    }
    return ring_[(start_ + count_ - 1) % capacity_];
}

std::optional<double> SampleWindow::percentile(double p) const {
    if (count_ == 0) {
        return std::nullopt;
    }
    std::vector<double> sorted = values();
    std::sort(sorted.begin(), sorted.end());
    // NaN compares false both ways and would pass a clamp unchanged; treat it as the lowest rank.
    double clamped = std::isnan(p) ? 0.0 : std::clamp(p, 0.0, 1.0);
    double x = clamped * static_cast<double>(count_ - 1);
    double lo = std::floor(x);
    double hi = std::ceil(x);
    double low = sorted[static_cast<size_t>(lo)];
    double high = sorted[static_cast<size_t>(hi)];
    return low + (x - lo) * (high - low);
}

std::optional<double> SampleWindow::minimum() const {
    if (count_ == 0) {
        return std::nullopt;
    }
    std::vector<double> all = values();
    return *std::min_element(all.begin(), all.end());
}

std::optional<double> SampleWindow::mean() const {
    if (count_ == 0) {
        return std::nullopt;
    }
    double sum = 0;
    for (size_t i = 0; i < count_; ++i) {
        sum += ring_[(start_ + i) % capacity_];
    }
    return sum / static_cast<double>(count_);
}

}  // namespace kelvora
