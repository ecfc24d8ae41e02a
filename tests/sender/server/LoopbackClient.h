#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/Bytes.h"

namespace kelvora::testing {

// A plain blocking TCP client on 127.0.0.1 for the server tests: every read has a generous limit, so a
// broken build fails instead of hanging.
class LoopbackClient {
  public:
    // `receiveBuffer` > 0 shrinks the socket's receive buffer before connecting (a slow reader fills up
    // soon).
    explicit LoopbackClient(uint16_t port, int receiveBuffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) {
            throw std::runtime_error("socket");
        }
        if (receiveBuffer > 0) {
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            const int error = errno;
            ::close(fd_);
            fd_ = -1;
            throw std::runtime_error("connect: " + std::to_string(error));
        }
    }
    ~LoopbackClient() { close(); }
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    void write(ByteView bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                throw std::runtime_error("send");
            }
            done += static_cast<size_t>(n);
        }
    }

    // Exactly `count` bytes; nothing when the peer closed first or the limit passed.
    std::optional<Bytes> read(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
        Bytes data(count);
        size_t done = 0;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (done < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(fd_, data.data() + done, count - done, 0);
            if (n <= 0) {
                return std::nullopt;
            }
            done += static_cast<size_t>(n);
        }
        return data;
    }

    // Whether the peer closed the connection (reading and discarding whatever comes before the end).
    bool waitForClose(std::chrono::milliseconds limit = std::chrono::seconds(15)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        uint8_t buffer[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return true;
            }
        }
        return false;
    }

    // Ends our side for writing; the connection stays readable.
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    int fd_ = -1;
};

// Waits until `condition` holds (checked every few milliseconds), up to `limit`.
inline bool waitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace kelvora::testing
