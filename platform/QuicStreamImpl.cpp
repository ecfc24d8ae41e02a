#include "platform/QuicStreamImpl.h"

#include <algorithm>
#include <asio/post.hpp>

#include "platform/QuicConnectionImpl.h"

namespace kelvora::quic {

void StreamImpl::setHandlers(Handlers handlers) {
    handlers_ = std::move(handlers);
    bool pending = !received_.empty() || (finReceived_ && !finDelivered_) || (closed_ && !closedDelivered_);
    if (pending) {
        asio::post(context_, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->deliverReceived();
                self->deliverClosed();
            }
        });
    }
}

void StreamImpl::send(std::shared_ptr<const std::vector<uint8_t>> data, bool finish) {
    if (closed_ || cancelled_ || finQueued_) {
        return;
    }
    if (data && !data->empty()) {
        chunks_.push_back({data, queuedEnd_});
        queuedEnd_ += data->size();
    }
    finQueued_ = finish;
    if (auto connection = connection_.lock()) {
        connection->queueForSending(*this);
    }
}

void StreamImpl::cancel(uint64_t errorCode) {
    if (closed_ || cancelled_) {
        return;
    }
    cancelled_ = true;
    if (auto connection = connection_.lock()) {
        connection->cancelStream(*this, errorCode);
    }
}

size_t StreamImpl::unsentVectors(ngtcp2_vec* vectors, size_t capacity, bool& finishNow) const {
    size_t count = 0;
    uint64_t coveredEnd = sentOffset_;
    for (const auto& chunk : chunks_) {
        uint64_t end = chunk.offset + chunk.bytes->size();
        if (end <= sentOffset_) {
            continue;
        }
        if (count == capacity) {
            break;
        }
        uint64_t start = std::max(chunk.offset, sentOffset_) - chunk.offset;
        vectors[count++] = {const_cast<uint8_t*>(chunk.bytes->data()) + start, chunk.bytes->size() - start};
        coveredEnd = end;
    }
    finishNow = finQueued_ && !finSent_ && coveredEnd == queuedEnd_;
    return count;
}

StreamImpl::~StreamImpl() {
    if (held_ == 0) {
        return;
    }
    // Bytes its owner dropped unread still count against the connection's window until returned; not from
    // here, where the library may be on the stack, but from the connection's queue.
    if (auto connection = connection_.lock()) {
        asio::post(context_, [weak = std::weak_ptr<ConnectionImpl>(connection), id = id_, held = held_] {
            if (auto connection = weak.lock()) {
                connection->returnCredit(id, held);
            }
        });
    }
}

void StreamImpl::consumed(size_t byteCount) {
    uint64_t count = std::min<uint64_t>(byteCount, held_);
    if (count == 0) {
        return;
    }
    held_ -= count;
    if (auto connection = connection_.lock()) {
        connection->returnCredit(id_, count);
    }
}

void StreamImpl::markSent(size_t byteCount, bool finished) {
    sentOffset_ += byteCount;
    if (finished && finQueued_ && sentOffset_ == queuedEnd_) {
        finSent_ = true;
    }
}

void StreamImpl::markAcknowledged(uint64_t end) {
    // The transport keeps pointers into sent chunks until the peer acknowledged them.
    while (!chunks_.empty() && chunks_.front().offset + chunks_.front().bytes->size() <= end) {
        chunks_.pop_front();
    }
}

void StreamImpl::receive(const uint8_t* data, size_t length, bool finished) {
    received_.insert(received_.end(), data, data + length);
    held_ += length;
    finReceived_ = finReceived_ || finished;
}

void StreamImpl::deliverReceived() {
    bool finishNow = finReceived_ && !finDelivered_;
    if (!handlers_.onReceive || (received_.empty() && !finishNow)) {
        return;
    }
    std::vector<uint8_t> bytes = std::move(received_);
    received_.clear();
    finDelivered_ = finDelivered_ || finishNow;
    auto handler = handlers_.onReceive;
    // Keeps the stream alive through the handler, which may let go of it.
    auto self = shared_from_this();
    handler(bytes, finishNow);
    if (!explicitConsumption_) {
        consumed(bytes.size());
    }
}

void StreamImpl::markClosed(std::optional<QuicError> error) {
    closed_ = true;
    closeError_ = std::move(error);
    chunks_.clear();
}

void StreamImpl::deliverClosed() {
    // Without any handler yet, the end waits for the owner to set one.
    if (!closed_ || closedDelivered_ || (!handlers_.onReceive && !handlers_.onClosed)) {
        return;
    }
    closedDelivered_ = true;
    auto handler = std::move(handlers_.onClosed);
    // Handlers often capture their owner or the stream itself; a closed stream lets go of them.
    handlers_ = {};
    if (handler) {
        handler(closeError_);
    }
}

}  // namespace kelvora::quic
