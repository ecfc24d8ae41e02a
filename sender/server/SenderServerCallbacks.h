#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "core/ControlRecords.h"
#include "core/ReceiverReportMessage.h"
#include "core/StreamTuning.h"
#include "sender/server/FrameNumberRange.h"

namespace kelvora {

class SenderSession;

// kbit/s bounds for a new viewer's rate controller.
struct RateLimits {
    int startKbps = 20000;
    int minimumKbps = 2000;
    int maximumKbps = 40000;

    // What a viewer gets when nobody provides limits (or their provider is gone).
    static constexpr RateLimits fallback() { return RateLimits{}; }

    bool operator==(const RateLimits&) const = default;
};

// What the sender pipeline does for the server. The pipeline implements it; the server reaches it only
// through `SenderServerCallbacks::weaklyBound`, so a server outliving its pipeline calls into nothing.
class SenderServerDelegate {
  public:
    virtual ~SenderServerDelegate() = default;

    // A keyframe, or with a range a refresh from a long-term reference inside it, for one tier's encoder.
    virtual void handleKeyframeRequest(uint8_t tier, KeyframeRequestMessage::Reason reason,
                                       std::optional<FrameNumberRange> acknowledged) = 0;
    virtual void handleReferenceAck(SenderSession& session, const ReferenceAckMessage& ack) = 0;
    // Re-plans tiers and rates and publishes a fresh status.
    virtual void handleSessionsChanged() = 0;
    // A viewer's edited tuning; applied only while remote tuning is allowed.
    virtual void handleRemoteTuning(SenderSession& session, const StreamTuning& tuning) = 0;
    // The tuning built from the current settings with the running tiers.
    virtual StreamTuning currentTuning() = 0;
    // Stops and restarts the video source.
    virtual void reconnectSource() = 0;
    // New viewers start on the proxy tier (adaptive bitrate and the proxy stream both on).
    virtual bool startsOnProxy() = 0;
    virtual RateLimits rateLimits() = 0;
};

// The server's callback set. Every callback is invoked on the server queue; an unset one is skipped, and the
// accessors below apply the server's defaults where a result is needed.
struct SenderServerCallbacks {
    using KeyframeRequest =
        std::function<void(uint8_t tier, KeyframeRequestMessage::Reason, std::optional<FrameNumberRange>)>;

    KeyframeRequest onKeyframeRequest;
    std::function<void(SenderSession&, const ReferenceAckMessage&)> onReferenceAck;
    std::function<void(SenderSession&, const ReceiverReportMessage&)> onReport;
    std::function<void()> onSessionsChanged;
    std::function<RateLimits()> rateLimitsProvider;
    std::function<bool()> startsOnProxy;
    std::function<void()> onRestartSource;
    std::function<void(SenderSession&, const StreamTuning&)> onTuningUpdate;
    // Nothing means no tuning is sent to a new viewer.
    std::function<std::optional<StreamTuning>()> tuningProvider;

    // The eight callbacks the pipeline serves (onReport stays unset), each holding the delegate weakly: once
    // it is gone, actions do nothing, startsOnProxy answers false, the rate limits fall back to
    // RateLimits::fallback() and no tuning is provided.
    static SenderServerCallbacks weaklyBound(const std::weak_ptr<SenderServerDelegate>& delegate);

    // The provider's limits, or the fallback when it is unset.
    RateLimits rateLimits() const;
    // Whether new viewers start on the proxy; false when unset.
    bool viewersStartOnProxy() const;
    // The tuning to send a new viewer; nothing when unset.
    std::optional<StreamTuning> currentTuning() const;
};

}  // namespace kelvora
