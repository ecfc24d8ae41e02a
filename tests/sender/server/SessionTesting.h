#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/ByteStream.h"
#include "core/ControlMessage.h"
#include "core/FramedConnection.h"
#include "platform/SerialQueue.h"

namespace kelvora::testing {

// A viewer's end of the control connection as a session test needs it: whatever is sent is kept, every send
// completes at once, nothing ever arrives.
class RecordingByteStream final : public ByteStream {
  public:
    void start(StateHandler) override {}
    void receive(std::size_t, ReceiveHandler) override {}
    void send(std::shared_ptr<const Bytes> data, bool, SendHandler handler) override {
        sent.insert(sent.end(), data->begin(), data->end());
        handler({});
    }
    void cancel() override {}
    void forceCancel() override {}
    std::optional<NetworkEndpoint> remoteEndpoint() const override {
        return NetworkEndpoint::hostPort("fe80::1%eth0", 49152);
    }

    Bytes sent;
};

struct ControlConnection {
    std::shared_ptr<SerialQueue> queue;
    std::shared_ptr<RecordingByteStream> stream;
    std::shared_ptr<FramedConnection> connection;
};

inline ControlConnection makeControlConnection(std::shared_ptr<SerialQueue> queue) {
    auto stream = std::make_shared<RecordingByteStream>();
    auto connection = FramedConnection::create(stream, queue);
    return ControlConnection{std::move(queue), std::move(stream), std::move(connection)};
}

// Every message sent on the connection so far, read on its queue (after anything already queued there, such
// as a close).
inline std::vector<ControlMessage> sentControlMessages(const ControlConnection& control) {
    const Bytes sent = control.queue->sync([&] { return control.stream->sent; });
    ControlMessageParser parser;
    return parser.append(sent).messages;
}

inline std::optional<std::string> goodbyeReason(const ControlConnection& control) {
    for (const ControlMessage& message : sentControlMessages(control)) {
        if (const auto* goodbye = message.get<GoodbyeMessage>()) {
            return goodbye->reason;
        }
    }
    return std::nullopt;
}

}  // namespace kelvora::testing
