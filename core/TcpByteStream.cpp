#include "core/TcpByteStream.h"

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <array>

namespace kelvora {

namespace {

template <int Level, int Name>
using IntOption = asio::detail::socket_option::integer<Level, Name>;

NetworkEndpoint endpointOf(const asio::ip::tcp::endpoint& endpoint) {
    // A dual-stack listener sees IPv4 peers as ::ffff:a.b.c.d; show them as the IPv4 address they are.
    auto address = endpoint.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    return NetworkEndpoint::hostPort(address.to_string(), endpoint.port());
}

}  // namespace

std::shared_ptr<TcpByteStream> TcpByteStream::adopt(std::shared_ptr<SerialQueue> queue,
                                                    asio::ip::tcp::socket socket) {
    // Re-home the descriptor on the queue's io_context, whatever context accepted it.
    asio::ip::tcp::socket local(queue->context());
    if (socket.is_open()) {
        const auto protocol = socket.local_endpoint().protocol();
        local.assign(protocol, socket.release());
    }
    auto stream = std::shared_ptr<TcpByteStream>(
        new TcpByteStream(std::move(queue), std::move(local), std::nullopt, std::chrono::milliseconds(0)));
    std::error_code error;
    const auto peer = stream->socket_.remote_endpoint(error);
    if (!error) {
        stream->connectedPeer_ = endpointOf(peer);
    }
    return stream;
}

std::shared_ptr<TcpByteStream> TcpByteStream::connect(std::shared_ptr<SerialQueue> queue,
                                                      NetworkEndpoint endpoint,
                                                      std::chrono::milliseconds connectTimeout) {
    asio::ip::tcp::socket socket(queue->context());
    return std::shared_ptr<TcpByteStream>(
        new TcpByteStream(std::move(queue), std::move(socket), std::move(endpoint), connectTimeout));
}

TcpByteStream::TcpByteStream(std::shared_ptr<SerialQueue> queue, asio::ip::tcp::socket socket,
                             std::optional<NetworkEndpoint> target, std::chrono::milliseconds connectTimeout)
    : queue_(std::move(queue)),
      socket_(std::move(socket)),
      resolver_(queue_->context()),
      deadline_(queue_->context()),
      target_(std::move(target)),
      connectTimeout_(connectTimeout) {}

TcpByteStream::~TcpByteStream() {
    std::error_code ignored;
    socket_.close(ignored);
}

void TcpByteStream::applyOptions(asio::ip::tcp::socket& socket) {
    socket.set_option(asio::ip::tcp::no_delay(true));
    socket.set_option(asio::socket_base::keep_alive(true));
    socket.set_option(IntOption<IPPROTO_TCP, TCP_KEEPIDLE>(keepAliveIdleSeconds));
    socket.set_option(IntOption<IPPROTO_TCP, TCP_KEEPINTVL>(keepAliveIntervalSeconds));
    socket.set_option(IntOption<IPPROTO_TCP, TCP_KEEPCNT>(keepAliveCount));
    socket.set_option(IntOption<IPPROTO_TCP, TCP_NOTSENT_LOWAT>(notSentLowWaterBytes));
    socket.set_option(IntOption<IPPROTO_TCP, TCP_USER_TIMEOUT>(userTimeoutMilliseconds));
    // An IPv6 socket of a dual-stack listener sends IPv4 packets to mapped peers, which take IP_TOS.
    if (socket.local_endpoint().protocol() == asio::ip::tcp::v6()) {
        socket.set_option(IntOption<IPPROTO_IPV6, IPV6_TCLASS>(trafficClass));
    }
    socket.set_option(IntOption<IPPROTO_IP, IP_TOS>(trafficClass));
}

void TcpByteStream::start(StateHandler handler) {
    queue_->assertCurrent("TcpByteStream::start");
    if (started_) {
        return;
    }
    started_ = true;
    stateHandler_ = std::move(handler);
    if (!target_) {
        // Accepted: already connected.
        if (!socket_.is_open()) {
            fail(asio::error::bad_descriptor);
            return;
        }
        becomeReady();
        return;
    }
    const auto target = target_->connectTarget();
    deadline_.expires_after(connectTimeout_);
    deadline_.async_wait([self = shared_from_this()](const std::error_code& error) {
        if (!error && !self->ready_ && !self->ended_) {
            // Cancelling the resolve or connect makes it fail; the handler reports the time-out.
            self->timedOut_ = true;
            self->resolver_.cancel();
            std::error_code ignored;
            self->socket_.close(ignored);
        }
    });
    resolver_.async_resolve(target.host, std::to_string(target.port),
                            [self = shared_from_this()](const std::error_code& error,
                                                        asio::ip::tcp::resolver::results_type addresses) {
                                if (self->ended_) {
                                    return;
                                }
                                if (error) {
                                    self->deadline_.cancel();
                                    self->fail(self->timedOut_ ? asio::error::timed_out : error);
                                    return;
                                }
                                self->connectTo(std::move(addresses));
                            });
}

void TcpByteStream::connectTo(asio::ip::tcp::resolver::results_type addresses) {
    asio::async_connect(
        socket_, addresses,
        [self = shared_from_this()](const std::error_code& error, const asio::ip::tcp::endpoint& peer) {
            if (self->ended_) {
                return;
            }
            self->deadline_.cancel();
            if (error) {
                self->fail(self->timedOut_ ? asio::error::timed_out : error);
                return;
            }
            self->connectedPeer_ = endpointOf(peer);
            self->becomeReady();
        });
}

void TcpByteStream::becomeReady() {
    try {
        applyOptions(socket_);
    } catch (const std::system_error& error) {
        fail(error.code());
        return;
    }
    ready_ = true;
    report(State::ready);
    writeNext();
}

void TcpByteStream::fail(std::error_code error) {
    failed_ = true;
    // Sends queued while connecting will never go out: they learn it now, not never.
    failQueuedSends(error);
    report(State::failed, error);
}

void TcpByteStream::report(State state, std::error_code error) {
    // Posted, so that a handler never runs inside the call that caused it.
    queue_->async([self = shared_from_this(), state, error] {
        if (self->stateHandler_) {
            self->stateHandler_(state, error);
        }
    });
}

void TcpByteStream::receive(std::size_t length, ReceiveHandler handler) {
    queue_->assertCurrent("TcpByteStream::receive");
    if (ended_ || !ready_) {
        queue_->async([handler = std::move(handler)] { handler(asio::error::operation_aborted, {}, false); });
        return;
    }
    auto read = std::make_shared<PartialRead>();
    read->wanted = length;
    read->data.resize(std::min(length, firstReadChunk));
    read->handler = std::move(handler);
    readMore(std::move(read));
}

void TcpByteStream::readMore(std::shared_ptr<PartialRead> read) {
    auto* space = read->data.data() + read->filled;
    const std::size_t room = read->data.size() - read->filled;
    socket_.async_read_some(
        asio::buffer(space, room),
        [self = shared_from_this(), read](const std::error_code& error, std::size_t received) {
            read->filled += received;
            if (!error && read->filled < read->wanted) {
                if (read->filled == read->data.size()) {
                    // Doubling keeps the copying linear in what arrived.
                    read->data.resize(std::min(read->wanted, read->data.size() * 2));
                }
                self->readMore(read);
                return;
            }
            read->data.resize(read->filled);
            auto handler = std::move(read->handler);
            if (error == asio::error::eof) {
                handler({}, std::move(read->data), true);
            } else if (error) {
                handler(self->ended_ ? asio::error::operation_aborted : error, std::move(read->data), false);
            } else {
                handler({}, std::move(read->data), false);
            }
        });
}

void TcpByteStream::send(std::shared_ptr<const Bytes> data, bool isFinal, SendHandler handler) {
    queue_->assertCurrent("TcpByteStream::send");
    if (ended_ || failed_ || finalSent_) {
        const std::error_code error = failed_ ? asio::error::broken_pipe : asio::error::operation_aborted;
        queue_->async([handler = std::move(handler), error] {
            if (handler) {
                handler(error);
            }
        });
        return;
    }
    sends_.push_back({std::move(data), isFinal, std::move(handler)});
    if (ready_) {
        writeNext();
    }
}

void TcpByteStream::writeNext() {
    if (writing_ || sends_.empty() || ended_) {
        return;
    }
    writing_ = true;
    const auto& next = sends_.front();
    asio::async_write(socket_, asio::buffer(*next.data),
                      [self = shared_from_this()](const std::error_code& writeError, std::size_t) {
                          self->writing_ = false;
                          if (self->sends_.empty()) {
                              return;
                          }
                          PendingSend done = std::move(self->sends_.front());
                          self->sends_.pop_front();
                          std::error_code error = writeError;
                          if (error && self->ended_) {
                              error = asio::error::operation_aborted;
                          }
                          if (!error && done.isFinal) {
                              self->finalSent_ = true;
                              std::error_code ignored;
                              self->socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
                          }
                          if (done.handler) {
                              done.handler(error);
                          }
                          if (error) {
                              // Nothing after a failed write can arrive in order: fail the rest too.
                              if (!self->ended_ && !self->failed_) {
                                  self->failed_ = true;
                              }
                              self->failQueuedSends(error);
                              return;
                          }
                          if (self->finalSent_) {
                              self->failQueuedSends(asio::error::operation_aborted);
                              return;
                          }
                          self->writeNext();
                      });
}

void TcpByteStream::failQueuedSends(std::error_code error) {
    // Handlers may queue more sends; those are refused by send() itself once ended or failed.
    auto queued = std::move(sends_);
    sends_.clear();
    for (auto& pending : queued) {
        if (pending.handler) {
            pending.handler(error);
        }
    }
}

void TcpByteStream::cancel() {
    queue_->assertCurrent("TcpByteStream::cancel");
    if (ended_) {
        return;
    }
    ended_ = true;
    resolver_.cancel();
    deadline_.cancel();
    std::error_code ignored;
    socket_.cancel(ignored);
    // The write in progress (if any) completes with operation_aborted and fails the rest itself.
    if (!writing_) {
        failQueuedSends(asio::error::operation_aborted);
    }
    if (finalSent_ && !failed_) {
        drainThenClose();
    } else {
        closeSocket();
    }
    report(State::cancelled);
}

void TcpByteStream::forceCancel() {
    queue_->assertCurrent("TcpByteStream::forceCancel");
    std::error_code ignored;
    if (socket_.is_open()) {
        // A reset instead of a FIN: the kernel drops what the peer has not taken.
        socket_.set_option(asio::socket_base::linger(true, 0), ignored);
    }
    if (!ended_) {
        cancel();
    }
    closeSocket();
}

void TcpByteStream::drainThenClose() {
    // Our FIN is out after the final message. Closing now while the peer still sends would answer with a
    // reset that can destroy that message at the peer, so read and discard until the peer closes too.
    deadline_.expires_after(lingerAfterFinal);
    deadline_.async_wait([self = shared_from_this()](const std::error_code& error) {
        if (!error) {
            self->closeSocket();
        }
    });
    drainOnce(std::make_shared<std::array<uint8_t, 4096>>());
}

void TcpByteStream::drainOnce(std::shared_ptr<std::array<uint8_t, 4096>> buffer) {
    socket_.async_read_some(asio::buffer(*buffer),
                            [self = shared_from_this(), buffer](const std::error_code& error, std::size_t) {
                                if (error) {
                                    self->deadline_.cancel();
                                    self->closeSocket();
                                    return;
                                }
                                self->drainOnce(buffer);
                            });
}

void TcpByteStream::closeSocket() {
    std::error_code ignored;
    socket_.close(ignored);
}

std::optional<NetworkEndpoint> TcpByteStream::remoteEndpoint() const {
    if (connectedPeer_) {
        return connectedPeer_;
    }
    return target_;
}

}  // namespace kelvora
