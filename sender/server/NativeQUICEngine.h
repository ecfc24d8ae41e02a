#pragma once

#include <asio/ip/address.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "core/TimerSource.h"
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
// announced until the listener runs with an identity that has proved it can sign a handshake. A listener
// that cannot open leaves the offer until the engine is stopped; the next start tries again. One that fails
// while running is opened again two seconds later.
//
// A connection that has not attached to a session within the attach deadline is closed, whether it opened
// a stream or not: until then it is anyone's, and the listener holds only so many.
//
// Everything runs on the server queue of the context.
class NativeQUICEngine final : public StreamingEngine, public std::enable_shared_from_this<NativeQUICEngine> {
  public:
    // A viewer's connection, or stream, that has not attached by then is closed.
    static constexpr std::chrono::seconds attachDeadline{5};
    // A listener that failed while running is opened again after this pause.
    static constexpr std::chrono::seconds listenerRestartDelay{2};

    using ListenerFactory = std::function<std::shared_ptr<QuicListener>(
        asio::io_context& context, QuicServerParameters parameters, const asio::ip::address& address)>;

    // `timers` default to those of the context's queue; `listen` to QuicListener::listen.
    explicit NativeQUICEngine(QUICIdentityStore store = QUICIdentityStore(),
                              asio::ip::address listenAddress = asio::ip::address_v4::any(),
                              std::shared_ptr<TimerSource> timers = nullptr,
                              ListenerFactory listen = nullptr);
    ~NativeQUICEngine() override;

    EngineKind kind() const override { return EngineKind::quic(); }
    bool isAvailable() const override { return available_ && !listenerUnopened_; }
    std::string statusDetail() const override { return statusDetail_; }
    void start(const std::shared_ptr<StreamingEngineContext>& context) override;
    void stop() override;
    std::map<std::string, std::string> engineParameters(const SenderSession& session) override;
    // The sink arrives with the viewer's attach stream.
    void attach(const std::shared_ptr<SenderSession>&) override {}
    void handleSignal(const EngineSignalMessage&, const std::shared_ptr<SenderSession>&) override {}

    // Viewer connections not yet bound to a session, for the status display and tests.
    std::size_t unattachedConnections() const { return connections_.size(); }

  private:
    struct PendingStream {
        std::shared_ptr<FramedConnection> connection;
        std::weak_ptr<QuicConnection> owner;
        TimerSource::Handle deadline;
    };
    struct PendingConnection {
        std::shared_ptr<QuicConnection> connection;
        TimerSource::Handle deadline;
    };

    void openListener();
    void listenerFailed(const QuicListener* failed, const QuicError& error);
    void accept(const std::shared_ptr<QuicConnection>& connection);
    void acceptStream(const std::shared_ptr<QuicConnection>& connection, std::shared_ptr<QuicStream> stream);
    void bind(const FramedConnection* key, const std::string& token);

    QUICIdentityStore store_;
    asio::ip::address listenAddress_;
    std::shared_ptr<TimerSource> givenTimers_;
    std::shared_ptr<TimerSource> timers_;
    std::shared_ptr<SerialQueue> timerQueue_;  // the engine context's, where its timers fire
    ListenerFactory listen_;
    bool available_ = true;
    // The listener could not open at the last start; the engine leaves the offer until it is stopped.
    bool listenerUnopened_ = false;
    // The listener broke while running; it stays in `listener_` until its restart.
    bool listenerFailed_ = false;
    std::string statusDetail_ = "nicht gestartet";
    std::shared_ptr<QuicListener> listener_;
    TimerSource::Handle restart_;
    std::optional<QUICIdentityStore::Identity> identity_;
    std::shared_ptr<StreamingEngineContext> context_;
    std::map<const FramedConnection*, PendingStream> pendingStreams_;
    // Connections not yet bound to a session.
    std::map<const QuicConnection*, PendingConnection> connections_;
};

}  // namespace kelvora
