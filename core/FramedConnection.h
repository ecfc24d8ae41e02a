#pragma once

#include "core/ByteStream.h"
#include "core/ControlMessage.h"
#include "core/NetworkEndpoint.h"
#include "core/WireError.h"
#include "core/WireFaultLog.h"
#include "platform/SerialQueue.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <variant>

namespace kelvora {

// Why a connection ended or a send failed: a network error, or a wire-format error in what the peer sent.
using ConnectionError = std::variant<std::error_code, WireError>;
// Text for logs.
std::string describe(const ConnectionError& error);

// A control channel of whole ControlMessages over one ByteStream (a TCP connection, or one QUIC stream).
// It reports three events to its owner's handler: ready once, every message received, and closed once. It
// sends messages, or frame bytes encoded once for many viewers, and keeps an exact count of what the
// network has not yet taken, which the TCP media sink reads as congestion.
//
// Threads: everything runs on `queue`, the owner's queue: events are delivered there, and send, sendEncoded
// and the counters must be called there (a call from elsewhere stops the process). close() is the one entry
// for any thread. Closures handed to the stream hold the connection weakly.
class FramedConnection : public std::enable_shared_from_this<FramedConnection> {
  public:
    struct Message {
        ControlMessage message;
    };
    struct Closed {
        std::optional<ConnectionError> error;
    };
    struct Ready {};
    using Event = std::variant<Message, Closed, Ready>;
    using EventHandler = std::function<void(Event)>;
    using SendCompletion = std::function<void(std::optional<ConnectionError>)>;

    // A close with a goodbye waits this long for the goodbye to leave; a peer that has stopped reading
    // is then cut off hard.
    static constexpr auto goodbyeGrace = std::chrono::milliseconds(1500);

    static std::shared_ptr<FramedConnection> create(std::shared_ptr<ByteStream> stream,
                                                    std::shared_ptr<SerialQueue> queue);
    ~FramedConnection();
    FramedConnection(const FramedConnection&) = delete;
    FramedConnection& operator=(const FramedConnection&) = delete;

    // Set by the owner before start(), or later on the queue. Cleared when the connection has closed.
    void setEventHandler(EventHandler handler);
    // Starts the stream; events follow on the queue.
    void start();

    // The largest payload accepted from the peer; a header announcing more ends the connection like any
    // bad header. The protocol's own limit unless set lower (before start()) by an owner that knows its
    // peer never legitimately sends large messages; records other than video frames are held to
    // ControlMessage::maximumRecordPayloadLength in any case.
    void setMaximumIncomingPayload(uint32_t length) { maximumIncomingPayload_ = length; }

    // Where unreadable messages and bad headers from the peer are logged (the sending side's unless set,
    // before start(), by an owner on the receiving side).
    void setFaultLog(std::shared_ptr<WireFaultLog> log) { faultLog_ = std::move(log); }

    // Encodes and sends one message. On a closed connection nothing is sent and `completion` gets
    // ENOTCONN; a message that cannot be encoded gives its WireError. `completion` is always called.
    void send(const ControlMessage& message, bool isFinal = false, SendCompletion completion = nullptr);
    // Sends one frame already encoded, the same bytes for many connections. Counted in pendingBytes (and
    // in pendingFrames when `isVideoFrame`) until the network has taken them.
    void sendEncoded(std::shared_ptr<const Bytes> frame, bool isVideoFrame, bool isFinal,
                     SendCompletion completion = nullptr);

    // Bytes of sendEncoded/send calls whose bytes the network has not yet taken, and the video frames
    // among them. A goodbye from close() is not counted.
    int64_t pendingBytes() const;
    int pendingFrames() const;

    // Ends the connection; callable from any thread, takes effect on the queue. With a reason, one goodbye
    // carrying it is sent after everything already queued, then the stream ends; a peer that does not take
    // it within goodbyeGrace is cut off. The owner sees `closed` with no error at once. A second call does
    // nothing.
    void close(std::optional<std::string> reason);

    bool isClosed() const { return isClosed_; }
    std::optional<NetworkEndpoint> remoteEndpoint() const { return stream_->remoteEndpoint(); }
    SerialQueue& queue() const { return *queue_; }

  private:
    FramedConnection(std::shared_ptr<ByteStream> stream, std::shared_ptr<SerialQueue> queue);

    void handleState(ByteStream::State state, std::error_code error);
    void receiveHeader();
    void receivePayload(ControlMessage::TypeCode type, uint32_t length);
    void deliver(ControlMessage::TypeCode type, ByteView payload);
    void closeNow(std::optional<std::string> reason);
    void finish(std::optional<ConnectionError> error);
    void failWith(std::optional<ConnectionError> error);

    std::shared_ptr<ByteStream> stream_;
    std::shared_ptr<SerialQueue> queue_;
    EventHandler eventHandler_;
    bool isClosed_ = false;
    bool didReportReady_ = false;
    int64_t pendingBytes_ = 0;
    int pendingFrames_ = 0;
    uint32_t maximumIncomingPayload_ = ControlMessage::maximumPayloadLength;
    std::shared_ptr<WireFaultLog> faultLog_ = WireFaultLog::sender();
};

}  // namespace kelvora
