#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace kelvora {

// The last `capacity` finite samples of a quantity (latencies, frame intervals), with the statistics the
// dashboards and rate control ask for. Stored in a ring so that adding never moves the other samples; a
// sorted copy is made only when a percentile is asked for. A value type without locking.
class SampleWindow {
  public:
    // A negative capacity is taken as 0: such a window stays empty.
    explicit SampleWindow(int capacity);

    // NaN and infinite values are ignored; once full, the oldest value makes room.
    void add(double value);
    void removeAll();

    bool isEmpty() const { return count_ == 0; }
    size_t count() const { return count_; }
    int capacity() const { return static_cast<int>(capacity_); }
    // Oldest first.
    std::vector<double> values() const;
    std::optional<double> last() const;

    // Linear interpolation between the two nearest ranks of the sorted values; `p` is clamped to 0...1.
    std::optional<double> percentile(double p) const;
    std::optional<double> median() const { return percentile(0.5); }
    std::optional<double> p95() const { return percentile(0.95); }
    std::optional<double> minimum() const;
    std::optional<double> mean() const;

  private:
    size_t capacity_;
    std::vector<double> ring_;
    size_t start_ = 0;  // index of the oldest value
    size_t count_ = 0;
};

}  // namespace kelvora
