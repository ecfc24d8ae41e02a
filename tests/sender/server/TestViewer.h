#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "LoopbackClient.h"
#include "core/ByteReader.h"
#include "core/ControlMessage.h"

namespace kelvora::testing {

// A viewer for the server tests: speaks the control protocol over loopback with blocking reads that give up
// after a generous limit.
class TestViewer {
  public:
    explicit TestViewer(uint16_t port, int receiveBuffer = 0) : client_(port, receiveBuffer) {}

    static HelloMessage hello(std::string clientID, int protocolVersion = 4,
                              std::optional<bool> supportsTuning = true,
                              EngineKind engine = EngineKind::tcp()) {
        HelloMessage message;
        message.clientID = std::move(clientID);
        message.clientName = "Viewer " + message.clientID;
        message.protocolVersion = protocolVersion;
        message.engine = std::move(engine);
        message.supportedCodecs = {VideoCodec::h264};
        message.deviceModel = "TestPhone";
        message.supportsTuning = supportsTuning;
        return message;
    }

    void send(const ControlMessage& message) { client_.write(message.encoded()); }
    void sendRaw(ByteView bytes) { client_.write(bytes); }

    // The next whole message; nothing when the connection ended or the limit passed.
    std::optional<ControlMessage> next(std::chrono::milliseconds limit = std::chrono::seconds(15)) {
        auto header = client_.read(ControlMessage::headerLength, limit);
        if (!header) {
            return std::nullopt;
        }
        const auto parsed = ControlMessage::parseHeader(*header);
        Bytes payload;
        if (parsed.length > 0) {
            auto body = client_.read(parsed.length, limit);
            if (!body) {
                return std::nullopt;
            }
            payload = std::move(*body);
        }
        return ControlMessage::decode(parsed.type, payload);
    }

    // The next message of type T, skipping others (video frames, stream info).
    template <typename T>
    std::optional<T> nextOf(std::chrono::milliseconds limit = std::chrono::seconds(15)) {
        while (auto message = next(limit)) {
            if (const T* value = message->get<T>()) {
                return *value;
            }
        }
        return std::nullopt;
    }

    // The reason of the goodbye that ends the connection (skipping whatever comes before it), or nothing when
    // the connection ended without one.
    std::optional<std::string> goodbyeReason() {
        auto goodbye = nextOf<GoodbyeMessage>();
        if (!goodbye) {
            return std::nullopt;
        }
        return goodbye->reason;
    }

    // Whether the server ended the connection (after whatever it still sent).
    bool closedByServer() { return client_.waitForClose(); }

    // Hello, and the welcome that answers it.
    std::optional<WelcomeMessage> join(const HelloMessage& message) {
        send(message);
        return nextOf<WelcomeMessage>();
    }

    LoopbackClient& socket() { return client_; }

  private:
    LoopbackClient client_;
};

}  // namespace kelvora::testing
