#pragma once

#include <deque>
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
// Threads: belongs to `queue`, the queue of the stream's connection; every call is made there.
class QuicByteStream final : public ByteStream, public std::enable_shared_from_this<QuicByteStream> {
  public:
    QuicByteStream(std::shared_ptr<QuicStream> stream, std::optional<NetworkEndpoint> remote,
                   std::shared_ptr<SerialQueue> queue);

    void start(StateHandler handler) override;
    void receive(std::size_t length, ReceiveHandler handler) override;
    void send(std::shared_ptr<const Bytes> data, bool isFinal, SendHandler handler) override;
    // After a final send the peer still gets those bytes: only reading ends. Otherwise the stream is
    // abandoned in both directions.
    void cancel() override;
    void forceCancel() override;
    std::optional<NetworkEndpoint> remoteEndpoint() const override { return remote_; }

  private:
    void serveReceive();
    void ended(std::optional<std::error_code> error);

    std::shared_ptr<QuicStream> stream_;
    std::optional<NetworkEndpoint> remote_;
    std::shared_ptr<SerialQueue> queue_;
    StateHandler stateHandler_;
    Bytes received_;
    bool peerFinished_ = false;
    std::optional<std::error_code> endError_;
    bool ended_ = false;
    bool finalSent_ = false;
    bool cancelled_ = false;
    std::size_t wanted_ = 0;
    ReceiveHandler receiveHandler_;
};

}  // namespace kelvora
