#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/Bytes.h"
#include "core/EncodedVideoFrame.h"
#include "platform/PixelBuffer.h"
#include "sender/server/SinkCongestion.h"

namespace kelvora {

// The bytes of one whole videoFrame control frame, encoded once by the server and shared, unchanged, by every
// session and sink that sends it.
using SharedBytes = std::shared_ptr<const Bytes>;

// One viewer's media channel: the way encoded frames reach it (the control connection itself, or one QUIC
// stream per frame). A sink belongs to one session; its engine creates it, the session installs, replaces and
// closes it. Every member is called on the server queue, so implementations need no locking of their own.
// Sinks are compared and held by identity.
class MediaSink {
  public:
    virtual ~MediaSink() = default;

    // The channel can carry frames now. Only connected sinks receive frames, and a connected pending sink
    // replaces the session's current one.
    virtual bool isConnected() const = 0;
    // Congestion over everything in flight.
    virtual SinkCongestion congestion() const = 0;
    // Congestion of one tier's frames; a sink that cannot tell tiers apart answers its overall congestion.
    virtual SinkCongestion congestionForTier(uint8_t tier) const = 0;
    // True for a sink that takes source pictures instead of encoded frames.
    virtual bool isPassthrough() const = 0;

    // Sends one frame. `message` is its whole encoded control frame; `frame` tells the sink the tier and
    // keyframe flag for its own bookkeeping.
    virtual void send(const EncodedVideoFrame& frame, const SharedBytes& message) = 0;
    // Receives every source picture while the sink is connected and passthrough.
    virtual void passThrough(const PixelBuffer& picture, uint64_t captureTime, bool isTestPattern) = 0;

    // A keyframe was sent and is not yet delivered (any tier, or one tier).
    virtual bool hasKeyframeInFlight() const = 0;
    virtual bool hasKeyframeInFlightForTier(uint8_t tier) const = 0;
    // Abandons everything in flight, or what is in flight for one tier.
    virtual void cancelAll() = 0;
    virtual void cancelTier(uint8_t tier) = 0;
    // Age in milliseconds of the oldest frame of the tier still in flight; 0 when none. A sink that knows
    // the path's round trip counts only the time beyond it, and leaves out frames held only by a repair.
    virtual double oldestInFlightAge(uint8_t tier) const = 0;

    // The largest delivery-rate sample (kbit/s) gathered since the previous call, which discards the samples;
    // nothing when there was no sample or the sink cannot measure.
    virtual std::optional<double> takeDeliveryEstimate() = 0;
    // kbit/s confirmed delivered within the last `windowMs` milliseconds; nothing when the sink cannot
    // measure or has not existed long enough.
    virtual std::optional<double> ackedKbps(double windowMs) = 0;

    // One line on what is in flight, for logs; may be empty.
    virtual std::string diagnostics() const = 0;
    // Ends the channel; the session drops the sink right after.
    virtual void close() = 0;
};

}  // namespace kelvora
