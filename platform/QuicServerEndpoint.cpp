// Admission of new connections on the listener's sockets: routing by connection ID, the caps on
// connections and handshakes, refusals and version negotiation.

#include "platform/QuicServerEndpoint.h"

#include <ngtcp2/ngtcp2_crypto.h>

#include <algorithm>
#include <array>

#include "platform/QuicConnectionImpl.h"

namespace kelvora::quic {

void ServerEndpoint::open(const asio::ip::address& address, uint16_t port) {
    try {
        sockets_.push_back(std::make_unique<UdpSocket>(UdpSocket::bind(context_, {address, port})));
    } catch (const std::system_error& error) {
        throw QuicError::socket(error.code().message());
    }
    port_ = sockets_.front()->localEndpoint().port();
    if (address == asio::ip::address(asio::ip::address_v4::any())) {
        try {
            sockets_.push_back(
                std::make_unique<UdpSocket>(UdpSocket::bind(context_, {asio::ip::address_v6::any(), port_})));
        } catch (const std::system_error& error) {
            // A computer without IPv6, or the port taken there: viewers reach us by IPv4.
            quicLog().debug("QUIC: kein IPv6 auf Port {}: {}", port_, error.code().message());
        }
    }
}

void ServerEndpoint::startReceiving() {
    for (const auto& socket : sockets_) {
        if (parameters_.transport.trafficClass != 0) {
            socket->setTrafficClass(parameters_.transport.trafficClass);
        }
        receiveLoop(socket.get());
    }
}

void ServerEndpoint::receiveLoop(UdpSocket* socket) {
    socket->waitReadable([self = shared_from_this(), socket](const std::error_code& error) {
        if (!error) {
            self->onReadable(socket);
        } else if (error != asio::error::operation_aborted && socket->isOpen()) {
            self->fail(QuicError::socket(error.message()));
        }
    });
}

void ServerEndpoint::fail(const QuicError& error) {
    if (failed_) {
        return;
    }
    failed_ = true;
    quicLog().debug("QUIC-Listener auf Port {}: {}", port_, error.text());
    auto handler = std::move(failureHandler_);
    failureHandler_ = nullptr;
    stopAccepting();
    if (handler) {
        handler(error);
    }
}

void ServerEndpoint::onReadable(UdpSocket* socket) {
    std::vector<std::shared_ptr<ConnectionImpl>> touched;
    for (int i = 0; i < kReceiveBatch; ++i) {
        std::optional<UdpSocket::Datagram> datagram;
        try {
            datagram = socket->receive(buffer_);
        } catch (const std::system_error& error) {
            // A socket that cannot be read any more takes the listener with it; the owner decides
            // whether to open another.
            for (const auto& connection : touched) {
                connection->afterInput();
            }
            fail(QuicError::socket(error.code().message()));
            return;
        }
        if (!datagram) {
            break;
        }
        onDatagram(socket, *datagram, touched);
    }
    for (const auto& connection : touched) {
        connection->afterInput();
    }
    if (socket->isOpen() && !failed_) {
        receiveLoop(socket);
    }
}

void ServerEndpoint::onDatagram(UdpSocket* socket, const UdpSocket::Datagram& datagram,
                                std::vector<std::shared_ptr<ConnectionImpl>>& touched) {
    ngtcp2_version_cid cid{};
    int status =
        ngtcp2_pkt_decode_version_cid(&cid, datagram.data.data(), datagram.data.size(), kServerCidLength);
    if (status == NGTCP2_ERR_VERSION_NEGOTIATION) {
        if (accepting_) {
            sendVersionNegotiation(socket, datagram, cid);
        }
        return;
    }
    if (status != 0) {
        return;
    }
    std::shared_ptr<ConnectionImpl> connection;
    if (auto found = connections_.find(cidKey(cid.dcid, cid.dcidlen)); found != connections_.end()) {
        connection = found->second;
    } else {
        if (!accepting_) {
            return;
        }
        ngtcp2_pkt_hd header{};
        if (ngtcp2_accept(&header, datagram.data.data(), datagram.data.size()) != 0) {
            return;
        }
        if (!admits()) {
            refuse(socket, datagram, header);
            return;
        }
        try {
            connection = ConnectionImpl::makeServer(context_, shared_from_this(), parameters_, header, socket,
                                                    datagram);
        } catch (const QuicError& error) {
            quicLog().warn("QUIC: Verbindung nicht angenommen: {}", error.text());
            return;
        }
        members_[connection.get()] = false;
        ++handshakes_;
    }
    connection->feed(socket, datagram);
    if (std::find(touched.begin(), touched.end(), connection) == touched.end()) {
        touched.push_back(connection);
    }
}

bool ServerEndpoint::admits() const {
    const auto& limits = parameters_;
    return (limits.maxConnections == 0 || members_.size() < limits.maxConnections) &&
           (limits.maxHandshakes == 0 || handshakes_ < limits.maxHandshakes);
}

void ServerEndpoint::refuse(UdpSocket* socket, const UdpSocket::Datagram& datagram,
                            const ngtcp2_pkt_hd& header) {
    // Only a client's first packet (Initial) may open a connection; anything else is dropped unanswered.
    if (header.type != NGTCP2_PKT_INITIAL) {
        return;
    }
    // Told at once, the client need not wait for its handshake to time out; nothing is kept for it.
    std::array<uint8_t, NGTCP2_MAX_UDP_PAYLOAD_SIZE> packet{};
    ngtcp2_ssize written =
        ngtcp2_crypto_write_connection_close(packet.data(), packet.size(), header.version, &header.scid,
                                             &header.dcid, NGTCP2_CONNECTION_REFUSED, nullptr, 0);
    if (written > 0) {
        socket->send({packet.data(), static_cast<size_t>(written)}, datagram.local, datagram.remote);
    }
    if (const auto refusals = refusalLog_.count(monotonicNow())) {
        quicLog().warn("QUIC: {} neue Verbindung(en) abgewiesen ({} Verbindungen, {} im Handshake)",
                       *refusals, members_.size(), handshakes_);
    }
}

void ServerEndpoint::sendVersionNegotiation(UdpSocket* socket, const UdpSocket::Datagram& datagram,
                                            const ngtcp2_version_cid& cid) {
    std::array<uint8_t, NGTCP2_MAX_UDP_PAYLOAD_SIZE> packet{};
    uint8_t unused = 0;
    randomBytes(&unused, 1);
    const uint32_t versions[] = {NGTCP2_PROTO_VER_V1};
    ngtcp2_ssize written = ngtcp2_pkt_write_version_negotiation(
        packet.data(), packet.size(), unused, cid.scid, cid.scidlen, cid.dcid, cid.dcidlen, versions, 1);
    if (written > 0) {
        socket->send({packet.data(), static_cast<size_t>(written)}, datagram.local, datagram.remote);
    }
}

void ServerEndpoint::remove(const ConnectionImpl& connection) {
    if (auto member = members_.find(&connection); member != members_.end()) {
        if (!member->second) {
            --handshakes_;
        }
        members_.erase(member);
    }
    for (const std::string& key : connection.cidKeys()) {
        auto found = connections_.find(key);
        if (found != connections_.end() && found->second.get() == &connection) {
            connections_.erase(found);
        }
    }
    closeIfIdle();
}

void ServerEndpoint::connectionReady(const std::shared_ptr<ConnectionImpl>& connection) {
    if (auto member = members_.find(connection.get()); member != members_.end() && !member->second) {
        member->second = true;
        --handshakes_;
    }
    if (!accepting_ || !connectionHandler_) {
        // Nobody will ever use it; do not let the client wait for the idle timeout.
        connection->close(0);
        return;
    }
    auto handler = connectionHandler_;
    handler(connection);
}

void ServerEndpoint::stopAccepting() {
    accepting_ = false;
    connectionHandler_ = nullptr;
    closeIfIdle();
}

void ServerEndpoint::closeIfIdle() {
    if (accepting_ || !connections_.empty()) {
        return;
    }
    for (const auto& socket : sockets_) {
        socket->close();
    }
}

}  // namespace kelvora::quic
