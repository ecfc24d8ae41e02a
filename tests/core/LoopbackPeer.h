#pragma once

#include "core/Bytes.h"
#include "core/ControlMessage.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

namespace kelvora::testing {

// The far end of a loopback TCP connection, driven by the test with plain blocking calls that all have a
// time limit, so that a broken connection fails a test instead of hanging it.
class RawPeer {
  public:
    explicit RawPeer(int fd) : fd_(fd) {}
    RawPeer(RawPeer&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    RawPeer(const RawPeer&) = delete;
    ~RawPeer() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    // From 127.0.0.1, or from another loopback address (`source` in host order, e.g. 0x7F000002), so that a
    // test can be several peers.
    static RawPeer connectTo(uint16_t port, uint32_t source = INADDR_LOOPBACK) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (source != INADDR_LOOPBACK) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            local.sin_addr.s_addr = htonl(source);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
                ::close(fd);
                throw std::runtime_error(std::string("bind: ") + std::strerror(errno));
            }
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            throw std::runtime_error(std::string("connect: ") + std::strerror(errno));
        }
        return RawPeer(fd);
    }

    int fd() const { return fd_; }

    void sendAll(ByteView bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const auto n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                throw std::runtime_error(std::string("send: ") + std::strerror(errno));
            }
            sent += static_cast<size_t>(n);
        }
    }
    void sendMessage(const ControlMessage& message) { sendAll(message.encoded()); }

    enum class Outcome { data, endOfStream, reset, timeout };

    // Reads exactly `count` bytes into `out`, or stops at the end of the stream, an error or the limit.
    Outcome readExact(size_t count, Bytes& out, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        out.clear();
        const auto deadline = std::chrono::steady_clock::now() + limit;
        uint8_t buffer[65536];
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{fd_, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                return Outcome::timeout;
            }
            const auto n = ::recv(fd_, buffer, std::min(sizeof buffer, count - out.size()), 0);
            if (n == 0) {
                return Outcome::endOfStream;
            }
            if (n < 0) {
                return Outcome::reset;
            }
            out.insert(out.end(), buffer, buffer + n);
        }
        return Outcome::data;
    }

    // One whole frame, decoded; none at the end of the stream (or on failure: `outcome` says which).
    std::optional<ControlMessage> readMessage(Outcome* outcome = nullptr,
                                              std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        Bytes header;
        auto result = readExact(ControlMessage::headerLength, header, limit);
        if (result != Outcome::data) {
            if (outcome) {
                *outcome = result;
            }
            return std::nullopt;
        }
        const auto parsed = ControlMessage::parseHeader(header);
        Bytes payload;
        if (parsed.length > 0) {
            result = readExact(parsed.length, payload, limit);
            if (result != Outcome::data) {
                if (outcome) {
                    *outcome = result;
                }
                return std::nullopt;
            }
        }
        if (outcome) {
            *outcome = Outcome::data;
        }
        return ControlMessage::decode(parsed.type, payload);
    }

    void setReceiveBuffer(int bytes) { ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }
    void shutdownSending() { ::shutdown(fd_, SHUT_WR); }

  private:
    int fd_;
};

// A loopback listener on a port the system chooses.
class RawListener {
  public:
    explicit RawListener(int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0) {
            // Set before listening so that accepted sockets inherit it with a matching window scale.
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 8);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~RawListener() { ::close(fd_); }

    uint16_t port() const { return port_; }

    RawPeer accept(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) {
            throw std::runtime_error("no connection arrived");
        }
        return RawPeer(::accept(fd_, nullptr, nullptr));
    }

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

}  // namespace kelvora::testing
