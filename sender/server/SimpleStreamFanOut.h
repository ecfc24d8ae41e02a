#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "core/Bytes.h"
#include "platform/LogThrottle.h"
#include "platform/SerialQueue.h"
#include "sender/server/TcpListener.h"

namespace kelvora {

// The network side of the simple H.264 stream: a TCP listener and the receivers connected to it, each
// getting the same packets. Every receiver has a bounded queue of its own: one that stops reading loses
// frames up to the next keyframe instead of making the sender buffer without end, and a new receiver's
// first packet is always a keyframe (with its parameter sets in front). Receivers send nothing that matters;
// what they send is read and ignored, and their end of the stream ends their connection.
//
// Threads: everything on `queue`; every call must be made there, and every handler runs there.
class SimpleStreamFanOut : public std::enable_shared_from_this<SimpleStreamFanOut> {
  public:
    // Bytes a receiver may have waiting before it loses frames up to the next keyframe: a few seconds of a
    // stream at the usual bitrates, plenty for a hiccup, bounded for a receiver that has stopped reading.
    static constexpr size_t maximumQueuedBytes = 4 * 1024 * 1024;

    // Receivers at once, overall and from one address: the stream is a test aid for a few players, and each
    // receiver's queue may hold maximumQueuedBytes.
    static constexpr size_t maximumReceivers = 8;
    static constexpr size_t maximumReceiversPerAddress = 4;

    struct Handlers {
        // The number of connected receivers, whenever it changes.
        std::function<void(int)> clientCount;
        // A receiver has connected; the encoder should make the next frame a keyframe.
        std::function<void()> receiverReady;
    };

    static std::shared_ptr<SimpleStreamFanOut> create(std::shared_ptr<SerialQueue> queue, uint16_t port,
                                                      Handlers handlers);
    ~SimpleStreamFanOut();
    SimpleStreamFanOut(const SimpleStreamFanOut&) = delete;
    SimpleStreamFanOut& operator=(const SimpleStreamFanOut&) = delete;

    // Opens the listener unless one exists; a busy port is logged and leaves the fan-out without listener.
    void start();
    // Closes the listener and every receiver.
    void stop();
    // The packets of one encoded frame (a parameter-sets packet in front of a keyframe), the same bytes for
    // every receiver.
    void broadcast(std::shared_ptr<const Bytes> packets, bool isKeyframe);

    // The listener's port, nothing without a listener.
    std::optional<uint16_t> port() const;
    int clientCount() const { return static_cast<int>(clients_.size()); }
    // Bytes waiting in all receivers' queues.
    size_t queuedBytes() const;

  private:
    struct Client;

    SimpleStreamFanOut(std::shared_ptr<SerialQueue> queue, uint16_t port, Handlers handlers);
    void accept(asio::ip::tcp::socket socket);
    void readNext(const std::shared_ptr<Client>& client);
    void writeNext(const std::shared_ptr<Client>& client);
    void offer(Client& client, const std::shared_ptr<const Bytes>& packets, bool isKeyframe);
    void drop(const std::shared_ptr<Client>& client);
    void reportCount();

    std::shared_ptr<SerialQueue> queue_;
    uint16_t requestedPort_;
    Handlers handlers_;
    std::shared_ptr<TcpListener> listener_;
    std::map<uint64_t, std::shared_ptr<Client>> clients_;
    uint64_t nextClientId_ = 1;
    LogThrottle refusalLog_{std::chrono::seconds(5)};
};

}  // namespace kelvora
