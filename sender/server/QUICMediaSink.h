#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/MonotonicClock.h"
#include "platform/QuicEndpoint.h"
#include "sender/server/MediaSink.h"
#include "sender/server/QUICDeliveryMeter.h"

namespace kelvora {

// One viewer's QUIC connection as its media channel: every frame travels on a stream of its own, opened
// by the sender, written whole and finished; the viewer finishes its side once the frame is in, which is
// the frame's receipt. Receipts feed the delivery figures, unanswered frames the congestion level: by the
// time they wait beyond the path's round trip, and not while a later frame already got through. Shortly
// before the connection's stream budget is spent the sink asks for a fresh connection (rotation).
//
// Lives on the server queue, like the connection it owns; every member must be called there.
class QUICMediaSink final : public MediaSink, public std::enable_shared_from_this<QUICMediaSink> {
  public:
    // Frames older than these (strictly) are given up when the next frame is sent.
    static constexpr double staleAfterMs = 200;
    static constexpr double staleKeyframeAfterMs = 3000;
    // Frame streams one connection carries at most; the viewer allows a few more streams in all.
    static constexpr uint64_t frameStreamLimit = 4080;

    // One frame still on its way, as the congestion rule sees it.
    struct InFlightFrame {
        double ageMs = 0;
        bool isKeyframe = false;
    };
    // How backed up a set of frames in flight is: an old keyframe, many frames, or an old frame among
    // several.
    static SinkCongestion congestionOf(const std::vector<InFlightFrame>& frames);

    // `connection` must be ready. `closeAttachStream` ends the viewer's attach stream when the sink closes.
    static std::shared_ptr<QUICMediaSink> make(std::shared_ptr<QuicConnection> connection,
                                               std::function<void()> closeAttachStream,
                                               Clock clock = MonotonicClock::system());

    // Called once, when the rotation threshold of frame streams is reached.
    void setRotationHandler(std::function<void()> handler) { onRotationNeeded_ = std::move(handler); }
    // The viewer's attach stream ended: the channel is gone.
    void attachStreamClosed() { closed_ = true; }
    // Frame streams opened so far.
    uint64_t sequence() const { return sequence_; }

    // MediaSink
    bool isConnected() const override;
    SinkCongestion congestion() const override;
    SinkCongestion congestionForTier(uint8_t tier) const override;
    bool isPassthrough() const override { return false; }
    void send(const EncodedVideoFrame& frame, const SharedBytes& message) override;
    void passThrough(const PixelBuffer&, uint64_t, bool) override {}
    bool hasKeyframeInFlight() const override;
    bool hasKeyframeInFlightForTier(uint8_t tier) const override;
    void cancelAll() override;
    void cancelTier(uint8_t tier) override;
    double oldestInFlightAge(uint8_t tier) const override;
    std::optional<double> takeDeliveryEstimate() override { return meter_.takeDeliveryEstimate(); }
    std::optional<double> ackedKbps(double windowMs) override { return meter_.ackedKbps(clock_(), windowMs); }
    std::string diagnostics() const override;
    void close() override;

  private:
    struct InFlight {
        std::shared_ptr<QuicStream> stream;
        uint64_t startedAt = 0;
        bool isKeyframe = false;
        uint8_t tier = 0;
    };

    QUICMediaSink(std::shared_ptr<QuicConnection> connection, std::function<void()> closeAttachStream,
                  Clock clock);

    void pruneStale(uint64_t now);
    void receipt(uint64_t sequence, uint8_t tier, uint64_t sendTime, uint64_t byteCount);
    std::vector<InFlightFrame> framesInFlight(std::optional<uint8_t> tier) const;
    // Frames of a tier leave in the order they were sent, after those of the tiers above it (the smaller
    // ones), and the path keeps that order. So a frame still unanswered after a later one of its tier or
    // a better tier was received waits only for the transport to repair a lost packet: the path carries
    // the rate, and such a frame is neither congestion nor a displayed tier falling behind.
    bool isOvertaken(uint64_t sequence, uint8_t tier) const;
    // No frame is answered sooner than one round trip: the path's shortest, in whole milliseconds (0 before
    // the transport measured one). Only the time beyond it is time spent waiting.
    double roundTripMs() const;
    static double waitingMs(uint64_t startedAt, uint64_t now, double roundTrip);

    std::shared_ptr<QuicConnection> connection_;
    std::function<void()> closeAttachStream_;
    Clock clock_;
    std::map<uint64_t, InFlight> inFlight_;
    bool closed_ = false;
    uint64_t sequence_ = 0;
    // Per tier, the newest frame whose receipt arrived.
    std::map<uint8_t, uint64_t> newestReceipts_;
    bool rotationRequested_ = false;
    std::function<void()> onRotationNeeded_;
    uint64_t createdAt_;
    QUICDeliveryMeter meter_;
};

}  // namespace kelvora
