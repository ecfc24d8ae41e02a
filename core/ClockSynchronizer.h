#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace kelvora {

// The receiver's estimate of the sender's clock, NTP style, from time-sync round trips: the receiver sends
// at t1, the sender receives at t2 and answers at t3, the receiver gets the answer at t4. Of the last
// `capacity` accepted exchanges, the one with the smallest round trip gives the offset in use. Plain value;
// its owner serialises access.
class ClockSynchronizer {
  public:
    struct Sample {
        int64_t offsetNanoseconds;  // sender clock minus receiver clock
        int64_t rttNanoseconds;
        uint64_t takenAt;  // t4
        bool operator==(const Sample&) const = default;
    };

    // A round trip above this (or a negative one) says nothing useful about the offset.
    static constexpr uint64_t kMaximumRttNanoseconds = 4'999'999'999;

    explicit ClockSynchronizer(int capacity);

    // Adds one exchange; nothing (and no change) when its round trip is negative or longer than 5 s.
    std::optional<Sample> add(uint64_t clientSend, uint64_t serverReceive, uint64_t serverSend,
                              uint64_t clientReceive);

    int sampleCount() const { return static_cast<int>(samples_.size()); }
    const std::deque<Sample>& samples() const { return samples_; }
    int capacity() const { return capacity_; }
    bool isSynchronized() const { return samples_.size() >= 3; }
    // -1 until a sample has been accepted (since creation or reset).
    double lastRttMilliseconds() const { return lastRttMilliseconds_; }

    // The offset of the smallest round trip; the oldest wins a tie.
    std::optional<int64_t> bestOffset() const;
    // -1 without samples.
    double minimumRttMilliseconds() const;
    // A sender time on the receiver's clock; one sample is enough.
    std::optional<uint64_t> localTime(uint64_t senderTime) const;
    // Capture-to-now latency of a sender time, once synchronised (3 samples). May be negative while the
    // estimate is off; it is returned as is.
    std::optional<double> latencyMilliseconds(uint64_t senderTime, uint64_t now) const;

    void reset();

  private:
    const Sample* best() const;

    std::deque<Sample> samples_;
    int capacity_;
    double lastRttMilliseconds_ = -1.0;
};

}  // namespace kelvora
