#include "core/FramedConnection.h"

#include <asio/error.hpp>

namespace kelvora {

std::string describe(const ConnectionError& error) {
    if (const auto* code = std::get_if<std::error_code>(&error)) {
        return code->message();
    }
    return std::get<WireError>(error).text();
}

std::shared_ptr<FramedConnection> FramedConnection::create(std::shared_ptr<ByteStream> stream,
                                                           std::shared_ptr<SerialQueue> queue) {
    return std::shared_ptr<FramedConnection>(new FramedConnection(std::move(stream), std::move(queue)));
}

FramedConnection::FramedConnection(std::shared_ptr<ByteStream> stream, std::shared_ptr<SerialQueue> queue)
    : stream_(std::move(stream)), queue_(std::move(queue)) {}

FramedConnection::~FramedConnection() {
    if (!isClosed_) {
        // The owner let go without closing: end the stream, on its queue, so that no socket outlives us.
        // Pending sends complete there with an error.
        queue_->async([stream = stream_] { stream->cancel(); });
    }
}

void FramedConnection::setEventHandler(EventHandler handler) {
    eventHandler_ = std::move(handler);
}

void FramedConnection::start() {
    queue_->assertCurrent("FramedConnection::start");
    std::weak_ptr<FramedConnection> weak = weak_from_this();
    stream_->start([weak](ByteStream::State state, std::error_code error) {
        if (auto self = weak.lock()) {
            self->handleState(state, error);
        }
    });
}

void FramedConnection::handleState(ByteStream::State state, std::error_code error) {
    switch (state) {
        case ByteStream::State::ready:
            if (didReportReady_ || isClosed_) {
                return;
            }
            didReportReady_ = true;
            if (eventHandler_) {
                eventHandler_(Ready{});
            }
            // Armed once per connection, after the ready event.
            if (!isClosed_) {
                receiveHeader();
            }
            break;
        case ByteStream::State::waiting:
            faultLog_->logger().debug("Verbindung wartet: {}", error.message());
            break;
        case ByteStream::State::failed:
            failWith(error);
            break;
        case ByteStream::State::cancelled:
            finish(std::nullopt);
            break;
    }
}

void FramedConnection::receiveHeader() {
    std::weak_ptr<FramedConnection> weak = weak_from_this();
    stream_->receive(
        ControlMessage::headerLength, [weak](std::error_code error, Bytes data, bool isComplete) {
            auto self = weak.lock();
            if (!self || self->isClosed_) {
                return;
            }
            if (error) {
                self->failWith(error);
                return;
            }
            if (data.size() == ControlMessage::headerLength) {
                ControlMessage::Header header{};
                try {
                    header = ControlMessage::parseHeader(data);
                    const bool isRecord = header.type != ControlMessage::TypeCode::videoFrame;
                    if (header.length > self->maximumIncomingPayload_ ||
                        (isRecord && header.length > ControlMessage::maximumRecordPayloadLength)) {
                        throw WireError::messageTooLarge(header.length);
                    }
                } catch (const WireError& wireError) {
                    // Framing is lost: nothing after a bad header can be trusted, and no goodbye
                    // is owed.
                    self->faultLog_->invalidHeader(wireError);
                    self->failWith(wireError);
                    return;
                }
                if (header.length == 0) {
                    self->deliver(header.type, {});
                } else {
                    self->receivePayload(header.type, header.length);
                }
                return;
            }
            if (isComplete) {
                // The peer ended the stream between frames (or inside a header): an orderly end.
                self->failWith(std::nullopt);
                return;
            }
            self->failWith(WireError::truncated());
        });
}

void FramedConnection::receivePayload(ControlMessage::TypeCode type, uint32_t length) {
    std::weak_ptr<FramedConnection> weak = weak_from_this();
    stream_->receive(length, [weak, type, length](std::error_code error, Bytes data, bool) {
        auto self = weak.lock();
        if (!self || self->isClosed_) {
            return;
        }
        if (error) {
            self->failWith(error);
            return;
        }
        if (data.size() != length) {
            self->failWith(WireError::truncated());
            return;
        }
        self->deliver(type, data);
    });
}

void FramedConnection::deliver(ControlMessage::TypeCode type, ByteView payload) {
    // Keep ourselves alive through the handler: it may drop the owner's last reference.
    auto self = shared_from_this();
    try {
        ControlMessage message = ControlMessage::decode(type, payload);
        if (eventHandler_) {
            eventHandler_(Message{std::move(message)});
        }
    } catch (const WireError& error) {
        // One unreadable message does not end the conversation: the framing around it is intact.
        faultLog_->unreadableMessage(error);
    }
    if (!isClosed_) {
        receiveHeader();
    }
}

void FramedConnection::send(const ControlMessage& message, bool isFinal, SendCompletion completion) {
    queue_->assertCurrent("FramedConnection::send");
    if (isClosed_) {
        if (completion) {
            completion(std::make_error_code(std::errc::not_connected));
        }
        return;
    }
    Bytes encoded;
    try {
        encoded = message.encoded();
    } catch (const WireError& error) {
        if (completion) {
            completion(error);
        }
        return;
    }
    sendEncoded(std::make_shared<const Bytes>(std::move(encoded)), message.is<EncodedVideoFrame>(), isFinal,
                std::move(completion));
}

void FramedConnection::sendEncoded(std::shared_ptr<const Bytes> frame, bool isVideoFrame, bool isFinal,
                                   SendCompletion completion) {
    queue_->assertCurrent("FramedConnection::sendEncoded");
    if (isClosed_) {
        if (completion) {
            completion(std::make_error_code(std::errc::not_connected));
        }
        return;
    }
    const auto size = static_cast<int64_t>(frame->size());
    pendingBytes_ += size;
    if (isVideoFrame) {
        ++pendingFrames_;
    }
    std::weak_ptr<FramedConnection> weak = weak_from_this();
    stream_->send(std::move(frame), isFinal,
                  [weak, size, isVideoFrame, completion = std::move(completion)](std::error_code error) {
                      auto self = weak.lock();
                      if (self) {
                          self->pendingBytes_ -= size;
                          if (isVideoFrame) {
                              --self->pendingFrames_;
                          }
                      }
                      // Also when the connection object is gone: the caller learns how its send ended.
                      if (completion) {
                          completion(error ? std::optional<ConnectionError>(error) : std::nullopt);
                      }
                      if (self && error && !self->isClosed_) {
                          self->failWith(error);
                      }
                  });
}

int64_t FramedConnection::pendingBytes() const {
    queue_->assertCurrent("FramedConnection::pendingBytes");
    return pendingBytes_;
}

int FramedConnection::pendingFrames() const {
    queue_->assertCurrent("FramedConnection::pendingFrames");
    return pendingFrames_;
}

void FramedConnection::close(std::optional<std::string> reason) {
    // Held strongly until the close has run: owners commonly let go right after asking for it, and the
    // goodbye must still go out.
    queue_->async([self = shared_from_this(), reason = std::move(reason)]() mutable {
        self->closeNow(std::move(reason));
    });
}

void FramedConnection::closeNow(std::optional<std::string> reason) {
    if (isClosed_) {
        return;
    }
    std::shared_ptr<const Bytes> goodbye;
    if (reason) {
        try {
            goodbye = std::make_shared<const Bytes>(ControlMessage(GoodbyeMessage{*reason}).encoded());
        } catch (const WireError&) {
            goodbye.reset();
        }
    }
    if (!goodbye) {
        stream_->cancel();
        finish(std::nullopt);
        return;
    }
    // The goodbye and the grace period live with the stream, not with us: the owner usually lets go of
    // this object right after the closed event, and the goodbye must still go out.
    auto stream = stream_;
    auto grace = std::make_shared<Timer>(queue_->after(goodbyeGrace, [stream] { stream->forceCancel(); }));
    stream_->send(std::move(goodbye), true, [stream, grace](std::error_code) {
        grace->cancel();
        stream->cancel();
    });
    finish(std::nullopt);
}

void FramedConnection::failWith(std::optional<ConnectionError> error) {
    if (isClosed_) {
        return;
    }
    stream_->cancel();
    finish(std::move(error));
}

void FramedConnection::finish(std::optional<ConnectionError> error) {
    if (isClosed_) {
        return;
    }
    isClosed_ = true;
    // Dropping the handler after the call releases whatever it captured.
    auto handler = std::move(eventHandler_);
    eventHandler_ = nullptr;
    if (handler) {
        handler(Closed{std::move(error)});
    }
}

}  // namespace kelvora
