#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sender/server/MediaSink.h"

namespace kelvora::testing {

// A media sink whose answers a test scripts and whose traffic it reads back.
class FakeMediaSink final : public MediaSink {
  public:
    struct Sent {
        uint8_t tier;
        uint64_t frameNumber;
        EncodedVideoFrame::Flags flags;
        SharedBytes message;
    };

    bool connected = true;
    bool passthrough = false;
    SinkCongestion overall = SinkCongestion::none;
    std::map<uint8_t, SinkCongestion> congestionByTier;
    std::map<uint8_t, bool> keyframeInFlightByTier;
    std::map<uint8_t, double> oldestAgeByTier;
    std::optional<double> acked;
    std::optional<double> deliveryEstimate;

    std::vector<Sent> sent;
    std::vector<uint8_t> cancelledTiers;
    int closeCount = 0;
    std::function<void()> onClose;

    bool isConnected() const override { return connected; }
    SinkCongestion congestion() const override { return overall; }
    SinkCongestion congestionForTier(uint8_t tier) const override {
        const auto found = congestionByTier.find(tier);
        return found == congestionByTier.end() ? overall : found->second;
    }
    bool isPassthrough() const override { return passthrough; }
    void send(const EncodedVideoFrame& frame, const SharedBytes& message) override {
        sent.push_back(Sent{frame.tier, frame.frameNumber, frame.flags, message});
    }
    void passThrough(const PixelBuffer&, uint64_t, bool) override {}
    bool hasKeyframeInFlight() const override {
        for (const auto& [_, inFlight] : keyframeInFlightByTier) {
            if (inFlight) {
                return true;
            }
        }
        return false;
    }
    bool hasKeyframeInFlightForTier(uint8_t tier) const override {
        const auto found = keyframeInFlightByTier.find(tier);
        return found != keyframeInFlightByTier.end() && found->second;
    }
    void cancelAll() override { cancelledTiers.push_back(0xFF); }
    void cancelTier(uint8_t tier) override { cancelledTiers.push_back(tier); }
    double oldestInFlightAge(uint8_t tier) const override {
        const auto found = oldestAgeByTier.find(tier);
        return found == oldestAgeByTier.end() ? 0 : found->second;
    }
    std::optional<double> takeDeliveryEstimate() override {
        return std::exchange(deliveryEstimate, std::nullopt);
    }
    std::optional<double> ackedKbps(double) override { return acked; }
    std::string diagnostics() const override { return {}; }
    void close() override {
        closeCount += 1;
        if (onClose) {
            onClose();
        }
    }

    // Frame numbers sent on one tier, in order.
    std::vector<uint64_t> numbersSent(uint8_t tier) const {
        std::vector<uint64_t> numbers;
        for (const Sent& frame : sent) {
            if (frame.tier == tier) {
                numbers.push_back(frame.frameNumber);
            }
        }
        return numbers;
    }
};

}  // namespace kelvora::testing
