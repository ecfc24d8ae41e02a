#pragma once

#include <ngtcp2/ngtcp2.h>
#include <asio/io_context.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "platform/QuicEndpoint.h"
#include "platform/QuicInternal.h"

namespace kelvora::quic {

class StreamImpl final : public QuicStream, public std::enable_shared_from_this<StreamImpl> {
  public:
    StreamImpl(asio::io_context& context, std::weak_ptr<ConnectionImpl> connection, int64_t id, bool local)
        : context_(context), connection_(std::move(connection)), id_(id), local_(local) {}
    ~StreamImpl() override;

    int64_t id() const override { return id_; }
    bool isLocal() const override { return local_; }
    bool isClosed() const override { return closed_; }
    void setHandlers(Handlers handlers) override;
    void send(std::shared_ptr<const std::vector<uint8_t>> data, bool finish) override;
    void finish() override { send(nullptr, true); }
    void setPriority(int priority) override { priority_ = priority; }
    int priority() const { return priority_; }
    void cancel(uint64_t errorCode) override;
    void consumeExplicitly() override { explicitConsumption_ = true; }
    void consumed(size_t byteCount) override;

    // Bytes queued but not yet handed to the transport, as vectors for one write; sets `finishNow` when
    // they reach the end of what will ever be sent and the end was asked for.
    size_t unsentVectors(ngtcp2_vec* vectors, size_t capacity, bool& finishNow) const;
    bool hasUnsent() const { return !cancelled_ && (sentOffset_ < queuedEnd_ || (finQueued_ && !finSent_)); }
    void markSent(size_t byteCount, bool finished);
    void markAcknowledged(uint64_t end);

    void receive(const uint8_t* data, size_t length, bool finished);
    void deliverReceived();
    void markClosed(std::optional<QuicError> error);
    void deliverClosed();

    // Pretends everything queued was sent: the transport refuses further data on this stream.
    void dropUnsent() {
        sentOffset_ = queuedEnd_;
        finSent_ = true;
    }

    bool blocked = false;
    bool queuedForSending = false;
    bool deliveryQueued = false;
    bool cancelled() const { return cancelled_; }
    uint64_t held() const { return held_; }

  private:
    struct Chunk {
        std::shared_ptr<const std::vector<uint8_t>> bytes;
        uint64_t offset;
    };

    asio::io_context& context_;
    std::weak_ptr<ConnectionImpl> connection_;
    int64_t id_;
    bool local_;
    int priority_ = 0;
    Handlers handlers_;

    std::vector<uint8_t> received_;
    // Received and not yet consumed by the owner: the peer's credit for these bytes is still out.
    uint64_t held_ = 0;
    bool explicitConsumption_ = false;
    bool finReceived_ = false;
    bool finDelivered_ = false;

    std::deque<Chunk> chunks_;
    uint64_t queuedEnd_ = 0;
    uint64_t sentOffset_ = 0;
    bool finQueued_ = false;
    bool finSent_ = false;
    bool cancelled_ = false;

    bool closed_ = false;
    bool closedDelivered_ = false;
    std::optional<QuicError> closeError_;
};

}  // namespace kelvora::quic
