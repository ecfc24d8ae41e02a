#pragma once

#include <ngtcp2/ngtcp2.h>
#include <asio/io_context.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/LogThrottle.h"
#include "platform/QuicEndpoint.h"
#include "platform/QuicInternal.h"
#include "platform/UdpSocket.h"

namespace kelvora::quic {

// Refusals of new connections are logged at most this often; a flood of them must not flood the log.
constexpr auto kRefusalLogInterval = std::chrono::seconds(5);

// The server side of the socket: routes datagrams by connection ID and accepts new connections.

class ServerEndpoint final : public std::enable_shared_from_this<ServerEndpoint> {
  public:
    ServerEndpoint(asio::io_context& context, QuicServerParameters parameters)
        : context_(context), parameters_(std::move(parameters)), buffer_(kDatagramCapacity) {}

    void open(const asio::ip::address& address, uint16_t port);
    void startReceiving();
    uint16_t port() const { return port_; }

    void setConnectionHandler(std::function<void(std::shared_ptr<QuicConnection>)> handler) {
        connectionHandler_ = std::move(handler);
    }
    void setFailureHandler(std::function<void(const QuicError&)> handler) {
        failureHandler_ = std::move(handler);
    }
    void stopAccepting();
    size_t connectionCount() const { return members_.size(); }
    size_t handshakeCount() const { return handshakes_; }

    void associate(const std::string& key, const std::shared_ptr<ConnectionImpl>& connection) {
        connections_[key] = connection;
    }
    void dissociate(const std::string& key) { connections_.erase(key); }
    void remove(const ConnectionImpl& connection);
    void connectionReady(const std::shared_ptr<ConnectionImpl>& connection);

  private:
    void receiveLoop(UdpSocket* socket);
    void onReadable(UdpSocket* socket);
    void onDatagram(UdpSocket* socket, const UdpSocket::Datagram& datagram,
                    std::vector<std::shared_ptr<ConnectionImpl>>& touched);
    void sendVersionNegotiation(UdpSocket* socket, const UdpSocket::Datagram& datagram,
                                const ngtcp2_version_cid& cid);
    void closeIfIdle();
    bool admits() const;
    void refuse(UdpSocket* socket, const UdpSocket::Datagram& datagram, const ngtcp2_pkt_hd& header);
    void fail(const QuicError& error);

    asio::io_context& context_;
    QuicServerParameters parameters_;
    std::vector<std::unique_ptr<UdpSocket>> sockets_;
    std::vector<uint8_t> buffer_;
    uint16_t port_ = 0;
    bool accepting_ = true;
    std::function<void(std::shared_ptr<QuicConnection>)> connectionHandler_;
    std::unordered_map<std::string, std::shared_ptr<ConnectionImpl>> connections_;
    // Every connection until it is released, and whether its handshake has completed.
    std::unordered_map<const ConnectionImpl*, bool> members_;
    size_t handshakes_ = 0;
    LogThrottle refusalLog_{kRefusalLogInterval};
    bool failed_ = false;
    std::function<void(const QuicError&)> failureHandler_;
};

class ListenerImpl final : public QuicListener {
  public:
    explicit ListenerImpl(std::shared_ptr<ServerEndpoint> endpoint) : endpoint_(std::move(endpoint)) {}
    ~ListenerImpl() override { endpoint_->stopAccepting(); }

    void setConnectionHandler(std::function<void(std::shared_ptr<QuicConnection>)> handler) override {
        endpoint_->setConnectionHandler(std::move(handler));
    }
    void setFailureHandler(std::function<void(const QuicError&)> handler) override {
        endpoint_->setFailureHandler(std::move(handler));
    }
    uint16_t port() const override { return endpoint_->port(); }
    size_t connectionCount() const override { return endpoint_->connectionCount(); }
    size_t handshakeCount() const override { return endpoint_->handshakeCount(); }
    void stop() override { endpoint_->stopAccepting(); }

  private:
    std::shared_ptr<ServerEndpoint> endpoint_;
};

}  // namespace kelvora::quic
