#pragma once

#include <asio/ip/address.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/QuicEndpoint.h"
#include "platform/SerialQueue.h"
#include "sender/server/QUICIdentityStore.h"
#include "sender/server/StreamingEngine.h"

namespace kelvora {

class FramedConnection;
class QUICMediaSink;

// The sender's media transport over QUIC. It listens on a UDP port the system chooses, with the sender's
// own identity; each viewer that chose it learns port and certificate fingerprint from its welcome,
// connects, opens one stream and sends a media attach with its session token. The engine then binds that
// connection to the session as a QUICMediaSink, which sends every frame on a stream of its own.
//
// An identity that cannot be loaded or made leaves the engine unavailable (viewers get TCP), and nothing is
// announced until the listener runs with an identity that has proved it can sign a handshake.
//
// Everything runs on the server queue of the context.
class NativeQUICEngine final : public StreamingEngine, public std::enable_shared_from_this<NativeQUICEngine> {
  public:
    // A viewer's stream that has not attached by then is closed.
    static constexpr std::chrono::seconds attachDeadline{5};

    explicit NativeQUICEngine(QUICIdentityStore store = QUICIdentityStore(),
                              asio::ip::address listenAddress = asio::ip::address_v4::any(),
                              SerialQueue::Duration attachWait = attachDeadline);
    ~NativeQUICEngine() override;

    EngineKind kind() const override { return EngineKind::quic(); }
    bool isAvailable() const override { return available_; }
    std::string statusDetail() const override { return statusDetail_; }
    void start(const std::shared_ptr<StreamingEngineContext>& context) override;
    void stop() override;
    std::map<std::string, std::string> engineParameters(const SenderSession& session) override;
    // The sink arrives with the viewer's attach stream.
    void attach(const std::shared_ptr<SenderSession>&) override {}
    void handleSignal(const EngineSignalMessage&, const std::shared_ptr<SenderSession>&) override {}

  private:
    struct PendingStream {
        std::shared_ptr<FramedConnection> connection;
        std::weak_ptr<QuicConnection> owner;
        Timer deadline;
    };

    void accept(const std::shared_ptr<QuicConnection>& connection);
    void acceptStream(const std::shared_ptr<QuicConnection>& connection, std::shared_ptr<QuicStream> stream);
    void bind(const FramedConnection* key, const std::string& token);

    QUICIdentityStore store_;
    asio::ip::address listenAddress_;
    SerialQueue::Duration attachWait_;
    bool available_ = true;
    std::string statusDetail_ = "nicht gestartet";
    std::shared_ptr<QuicListener> listener_;
    std::optional<QUICIdentityStore::Identity> identity_;
    std::shared_ptr<StreamingEngineContext> context_;
    std::map<const FramedConnection*, PendingStream> pendingStreams_;
    std::map<const QuicConnection*, std::shared_ptr<QuicConnection>> connections_;
};

}  // namespace kelvora
