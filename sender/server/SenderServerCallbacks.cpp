#include "sender/server/SenderServerCallbacks.h"

namespace kelvora {

SenderServerCallbacks SenderServerCallbacks::weaklyBound(
    const std::weak_ptr<SenderServerDelegate>& delegate) {
    SenderServerCallbacks callbacks;
    callbacks.onKeyframeRequest = [delegate](uint8_t tier, KeyframeRequestMessage::Reason reason,
                                             std::optional<FrameNumberRange> acknowledged) {
        if (auto target = delegate.lock()) {
            target->handleKeyframeRequest(tier, reason, acknowledged);
        }
    };
    callbacks.onReferenceAck = [delegate](SenderSession& session, const ReferenceAckMessage& ack) {
        if (auto target = delegate.lock()) {
            target->handleReferenceAck(session, ack);
        }
    };
    callbacks.onSessionsChanged = [delegate] {
        if (auto target = delegate.lock()) {
            target->handleSessionsChanged();
        }
    };
    callbacks.onTuningUpdate = [delegate](SenderSession& session, const StreamTuning& tuning) {
        if (auto target = delegate.lock()) {
            target->handleRemoteTuning(session, tuning);
        }
    };
    callbacks.tuningProvider = [delegate]() -> std::optional<StreamTuning> {
        if (auto target = delegate.lock()) {
            return target->currentTuning();
        }
        return std::nullopt;
    };
    callbacks.onRestartSource = [delegate] {
        if (auto target = delegate.lock()) {
            target->reconnectSource();
        }
    };
    callbacks.startsOnProxy = [delegate] {
        auto target = delegate.lock();
        return target && target->startsOnProxy();
    };
    callbacks.rateLimitsProvider = [delegate] {
        if (auto target = delegate.lock()) {
            return target->rateLimits();
        }
        return RateLimits::fallback();
    };
    return callbacks;
}

RateLimits SenderServerCallbacks::rateLimits() const {
    return rateLimitsProvider ? rateLimitsProvider() : RateLimits::fallback();
}

bool SenderServerCallbacks::viewersStartOnProxy() const {
    return startsOnProxy && startsOnProxy();
}

std::optional<StreamTuning> SenderServerCallbacks::currentTuning() const {
    return tuningProvider ? tuningProvider() : std::nullopt;
}

}  // namespace kelvora
