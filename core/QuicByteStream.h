#pragma once

#include <cstddef>
#include <memory>
#include <optional>

#include "core/ByteStream.h"
#include "platform/QuicEndpoint.h"
#include "platform/SerialQueue.h"

namespace kelvora {

// One QUIC stream as a ByteStream, so that a FramedConnection can carry control messages on it. The
// stream is already open, so it is ready as soon as it starts. Sends complete once the transport has
// taken the bytes; the transport itself delivers them or loses the whole connection.
//
// Received bytes wait here until a receive takes them, and only then does the peer get credit for more:
// what a peer can make us hold is bounded by the windows its connection was granted. A single receive
// longer than the stream's window can therefore never complete; the framing's own limits stay below it
// wherever a peer is not trusted.
//
// Receives are completed from a loop, never from inside receive() and never by nesting: a burst of many
// small messages costs neither stack nor a copy of the rest of the buffer per message.
//
// Threads: belongs to `queue`, the queue of the stream's connection; every call is made there.
class QuicByteStream final : public ByteStream, public std::enable_shared_from_this<QuicByteStream> {
  public:
    // Receives completed in one turn of the queue before the rest waits for the next, so that one busy
    // stream does not hold up the other work of its queue.
    static constexpr int deliveryBatch = 256;

    QuicByteStream(std::shared_ptr<QuicStream> stream, std::optional<NetworkEndpoint> remote,
                   std::shared_ptr<SerialQueue> queue);

    void start(StateHandler handler) override;
    void receive(std::size_t length, ReceiveHandler handler) override;
    void send(std::shared_ptr<const Bytes> data, bool isFinal, SendHandler handler) override;
    // After a final send the peer still gets those bytes: only reading ends. Otherwise the stream is
    // abandoned in both directions. Either way an orderly end, reported without an error.
    void cancel() override;
    void forceCancel() override;
    std::optional<NetworkEndpoint> remoteEndpoint() const override { return remote_; }

    // Received bytes no receive has taken yet.
    std::size_t bufferedBytes() const { return buffer_.size() - readOffset_; }

  private:
    void serveReceives();
    // Completes the pending receive if the buffer (or the stream's end) allows it; false when it must wait.
    bool serveOne();
    void scheduleServe();
    void take(std::span<const uint8_t> data, bool finished);
    void dropBuffered();
    void ended(std::optional<std::error_code> error);
    void reportEnd();

    std::shared_ptr<QuicStream> stream_;
    std::optional<NetworkEndpoint> remote_;
    std::shared_ptr<SerialQueue> queue_;
    StateHandler stateHandler_;
    // Bytes before `readOffset_` are taken; the front is cut off only once it is at least half the buffer.
    Bytes buffer_;
    std::size_t readOffset_ = 0;
    bool peerFinished_ = false;
    std::optional<std::error_code> endError_;
    bool ended_ = false;
    bool finalSent_ = false;
    bool cancelled_ = false;
    bool serving_ = false;
    bool serveScheduled_ = false;
    std::size_t wanted_ = 0;
    ReceiveHandler receiveHandler_;
};

}  // namespace kelvora
