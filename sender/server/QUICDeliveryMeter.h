#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace kelvora {

// What a QUIC sink learns from its frames' receipts: acknowledged bytes, the base delay of small frames
// and delivery-rate samples of large ones. Pure bookkeeping over times the caller passes in.
class QUICDeliveryMeter {
  public:
    static constexpr size_t ackLogCapacity = 512;
    // Frames this small travel in one or two packets; their transfer time is the path's base delay.
    static constexpr size_t baseDelayFrameLimit = 4000;
    static constexpr double baseDelayWindowMs = 5000;
    // Frames this large take long enough on the wire to measure a rate.
    static constexpr size_t rateSampleFrameMinimum = 40000;
    // The first second of a connection is slow start, not the path.
    static constexpr double warmUpMs = 1000;

    explicit QUICDeliveryMeter(uint64_t createdAt) : createdAt_(createdAt) {}

    struct Receipt {
        double transferMs = 0;
        // The frame was large and late enough to be measured.
        bool measured = false;
        // Present when the measurement gave a rate sample (kbit/s).
        std::optional<double> rateKbps;
        uint64_t windowBytes = 0;
        double baseDelayMs = 0;
        // The rate as logged: windowBytes over at least 0.1 ms.
        double loggedKbps = 0;
    };

    // A frame of `byteCount` bytes, sent at `sendTime`, was confirmed at `now`.
    Receipt recordReceipt(uint64_t now, uint64_t sendTime, uint64_t byteCount);

    // The largest rate sample since the last call; the samples are discarded either way.
    std::optional<double> takeDeliveryEstimate();
    // kbit/s acknowledged within the last `windowMs`; nothing while the meter is younger than the window
    // plus one second.
    std::optional<double> ackedKbps(uint64_t now, double windowMs) const;

  private:
    struct Acknowledged {
        uint64_t at;
        uint64_t bytes;
    };
    struct DelaySample {
        uint64_t at;
        double ms;
    };

    uint64_t createdAt_;
    std::deque<Acknowledged> ackLog_;
    std::deque<DelaySample> baseDelaySamples_;
    std::vector<double> deliverySamples_;
};

}  // namespace kelvora
