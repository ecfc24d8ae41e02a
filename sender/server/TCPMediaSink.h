#pragma once

#include <memory>

#include "sender/server/MediaSink.h"

namespace kelvora {

class FramedConnection;

// A viewer's media channel on its own control connection: every frame goes out as the videoFrame message the
// server encoded once for all viewers. Congestion is read from what that connection has not yet handed to
// the network. The sink neither drops nor delays anything itself (the session decides), and it never ends
// the connection: the server and the session do.
//
// Threads: the server queue, which is also the connection's queue.
class TCPMediaSink final : public MediaSink {
  public:
    // Above this many bytes waiting, whatever they are, the channel counts as severely congested.
    static constexpr int64_t severePendingBytes = 1'500'000;

    explicit TCPMediaSink(std::shared_ptr<FramedConnection> connection);

    // The level for a connection's pending bytes and the video frames among them.
    static SinkCongestion congestionFor(int64_t pendingBytes, int pendingFrames);

    bool isConnected() const override { return true; }
    SinkCongestion congestion() const override;
    // All tiers share the one connection.
    SinkCongestion congestionForTier(uint8_t) const override { return congestion(); }
    bool isPassthrough() const override { return false; }
    void send(const EncodedVideoFrame& frame, const SharedBytes& message) override;
    void passThrough(const PixelBuffer&, uint64_t, bool) override {}
    bool hasKeyframeInFlight() const override { return false; }
    bool hasKeyframeInFlightForTier(uint8_t) const override { return false; }
    void cancelAll() override {}
    void cancelTier(uint8_t) override {}
    double oldestInFlightAge(uint8_t) const override { return 0; }
    std::optional<double> takeDeliveryEstimate() override { return std::nullopt; }
    std::optional<double> ackedKbps(double) override { return std::nullopt; }
    std::string diagnostics() const override { return {}; }
    // The control connection stays open: it ends with the server's goodbye or the viewer's.
    void close() override {}

    const std::shared_ptr<FramedConnection>& connection() const { return connection_; }

  private:
    const std::shared_ptr<FramedConnection> connection_;
};

}  // namespace kelvora
