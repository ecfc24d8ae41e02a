#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/ControlMessage.h"
#include "core/MonotonicClock.h"
#include "core/NetworkEndpoint.h"

namespace kelvora::test {

// A sender played by the test, on loopback: it accepts one control connection, collects every message the
// viewer sends, and sends what the test scripts. Plain sockets, so the viewer's bytes are checked against
// the wire format itself. Every wait has a generous limit so that a broken build fails instead of hanging.
class FakeSender {
  public:
    FakeSender() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listener_, 4) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("fake sender cannot listen");
        }
        port_ = ntohs(address.sin_port);
        reader_ = std::thread([this] { run(); });
    }

    ~FakeSender() {
        stopping_ = true;
        reader_.join();
        ::close(listener_);
        std::lock_guard lock(mutex_);
        if (connection_ >= 0) {
            ::close(connection_);
        }
    }

    NetworkEndpoint endpoint() const { return NetworkEndpoint::hostPort("127.0.0.1", port_); }

    void send(const ControlMessage& message) {
        const Bytes bytes = message.encoded();
        std::unique_lock lock(mutex_);
        if (!accepted_.wait_for(lock, std::chrono::seconds(10), [this] { return connection_ >= 0; })) {
            throw std::runtime_error("no viewer connected");
        }
        size_t sent = 0;
        while (sent < bytes.size()) {
            const auto n = ::send(connection_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                throw std::runtime_error("fake sender cannot send");
            }
            sent += static_cast<size_t>(n);
        }
    }

    // The messages of type T that satisfy `condition`, once there are at least `count` of them (or the
    // viewer has closed the connection, or the limit has passed).
    template <typename T>
    std::vector<T> waitFor(size_t count = 1, std::function<bool(const T&)> condition = nullptr,
                           std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        std::vector<T> found;
        changed_.wait_for(lock, limit, [&] {
            found = matching(condition);
            return found.size() >= count || ended_;
        });
        return found;
    }

    template <typename T>
    std::vector<T> all(std::function<bool(const T&)> condition = nullptr) {
        std::lock_guard lock(mutex_);
        return matching(condition);
    }

    // Answer the viewer's time-sync requests as they come (set before the viewer connects).
    std::atomic<bool> answerTimeSync{false};

    std::vector<ControlMessage> messages() {
        std::lock_guard lock(mutex_);
        return received_;
    }

    // The sender goes away without a goodbye.
    void closeConnection() {
        std::lock_guard lock(mutex_);
        if (connection_ >= 0) {
            ::shutdown(connection_, SHUT_RDWR);
        }
    }

    // Whether the viewer ended the connection within the limit.
    bool waitForEndOfStream(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] { return ended_; });
    }

  private:
    bool readable(int fd) {
        while (!stopping_) {
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, 50);
            if (ready > 0) {
                return true;
            }
            if (ready < 0) {
                return false;
            }
        }
        return false;
    }

    bool readExact(int fd, size_t count, Bytes& out) {
        out.resize(count);
        size_t got = 0;
        while (got < count) {
            if (!readable(fd)) {
                return false;
            }
            const auto n = ::recv(fd, out.data() + got, count - got, 0);
            if (n <= 0) {
                return false;
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }

    void run() {
        if (!readable(listener_)) {
            return;
        }
        const int fd = ::accept(listener_, nullptr, nullptr);
        {
            std::lock_guard lock(mutex_);
            connection_ = fd;
        }
        accepted_.notify_all();
        if (fd < 0) {
            return;
        }
        Bytes header;
        Bytes payload;
        while (readExact(fd, ControlMessage::headerLength, header)) {
            const auto parsed = ControlMessage::parseHeader(header);
            payload.clear();
            if (parsed.length > 0 && !readExact(fd, parsed.length, payload)) {
                break;
            }
            auto message = ControlMessage::decode(parsed.type, payload);
            if (const auto* request = message.get<TimeSyncRequest>(); request && answerTimeSync) {
                // Sender and viewer share this machine's clock: the offset to find is 0.
                TimeSyncResponse response;
                response.clientSendTime = request->clientSendTime;
                response.serverReceiveTime = MonotonicClock::now();
                response.serverSendTime = response.serverReceiveTime;
                send(response);
            }
            std::lock_guard lock(mutex_);
            received_.push_back(std::move(message));
            changed_.notify_all();
        }
        std::lock_guard lock(mutex_);
        // A sender closes its end as soon as the viewer has closed its own, so the viewer's connection is
        // over at once instead of waiting for us.
        ::shutdown(fd, SHUT_RDWR);
        ended_ = true;
        changed_.notify_all();
    }

    template <typename T>
    std::vector<T> matching(const std::function<bool(const T&)>& condition) const {
        std::vector<T> values;
        for (const auto& message : received_) {
            const T* value = message.get<T>();
            if (value && (!condition || condition(*value))) {
                values.push_back(*value);
            }
        }
        return values;
    }

    int listener_ = -1;
    uint16_t port_ = 0;
    std::mutex mutex_;
    std::condition_variable accepted_;
    std::condition_variable changed_;
    std::vector<ControlMessage> received_;
    bool ended_ = false;
    int connection_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread reader_;
};

}  // namespace kelvora::test
