#include "sender/pipeline/TierEncoders.h"

#include <algorithm>

#include "core/Log.h"

namespace kelvora {

void TierEncoders::update(const SenderSettings& settings, const TierInputs& inputs, const Factory& make) {
    // Encoders leaving the table are released after the lock: releasing one waits for the picture it is
    // compressing, and the source's thread must not wait for that to read the table.
    std::vector<std::shared_ptr<VideoEncoder>> removed;
    {
        std::lock_guard lock(lock_);

        EncoderConfiguration main = TierLayout::mainConfiguration(settings, inputs);
        auto& mainSlot = encoders_[TierLayout::mainTier];
        if (!mainSlot) {
            mainSlot = make(TierLayout::mainTier, main);
        } else {
            if (settings.adaptiveBitrate) {
                main.bitrateKbps = std::min(mainSlot->configuredBitrateKbps(), main.bitrateKbps);
            }
            mainSlot->applyPendingSessionChange(main);
        }
        mainSlot->setFrameRateLimit(
            TierLayout::frameRateLimit(TierLayout::mainTier, settings, inputs.frameRate));

        if (auto proxy = TierLayout::proxyConfiguration(settings, inputs)) {
            auto& slot = encoders_[TierLayout::proxyTier];
            if (!slot) {
                Log::bitrate().info("Proxy-Stream gestartet ({}, {} kbit/s)", proxy->dimensions.description(),
                                    proxy->bitrateKbps);
                slot = make(TierLayout::proxyTier, *proxy);
            } else {
                slot->applyPendingSessionChange(*proxy);
            }
            slot->setFrameRateLimit(
                TierLayout::frameRateLimit(TierLayout::proxyTier, settings, inputs.frameRate));
        } else if (auto found = encoders_.find(TierLayout::proxyTier); found != encoders_.end()) {
            Log::bitrate().info("Proxy-Stream beendet");
            removed.push_back(std::move(found->second));
            encoders_.erase(found);
        }

        if (auto middle = TierLayout::middleConfiguration(settings, inputs)) {
            auto& slot = encoders_[TierLayout::middleTier];
            if (!slot) {
                Log::bitrate().info("Zwischenstufe gestartet ({})", middle->dimensions.description());
                slot = make(TierLayout::middleTier, *middle);
            } else {
                slot->applyPendingSessionChange(*middle);
            }
            slot->setFrameRateLimit(
                TierLayout::frameRateLimit(TierLayout::middleTier, settings, inputs.frameRate));
        } else if (auto found = encoders_.find(TierLayout::middleTier); found != encoders_.end()) {
            Log::bitrate().info("Zwischenstufe beendet");
            removed.push_back(std::move(found->second));
            encoders_.erase(found);
        }
    }
}

std::shared_ptr<VideoEncoder> TierEncoders::find(uint8_t tier) const {
    std::lock_guard lock(lock_);
    auto found = encoders_.find(tier);
    return found == encoders_.end() ? nullptr : found->second;
}

std::map<uint8_t, std::shared_ptr<VideoEncoder>> TierEncoders::snapshot() const {
    std::lock_guard lock(lock_);
    return encoders_;
}

std::vector<std::shared_ptr<VideoEncoder>> TierEncoders::list() const {
    std::vector<std::shared_ptr<VideoEncoder>> encoders;
    std::lock_guard lock(lock_);
    encoders.reserve(encoders_.size());
    for (const auto& [tier, encoder] : encoders_) {
        encoders.push_back(encoder);
    }
    return encoders;
}

void TierEncoders::resetSessions() {
    std::lock_guard lock(lock_);
    for (auto& [tier, encoder] : encoders_) {
        encoder->resetSession();
    }
}

void TierEncoders::clear() {
    // Released after the lock, as in update().
    std::map<uint8_t, std::shared_ptr<VideoEncoder>> removed;
    {
        std::lock_guard lock(lock_);
        removed.swap(encoders_);
    }
}

}  // namespace kelvora
