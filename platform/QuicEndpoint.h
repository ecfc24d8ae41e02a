#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/QuicError.h"
#include "platform/QuicParameters.h"

// QUIC connections, streams and listeners on ngtcp2 with GnuTLS, over UDP sockets of an Asio context.
//
// Every object lives on one io_context (the owner's serial queue): all calls must be made on its thread,
// and every handler runs there. Handlers never run inside a call the owner makes; they may call back into
// any of these objects. Objects hold their handlers until they end, so handlers should capture their
// owner weakly.

namespace kelvora {

// Figures of one connection's sending side, read from the transport's own estimates.
struct QuicStats {
    uint64_t bytesInFlight = 0;
    uint64_t congestionWindow = 0;
    uint64_t smoothedRttNs = 0;
    uint64_t minimumRttNs = 0;
    uint64_t latestRttNs = 0;
    // The transport's delivery-rate sample in bytes per second; it describes the last burst, not an average.
    uint64_t deliveryRateBytesPerSecond = 0;
    // Streams this side opened that have not closed yet.
    uint64_t localStreamsOpen = 0;
    // Streams this side opened over the connection's life.
    uint64_t localStreamsOpened = 0;
    // Streams this side may still open before the peer grants more.
    uint64_t bidiStreamsLeft = 0;
    // Bytes the connection-level flow control still allows this side to send.
    uint64_t sendWindowLeft = 0;
    // Bytes received from the peer that their consumers have not taken yet. The peer gets credit back
    // only for bytes taken, so this never exceeds the connection window this side announced.
    uint64_t receivedBytesHeld = 0;
    // The longest the peer said it waits before acknowledging; 0 before the handshake told us.
    uint64_t peerMaxAckDelayNs = 0;

    bool operator==(const QuicStats&) const = default;
};

// One bidirectional stream. Sent data is kept (not copied) until the peer has acknowledged it.
class QuicStream {
  public:
    struct Handlers {
        // Bytes in order; `finished` is true with the last of them, once the peer ended its side.
        std::function<void(std::span<const uint8_t> data, bool finished)> onReceive;
        // The stream is gone in both directions; nothing more will be received or sent. No error for an
        // orderly end (both sides finished, or this side cancelled it); an error when the peer aborted
        // it or the connection ended first.
        std::function<void(const std::optional<QuicError>& error)> onClosed;
    };

    virtual ~QuicStream() = default;

    virtual int64_t id() const = 0;
    // Whether this side opened the stream.
    virtual bool isLocal() const = 0;
    virtual bool isClosed() const = 0;
    // Replaces the handlers. Bytes that arrived before any handler was set are delivered afterwards.
    virtual void setHandlers(Handlers handlers) = 0;
    // Flow-control credit returns to the peer once the owner is done with received bytes. By default that
    // is when onReceive has had them. After this call it is only when the owner reports them through
    // `consumed`, so that an owner that keeps bytes of its own holds the peer back until it reads them.
    virtual void consumeExplicitly() = 0;
    // The owner is done with `byteCount` more of the bytes it received (only after consumeExplicitly).
    virtual void consumed(std::size_t byteCount) = 0;

    // Queues bytes for sending, and with `finish` ends this side after them. Ignored once this side has
    // finished or the stream has closed.
    virtual void send(std::shared_ptr<const std::vector<uint8_t>> data, bool finish) = 0;
    void send(std::vector<uint8_t> data, bool finish) {
        send(std::make_shared<const std::vector<uint8_t>>(std::move(data)), finish);
    }
    // Ends this side without further bytes.
    virtual void finish() = 0;
    // Streams of a higher priority get their bytes onto the wire first; among equals, the stream given
    // bytes first goes first. The transport's repairs of lost packets come before either. 0 by default.
    virtual void setPriority(int priority) = 0;
    // Abandons the stream in both directions: unsent bytes are dropped and the peer is told to stop.
    virtual void cancel(uint64_t errorCode = 0) = 0;
};

// One QUIC connection, in the client or the server role.
class QuicConnection {
  public:
    struct Handlers {
        // The handshake is complete (server connections are handed out only after that).
        std::function<void()> onReady;
        // The peer opened a stream.
        std::function<void(std::shared_ptr<QuicStream> stream)> onStream;
        // The connection ended, once: no error when this side closed it.
        std::function<void(const std::optional<QuicError>& error)> onClosed;
    };

    // Starts a client connection to `remote`. Handlers set right after the call miss nothing. Throws
    // QuicError (socket) when no socket can be opened towards that address.
    static std::shared_ptr<QuicConnection> connect(asio::io_context& context,
                                                   const asio::ip::udp::endpoint& remote,
                                                   QuicClientParameters parameters);

    virtual ~QuicConnection() = default;

    virtual void setHandlers(Handlers handlers) = 0;
    // Handshake complete and not closed.
    virtual bool isReady() const = 0;
    virtual bool isClosed() const = 0;
    virtual asio::ip::udp::endpoint remoteEndpoint() const = 0;
    // The negotiated application protocol; empty before the handshake completed.
    virtual std::string applicationProtocol() const = 0;

    // Opens a bidirectional stream; nothing when the connection is not ready or the peer grants no more
    // streams at the moment.
    virtual std::shared_ptr<QuicStream> openStream() = 0;
    // Closes the connection with an application error code (0: normal close). Streams end with it.
    virtual void close(uint64_t errorCode = 0) = 0;

    virtual QuicStats stats() const = 0;
};

// The server role: one UDP port that accepts QUIC connections.
class QuicListener {
  public:
    // Binds `address` on `port` (0: the system chooses). The unspecified IPv4 address also binds the
    // unspecified IPv6 address on the same port where this computer has IPv6, so that viewers reach the
    // listener by either family. Throws QuicError (socket).
    static std::shared_ptr<QuicListener> listen(
        asio::io_context& context, QuicServerParameters parameters,
        const asio::ip::address& address = asio::ip::address_v4::any(), uint16_t port = 0);

    virtual ~QuicListener() = default;

    // Receives each connection whose handshake completed.
    virtual void setConnectionHandler(std::function<void(std::shared_ptr<QuicConnection>)> handler) = 0;
    // Receives, once, the error that broke the listener's socket; it accepts nothing afterwards.
    virtual void setFailureHandler(std::function<void(const QuicError& error)> handler) = 0;
    virtual uint16_t port() const = 0;
    // Connections the listener holds now (in any state), and those of them still in their handshake.
    virtual std::size_t connectionCount() const = 0;
    virtual std::size_t handshakeCount() const = 0;
    // Accepts no further connections. Connections already handed out keep working until they end; the
    // port is released after the last of them.
    virtual void stop() = 0;
};

}  // namespace kelvora
