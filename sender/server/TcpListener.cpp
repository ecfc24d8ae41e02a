#include "sender/server/TcpListener.h"

#include <asio/error.hpp>
#include <asio/ip/v6_only.hpp>

#include <chrono>
#include <optional>

#include "core/Log.h"

namespace kelvora {

namespace {

asio::ip::tcp::acceptor bindAcceptor(asio::io_context& context, const asio::ip::tcp::endpoint& endpoint,
                                     bool dualStack) {
    asio::ip::tcp::acceptor acceptor(context);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    if (dualStack) {
        acceptor.set_option(asio::ip::v6_only(false));
    }
    acceptor.bind(endpoint);
    acceptor.listen(asio::socket_base::max_listen_connections);
    return acceptor;
}

// Errors after which the next accept may well succeed: a peer that gave up during the handshake, or a
// moment without file descriptors or memory.
bool isTransient(const std::error_code& error) {
    return error == asio::error::connection_aborted || error == asio::error::no_descriptors ||
           error == asio::error::no_buffer_space || error == asio::error::no_memory ||
           error == std::errc::too_many_files_open_in_system || error == std::errc::protocol_error;
}

}  // namespace

std::shared_ptr<TcpListener> TcpListener::open(std::shared_ptr<SerialQueue> queue, uint16_t port) {
    asio::io_context& context = queue->context();
    std::optional<asio::ip::tcp::acceptor> acceptor;
    try {
        acceptor.emplace(bindAcceptor(context, {asio::ip::address_v6::any(), port}, true));
    } catch (const std::system_error& error) {
        // A host without IPv6 refuses the socket family itself; a busy port is busy for IPv4 too.
        if (error.code() != asio::error::address_family_not_supported &&
            error.code() != std::errc::address_family_not_supported) {
            throw;
        }
        acceptor.emplace(bindAcceptor(context, {asio::ip::address_v4::any(), port}, false));
    }
    return std::shared_ptr<TcpListener>(new TcpListener(std::move(queue), std::move(*acceptor)));
}

TcpListener::TcpListener(std::shared_ptr<SerialQueue> queue, asio::ip::tcp::acceptor acceptor)
    : queue_(std::move(queue)), acceptor_(std::move(acceptor)) {
    port_ = acceptor_.local_endpoint().port();
}

TcpListener::~TcpListener() {
    std::error_code ignored;
    acceptor_.close(ignored);
}

void TcpListener::start(AcceptHandler onAccept, FailureHandler onFailure) {
    queue_->assertCurrent("TcpListener::start");
    onAccept_ = std::move(onAccept);
    onFailure_ = std::move(onFailure);
    acceptNext();
}

void TcpListener::cancel() {
    queue_->assertCurrent("TcpListener::cancel");
    cancelled_ = true;
    retry_.cancel();
    onAccept_ = nullptr;
    onFailure_ = nullptr;
    std::error_code ignored;
    acceptor_.close(ignored);
}

void TcpListener::acceptNext() {
    if (cancelled_) {
        return;
    }
    std::weak_ptr<TcpListener> weakSelf = weak_from_this();
    acceptor_.async_accept(
        queue_->context(), [weakSelf](std::error_code error, asio::ip::tcp::socket socket) {
            auto self = weakSelf.lock();
            if (!self || self->cancelled_) {
                return;
            }
            if (!error) {
                if (self->onAccept_) {
                    self->onAccept_(std::move(socket));
                }
                self->acceptNext();
            } else if (isTransient(error)) {
                Log::network().warn("Verbindung nicht angenommen: {}", error.message());
                self->retry_ = self->queue_->after(std::chrono::milliseconds(100), [weakSelf] {
                    if (auto listener = weakSelf.lock()) {
                        listener->acceptNext();
                    }
                });
            } else {
                FailureHandler failure = std::move(self->onFailure_);
                self->cancel();
                if (failure) {
                    failure(error);
                }
            }
        });
}

}  // namespace kelvora
