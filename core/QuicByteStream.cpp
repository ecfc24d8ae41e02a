#include "core/QuicByteStream.h"

#include <asio/error.hpp>

#include <utility>

namespace kelvora {

QuicByteStream::QuicByteStream(std::shared_ptr<QuicStream> stream, std::optional<NetworkEndpoint> remote,
                               std::shared_ptr<SerialQueue> queue)
    : stream_(std::move(stream)), remote_(std::move(remote)), queue_(std::move(queue)) {}

void QuicByteStream::start(StateHandler handler) {
    stateHandler_ = std::move(handler);
    std::weak_ptr<QuicByteStream> weak = weak_from_this();
    stream_->consumeExplicitly();
    stream_->setHandlers({[weak](std::span<const uint8_t> data, bool finished) {
                              if (auto self = weak.lock()) {
                                  self->take(data, finished);
                              }
                          },
                          [weak](const std::optional<QuicError>& error) {
                              if (auto self = weak.lock()) {
                                  self->ended(
                                      error ? std::optional(std::make_error_code(std::errc::connection_reset))
                                            : std::nullopt);
                              }
                          }});
    queue_->async([weak] {
        if (auto self = weak.lock(); self && !self->ended_ && self->stateHandler_) {
            self->stateHandler_(State::ready, {});
        }
    });
}

void QuicByteStream::take(std::span<const uint8_t> data, bool finished) {
    if (cancelled_) {
        stream_->consumed(data.size());
        return;
    }
    buffer_.insert(buffer_.end(), data.begin(), data.end());
    peerFinished_ = peerFinished_ || finished;
    serveReceives();
}

void QuicByteStream::receive(std::size_t length, ReceiveHandler handler) {
    wanted_ = length;
    receiveHandler_ = std::move(handler);
    // Called from a handler of ours, the loop that called it serves this receive next.
    if (!serving_) {
        scheduleServe();
    }
}

void QuicByteStream::scheduleServe() {
    if (serveScheduled_) {
        return;
    }
    serveScheduled_ = true;
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->serveScheduled_ = false;
            self->serveReceives();
        }
    });
}

void QuicByteStream::serveReceives() {
    if (serving_) {
        return;
    }
    auto self = shared_from_this();
    serving_ = true;
    int served = 0;
    while (served < deliveryBatch && serveOne()) {
        ++served;
    }
    serving_ = false;
    if (served == deliveryBatch && receiveHandler_) {
        scheduleServe();
    }
}

bool QuicByteStream::serveOne() {
    if (!receiveHandler_) {
        return false;
    }
    if (cancelled_) {
        auto handler = std::exchange(receiveHandler_, nullptr);
        handler(asio::error::operation_aborted, {}, false);
        return true;
    }
    const std::size_t available = bufferedBytes();
    if (available >= wanted_) {
        const auto* first = buffer_.data() + readOffset_;
        Bytes data(first, first + wanted_);
        readOffset_ += wanted_;
        if (readOffset_ == buffer_.size()) {
            buffer_.clear();
            readOffset_ = 0;
        } else if (readOffset_ >= buffer_.size() / 2) {
            buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(readOffset_));
            readOffset_ = 0;
        }
        stream_->consumed(data.size());
        auto handler = std::exchange(receiveHandler_, nullptr);
        handler({}, std::move(data), false);
        return true;
    }
    if (peerFinished_ || ended_) {
        Bytes data(buffer_.begin() + static_cast<std::ptrdiff_t>(readOffset_), buffer_.end());
        dropBuffered();
        auto handler = std::exchange(receiveHandler_, nullptr);
        handler(endError_.value_or(std::error_code{}), std::move(data), true);
        if (ended_) {
            reportEnd();
        }
        return true;
    }
    return false;
}

void QuicByteStream::dropBuffered() {
    stream_->consumed(bufferedBytes());
    buffer_ = Bytes();
    readOffset_ = 0;
}

void QuicByteStream::send(std::shared_ptr<const Bytes> data, bool isFinal, SendHandler handler) {
    std::error_code error;
    if (ended_ || cancelled_ || finalSent_ || stream_->isClosed()) {
        error = std::make_error_code(std::errc::not_connected);
    } else {
        stream_->send(std::move(data), isFinal);
        finalSent_ = isFinal;
    }
    queue_->async([handler = std::move(handler), error] {
        if (handler) {
            handler(error);
        }
    });
}

void QuicByteStream::cancel() {
    if (cancelled_) {
        return;
    }
    cancelled_ = true;
    dropBuffered();
    if (!finalSent_) {
        stream_->cancel(0);
    }
    if (receiveHandler_) {
        scheduleServe();
    }
    if (!ended_) {
        ended(std::nullopt);
    }
}

void QuicByteStream::forceCancel() {
    stream_->cancel(0);
    cancel();
}

void QuicByteStream::ended(std::optional<std::error_code> error) {
    if (ended_) {
        return;
    }
    ended_ = true;
    endError_ = error;
    if (receiveHandler_) {
        scheduleServe();
    }
    if (error || cancelled_) {
        dropBuffered();
    }
    // After an orderly end the peer's last messages may still wait here; the end is reported once they
    // have been read.
    if (bufferedBytes() == 0) {
        reportEnd();
    }
}

void QuicByteStream::reportEnd() {
    auto handler = std::exchange(stateHandler_, nullptr);
    if (!handler) {
        return;
    }
    if (endError_ && !cancelled_) {
        handler(State::failed, *endError_);
    } else {
        // Cancelled by us or ended by both sides: an orderly end, as with TCP.
        handler(State::cancelled, {});
    }
}

}  // namespace kelvora
