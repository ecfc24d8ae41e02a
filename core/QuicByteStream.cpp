#include "core/QuicByteStream.h"

#include <asio/error.hpp>

namespace kelvora {

QuicByteStream::QuicByteStream(std::shared_ptr<QuicStream> stream, std::optional<NetworkEndpoint> remote,
                               std::shared_ptr<SerialQueue> queue)
    : stream_(std::move(stream)), remote_(std::move(remote)), queue_(std::move(queue)) {}

void QuicByteStream::start(StateHandler handler) {
    stateHandler_ = std::move(handler);
    std::weak_ptr<QuicByteStream> weak = weak_from_this();
    stream_->setHandlers({[weak](std::span<const uint8_t> data, bool finished) {
                              if (auto self = weak.lock()) {
                                  self->received_.insert(self->received_.end(), data.begin(), data.end());
                                  self->peerFinished_ = self->peerFinished_ || finished;
                                  self->serveReceive();
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

void QuicByteStream::receive(std::size_t length, ReceiveHandler handler) {
    wanted_ = length;
    receiveHandler_ = std::move(handler);
    serveReceive();
}

void QuicByteStream::serveReceive() {
    if (!receiveHandler_) {
        return;
    }
    if (cancelled_) {
        auto handler = std::move(receiveHandler_);
        receiveHandler_ = nullptr;
        handler(asio::error::operation_aborted, {}, false);
        return;
    }
    if (received_.size() >= wanted_) {
        Bytes data(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(wanted_));
        received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(wanted_));
        auto handler = std::move(receiveHandler_);
        receiveHandler_ = nullptr;
        handler({}, std::move(data), false);
        return;
    }
    if (peerFinished_ || ended_) {
        Bytes data = std::move(received_);
        received_.clear();
        auto handler = std::move(receiveHandler_);
        receiveHandler_ = nullptr;
        handler(endError_.value_or(std::error_code{}), std::move(data), true);
    }
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
    if (!finalSent_) {
        stream_->cancel(0);
    }
    serveReceive();
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
    serveReceive();
    auto handler = std::move(stateHandler_);
    stateHandler_ = nullptr;
    if (!handler) {
        return;
    }
    if (cancelled_) {
        handler(State::cancelled, asio::error::operation_aborted);
    } else if (error) {
        handler(State::failed, *error);
    } else {
        handler(State::cancelled, {});
    }
}

}  // namespace kelvora
