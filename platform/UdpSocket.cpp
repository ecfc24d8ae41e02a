#include "platform/UdpSocket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <asio/ip/v6_only.hpp>
#include <asio/socket_base.hpp>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace kelvora {
namespace {

// Video frames arrive in bursts of a few hundred datagrams; small kernel buffers would drop them.
constexpr int kBufferBytes = 4 * 1024 * 1024;

std::system_error lastError(const char* what) {
    return std::system_error(errno, std::generic_category(), what);
}

void raiseBuffers(int fd) {
    int size = kBufferBytes;
    // The kernel caps these at its own maximum; a smaller buffer still works, so failures are ignored.
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

}  // namespace

SocketAddress SocketAddress::from(const asio::ip::udp::endpoint& endpoint) {
    SocketAddress address;
    std::memcpy(&address.storage, endpoint.data(), endpoint.size());
    address.length = static_cast<socklen_t>(endpoint.size());
    return address;
}

asio::ip::udp::endpoint SocketAddress::endpoint() const {
    asio::ip::udp::endpoint endpoint;
    std::memcpy(endpoint.data(), &storage, length);
    endpoint.resize(length);
    return endpoint;
}

bool SocketAddress::operator==(const SocketAddress& other) const {
    return endpoint() == other.endpoint();
}

UdpSocket::UdpSocket(asio::ip::udp::socket socket, bool connected)
    : socket_(std::move(socket)), connected_(connected) {
    localAddress_ = SocketAddress::from(socket_.local_endpoint());
    if (connected_) {
        remoteAddress_ = SocketAddress::from(socket_.remote_endpoint());
    }
}

UdpSocket UdpSocket::bind(asio::io_context& context, const asio::ip::udp::endpoint& local) {
    asio::ip::udp::socket socket(context, local.protocol());
    socket.non_blocking(true);
    int fd = socket.native_handle();
    int on = 1;
    if (local.address().is_v6()) {
        // One socket per address family: an IPv6 socket that also took IPv4 would report IPv4 peers as
        // mapped addresses, which cannot be answered with an explicit source address.
        socket.set_option(asio::ip::v6_only(true));
        if (::setsockopt(fd, IPPROTO_IPV6, IPV6_RECVPKTINFO, &on, sizeof on) != 0) {
            throw lastError("IPV6_RECVPKTINFO");
        }
    } else if (::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) {
        throw lastError("IP_PKTINFO");
    }
    raiseBuffers(fd);
    socket.bind(local);
    return UdpSocket(std::move(socket), false);
}

UdpSocket UdpSocket::connect(asio::io_context& context, const asio::ip::udp::endpoint& remote) {
    asio::ip::udp::socket socket(context, remote.protocol());
    socket.non_blocking(true);
    raiseBuffers(socket.native_handle());
    socket.connect(remote);
    return UdpSocket(std::move(socket), true);
}

void UdpSocket::setTrafficClass(uint8_t trafficClass) {
    int value = trafficClass;
    // Best effort: a network that ignores the class still carries the datagrams.
    if (localAddress_.storage.ss_family == AF_INET6) {
        ::setsockopt(socket_.native_handle(), IPPROTO_IPV6, IPV6_TCLASS, &value, sizeof value);
    } else {
        ::setsockopt(socket_.native_handle(), IPPROTO_IP, IP_TOS, &value, sizeof value);
    }
}

asio::ip::udp::endpoint UdpSocket::localEndpoint() const {
    return localAddress_.endpoint();
}

std::optional<UdpSocket::Datagram> UdpSocket::receive(std::span<uint8_t> buffer, bool* refused) {
    Datagram datagram;
    iovec vector{buffer.data(), buffer.size()};
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo)) + CMSG_SPACE(sizeof(in_pktinfo))];
    msghdr message{};
    message.msg_name = &datagram.remote.storage;
    message.msg_namelen = sizeof datagram.remote.storage;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;

    ssize_t count;
    do {
        count = ::recvmsg(socket_.native_handle(), &message, MSG_DONTWAIT);
    } while (count < 0 && errno == EINTR);
    if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return std::nullopt;
        }
        if (errno == ECONNREFUSED) {
            if (refused != nullptr) {
                *refused = true;
            }
            return std::nullopt;
        }
        throw lastError("recvmsg");
    }
    datagram.remote.length = message.msg_namelen;
    if (connected_) {
        datagram.remote = remoteAddress_;
    }
    datagram.data = buffer.first(static_cast<size_t>(count));
    datagram.local = localAddress_;

    // The destination address of the datagram, with our own port.
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level == IPPROTO_IP && header->cmsg_type == IP_PKTINFO) {
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            auto* local = reinterpret_cast<sockaddr_in*>(&datagram.local.storage);
            local->sin_addr = info.ipi_addr;
        } else if (header->cmsg_level == IPPROTO_IPV6 && header->cmsg_type == IPV6_PKTINFO) {
            in6_pktinfo info;
            std::memcpy(&info, CMSG_DATA(header), sizeof info);
            auto* local = reinterpret_cast<sockaddr_in6*>(&datagram.local.storage);
            local->sin6_addr = info.ipi6_addr;
            if (IN6_IS_ADDR_LINKLOCAL(&info.ipi6_addr)) {
                local->sin6_scope_id = info.ipi6_ifindex;
            }
        }
    }
    return datagram;
}

UdpSocket::SendResult UdpSocket::send(std::span<const uint8_t> data, const SocketAddress& local,
                                      const SocketAddress& remote) {
    iovec vector{const_cast<uint8_t*>(data.data()), data.size()};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in6_pktinfo))]{};

    if (!connected_) {
        message.msg_name = const_cast<sockaddr*>(remote.get());
        message.msg_namelen = remote.length;
        message.msg_control = control;
        if (local.storage.ss_family == AF_INET) {
            message.msg_controllen = CMSG_SPACE(sizeof(in_pktinfo));
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = IPPROTO_IP;
            header->cmsg_type = IP_PKTINFO;
            header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
            in_pktinfo info{};
            info.ipi_spec_dst = reinterpret_cast<const sockaddr_in*>(&local.storage)->sin_addr;
            std::memcpy(CMSG_DATA(header), &info, sizeof info);
        } else {
            message.msg_controllen = CMSG_SPACE(sizeof(in6_pktinfo));
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = IPPROTO_IPV6;
            header->cmsg_type = IPV6_PKTINFO;
            header->cmsg_len = CMSG_LEN(sizeof(in6_pktinfo));
            in6_pktinfo info{};
            const auto* address = reinterpret_cast<const sockaddr_in6*>(&local.storage);
            info.ipi6_addr = address->sin6_addr;
            info.ipi6_ifindex = address->sin6_scope_id;
            std::memcpy(CMSG_DATA(header), &info, sizeof info);
        }
    }

    ssize_t count;
    do {
        count = ::sendmsg(socket_.native_handle(), &message, MSG_DONTWAIT);
    } while (count < 0 && errno == EINTR);
    if (count >= 0) {
        return SendResult::sent;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
        return SendResult::wouldBlock;
    }
    return SendResult::failed;
}

void UdpSocket::waitReadable(std::function<void(const std::error_code&)> handler) {
    socket_.async_wait(asio::socket_base::wait_read, std::move(handler));
}

void UdpSocket::waitWritable(std::function<void(const std::error_code&)> handler) {
    socket_.async_wait(asio::socket_base::wait_write, std::move(handler));
}

void UdpSocket::close() {
    std::error_code ignored;
    socket_.close(ignored);
}

}  // namespace kelvora
