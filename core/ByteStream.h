#pragma once

#include "core/Bytes.h"
#include "core/NetworkEndpoint.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>

namespace kelvora {

// A reliable, ordered byte stream in both directions: one TCP connection, or one QUIC stream. It is what a
// FramedConnection frames its messages on, so the same framing serves both transports.
//
// Threads: an implementation belongs to one SerialQueue; every call is made there, and every handler runs
// there. Handlers are always called, exactly once, also when the stream is cancelled (then with
// asio::error::operation_aborted), so the caller's bookkeeping can rely on them.
class ByteStream {
  public:
    enum class State {
        // Connected; reading and writing can begin. Reported once.
        ready,
        // Not connected yet and trying (the error says why it is not yet).
        waiting,
        // Gave up: the error says why. Nothing more will be transferred.
        failed,
        // Ended by cancel() or forceCancel().
        cancelled,
    };

    using StateHandler = std::function<void(State, std::error_code)>;
    // `data` holds exactly the bytes asked for, or fewer (possibly none) with `isComplete` when the peer
    // ended its side first. An error means the stream broke.
    using ReceiveHandler = std::function<void(std::error_code error, Bytes data, bool isComplete)>;
    // Called when the bytes have been handed to the network, or with the error that stopped them.
    using SendHandler = std::function<void(std::error_code error)>;

    virtual ~ByteStream() = default;

    // Connects (or takes up an accepted connection) and reports its states to `handler`.
    virtual void start(StateHandler handler) = 0;
    // Reads exactly `length` (> 0) bytes. One receive at a time.
    virtual void receive(std::size_t length, ReceiveHandler handler) = 0;
    // Queues `data` behind every earlier send; sends go out one after another, whole and in order. With
    // `isFinal`, this side of the stream is closed once the bytes are out.
    virtual void send(std::shared_ptr<const Bytes> data, bool isFinal, SendHandler handler) = 0;
    // Ends the stream. Sends not yet out are dropped (their handlers get operation_aborted); what a final
    // send already put out still reaches the peer.
    virtual void cancel() = 0;
    // Ends the stream at once and discards whatever the network still holds for the peer.
    virtual void forceCancel() = 0;
    // The peer: the address actually connected to when known, else the endpoint the stream was made for.
    virtual std::optional<NetworkEndpoint> remoteEndpoint() const = 0;
};

}  // namespace kelvora
