#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <sys/socket.h>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

namespace kelvora {

// A socket address as the kernel hands it over, for code that passes addresses straight on to C
// libraries.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    static SocketAddress from(const asio::ip::udp::endpoint& endpoint);
    asio::ip::udp::endpoint endpoint() const;
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
    bool operator==(const SocketAddress& other) const;
};

// One UDP socket on an Asio context, for datagram protocols that must know both ends of every datagram.
// A listening socket bound to a wildcard address learns, for each datagram, the local address it was sent
// to, and answers from exactly that address: a peer does not accept replies from another address of
// this computer. A connected socket serves one peer.
//
// All calls and completion handlers run on the context's thread.
class UdpSocket {
  public:
    enum class SendResult { sent, wouldBlock, failed };

    struct Datagram {
        std::span<const uint8_t> data;
        SocketAddress local;
        SocketAddress remote;
    };

    // Bound to `local` (port 0: the system chooses), with the receive and send buffers raised.
    // Throws std::system_error.
    static UdpSocket bind(asio::io_context& context, const asio::ip::udp::endpoint& local);
    // Connected to `remote` from a port the system chooses. Throws std::system_error.
    static UdpSocket connect(asio::io_context& context, const asio::ip::udp::endpoint& remote);

    UdpSocket(UdpSocket&&) = default;
    UdpSocket& operator=(UdpSocket&&) = default;

    // Marks every datagram with this IP traffic class (TOS byte), for networks that prioritise by it.
    void setTrafficClass(uint8_t trafficClass);

    asio::ip::udp::endpoint localEndpoint() const;
    bool isOpen() const { return socket_.is_open(); }

    // Reads one waiting datagram into `buffer` without blocking; nothing when none is waiting. A hard
    // error is thrown as std::system_error; a refused datagram (an earlier send met a closed port) is
    // reported through `refused` and not thrown.
    std::optional<Datagram> receive(std::span<uint8_t> buffer, bool* refused = nullptr);

    // Sends one datagram from `local` (ignored on a connected socket) to `remote` without blocking.
    SendResult send(std::span<const uint8_t> data, const SocketAddress& local, const SocketAddress& remote);

    void waitReadable(std::function<void(const std::error_code&)> handler);
    void waitWritable(std::function<void(const std::error_code&)> handler);

    void close();

  private:
    UdpSocket(asio::ip::udp::socket socket, bool connected);

    asio::ip::udp::socket socket_;
    bool connected_ = false;
    SocketAddress localAddress_;
    SocketAddress remoteAddress_;
};

}  // namespace kelvora
