#include "sender/server/QUICDeliveryMeter.h"

#include <algorithm>

#include "core/MonotonicClock.h"

namespace kelvora {

QUICDeliveryMeter::Receipt QUICDeliveryMeter::recordReceipt(uint64_t now, uint64_t sendTime,
                                                            uint64_t byteCount) {
    Receipt receipt;
    receipt.transferMs = MonotonicClock::milliseconds(sendTime, now);
    ackLog_.push_back({now, byteCount});
    while (ackLog_.size() > ackLogCapacity) {
        ackLog_.pop_front();
    }
    if (byteCount <= baseDelayFrameLimit) {
        baseDelaySamples_.push_back({now, receipt.transferMs});
        while (!baseDelaySamples_.empty() &&
               MonotonicClock::milliseconds(baseDelaySamples_.front().at, now) > baseDelayWindowMs) {
            baseDelaySamples_.pop_front();
        }
    }
    if (byteCount < rateSampleFrameMinimum ||
        MonotonicClock::milliseconds(createdAt_, sendTime) <= warmUpMs) {
        return receipt;
    }
    receipt.measured = true;
    if (!baseDelaySamples_.empty()) {
        receipt.baseDelayMs = std::min_element(baseDelaySamples_.begin(), baseDelaySamples_.end(),
                                               [](const auto& a, const auto& b) { return a.ms < b.ms; })
                                  ->ms;
    }
    double netMs = receipt.transferMs - receipt.baseDelayMs;
    // Everything acknowledged since this frame left shared the path with it.
    for (const auto& entry : ackLog_) {
        if (static_cast<int64_t>(entry.at - sendTime) >= 0) {
            receipt.windowBytes += entry.bytes;
        }
    }
    double bits = static_cast<double>(receipt.windowBytes) * 8;
    if (netMs > 1.0) {
        receipt.rateKbps = bits / netMs;
        deliverySamples_.push_back(*receipt.rateKbps);
    }
    receipt.loggedKbps = bits / std::max(netMs, 0.1);
    return receipt;
}

std::optional<double> QUICDeliveryMeter::takeDeliveryEstimate() {
    std::optional<double> largest;
    if (!deliverySamples_.empty()) {
        largest = *std::max_element(deliverySamples_.begin(), deliverySamples_.end());
    }
    deliverySamples_.clear();
    return largest;
}

std::optional<double> QUICDeliveryMeter::ackedKbps(uint64_t now, double windowMs) const {
    if (MonotonicClock::milliseconds(createdAt_, now) <= windowMs + 1000) {
        return std::nullopt;
    }
    uint64_t bytes = 0;
    for (const auto& entry : ackLog_) {
        if (MonotonicClock::milliseconds(entry.at, now) <= windowMs) {
            bytes += entry.bytes;
        }
    }
    return static_cast<double>(bytes) * 8 / windowMs;
}

}  // namespace kelvora
