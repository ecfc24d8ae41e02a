// The QUIC files of this folder are the one module that talks to ngtcp2. Shaped like the library's own
// example programs: one object per ngtcp2_conn owning its TLS session, timer and streams; static trampolines
// from the library's callbacks into that object; one write loop. Packets travel through UdpSocket.

#include "platform/QuicEndpoint.h"

#include <gnutls/crypto.h>
#include <time.h>

#include "platform/Logger.h"
#include "platform/QuicConnectionImpl.h"
#include "platform/QuicServerEndpoint.h"

namespace kelvora {
namespace quic {

spdlog::logger& quicLog() {
    static spdlog::logger& logger = platformLogger("network");
    return logger;
}

uint64_t monotonicNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(ts.tv_nsec);
}

void randomBytes(uint8_t* data, size_t length) {
    if (gnutls_rnd(GNUTLS_RND_RANDOM, data, length) != 0) {
        throw QuicError::protocol("Zufallszahlen nicht verfügbar");
    }
}

std::string cidKey(const uint8_t* data, size_t length) {
    return std::string(reinterpret_cast<const char*>(data), length);
}

std::string cidKey(const ngtcp2_cid& cid) {
    return cidKey(cid.data, cid.datalen);
}

}  // namespace quic

using quic::ConnectionImpl;
using quic::ListenerImpl;
using quic::ServerEndpoint;

// ---------------------------------------------------------------------------------------------------
// Factories

std::shared_ptr<QuicConnection> QuicConnection::connect(asio::io_context& context,
                                                        const asio::ip::udp::endpoint& remote,
                                                        QuicClientParameters parameters) {
    return ConnectionImpl::makeClient(context, remote, std::move(parameters));
}

std::shared_ptr<QuicListener> QuicListener::listen(asio::io_context& context, QuicServerParameters parameters,
                                                   const asio::ip::address& address, uint16_t port) {
    if (!parameters.identity) {
        throw QuicError::protocol("keine TLS-Identität");
    }
    auto endpoint = std::make_shared<ServerEndpoint>(context, std::move(parameters));
    endpoint->open(address, port);
    endpoint->startReceiving();
    return std::make_shared<ListenerImpl>(endpoint);
}

}  // namespace kelvora
