#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "core/LoopbackPeer.h"

namespace kelvora::testing {

// A viewer that speaks the control protocol over loopback, for the server tests.
class TestViewer {
  public:
    explicit TestViewer(uint16_t port, int receiveBuffer = 0)
        : peer_(receiveBuffer > 0 ? connectSlowly(port, receiveBuffer) : RawPeer::connectTo(port)) {}

    // A connection whose receive buffer is small from the start (set later, it would confuse the window the
    // handshake agreed on), so that a reader that stops fills up at once.
    static RawPeer connectSlowly(uint16_t port, int receiveBuffer) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
            throw std::runtime_error("connect");
        }
        return RawPeer(fd);
    }

    static HelloMessage hello(std::string clientID, int protocolVersion = 4,
                              std::optional<bool> supportsTuning = true,
                              EngineKind engine = EngineKind::tcp()) {
        return HelloMessage{clientID,           "Viewer " + clientID, protocolVersion, std::move(engine),
                            {VideoCodec::h264}, "TestPhone",          supportsTuning};
    }

    void send(const ControlMessage& message) { peer_.sendMessage(message); }
    void sendRaw(ByteView bytes) { peer_.sendAll(bytes); }
    // The next whole message; nothing when the connection ended or the limit passed.
    std::optional<ControlMessage> next(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        return peer_.readMessage(nullptr, limit);
    }

    // The next message of type T, skipping others.
    template <typename T>
    std::optional<T> nextOf() {
        while (auto message = next()) {
            if (const T* value = message->get<T>()) {
                return *value;
            }
        }
        return std::nullopt;
    }
    std::optional<std::string> goodbyeReason() {
        auto goodbye = nextOf<GoodbyeMessage>();
        return goodbye ? std::optional(goodbye->reason) : std::nullopt;
    }
    // Whether the server ends the connection (after whatever it still sends).
    bool closedByServer() {
        RawPeer::Outcome outcome = RawPeer::Outcome::data;
        while (outcome == RawPeer::Outcome::data) {
            peer_.readMessage(&outcome);
        }
        return outcome != RawPeer::Outcome::timeout;
    }
    std::optional<WelcomeMessage> join(const HelloMessage& message) {
        send(message);
        return nextOf<WelcomeMessage>();
    }

  private:
    RawPeer peer_;
};

// Polls `condition` every few milliseconds until it holds or the limit passes.
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
