#include "sender/server/NativeQUICEngine.h"

#include "core/FramedConnection.h"
#include "core/Log.h"
#include "core/QUICConfiguration.h"
#include "core/QuicByteStream.h"
#include "sender/server/QUICMediaSink.h"
#include "sender/server/SenderSession.h"
#include "sender/server/StreamingEngineContext.h"

namespace kelvora {

NativeQUICEngine::NativeQUICEngine(QUICIdentityStore store, asio::ip::address listenAddress,
                                   std::shared_ptr<TimerSource> timers, ListenerFactory listen)
    : store_(std::move(store)),
      listenAddress_(listenAddress),
      givenTimers_(std::move(timers)),
      listen_(std::move(listen)) {
    if (!listen_) {
        listen_ = [](asio::io_context& context, QuicServerParameters parameters,
                     const asio::ip::address& address) {
            return QuicListener::listen(context, std::move(parameters), address);
        };
    }
}

NativeQUICEngine::~NativeQUICEngine() {
    if (listener_) {
        listener_->stop();
    }
}

void NativeQUICEngine::start(const std::shared_ptr<StreamingEngineContext>& context) {
    if (!isAvailable()) {
        return;
    }
    context_ = context;
    timers_ = givenTimers_ ? givenTimers_ : TimerSource::system();
    timerQueue_ = context->sharedQueue();
    try {
        identity_ = store_.loadOrCreate();
    } catch (const std::exception& error) {
        // Without an identity no viewer could ever complete a handshake: the engine leaves the offer,
        // and viewers asking for it get TCP.
        available_ = false;
        statusDetail_ = error.what();
        throw;
    }
    try {
        openListener();
    } catch (const std::exception& error) {
        // Without a listener a viewer's attach could never arrive: leave the offer rather than announce it,
        // until the next start tries again.
        listenerUnopened_ = true;
        statusDetail_ = error.what();
        throw;
    }
}

void NativeQUICEngine::openListener() {
    auto listener = listen_(context_->queue().context(),
                            QUICConfiguration::serverParameters(identity_->identity), listenAddress_);
    std::weak_ptr<NativeQUICEngine> weak = weak_from_this();
    listener->setConnectionHandler([weak](std::shared_ptr<QuicConnection> connection) {
        if (auto self = weak.lock()) {
            self->accept(connection);
        } else {
            connection->close(0);
        }
    });
    const QuicListener* key = listener.get();
    listener->setFailureHandler([weak, key](const QuicError& error) {
        if (auto self = weak.lock()) {
            self->listenerFailed(key, error);
        }
    });
    listener_ = std::move(listener);
    listenerFailed_ = false;
    statusDetail_ = "UDP-Port " + std::to_string(listener_->port());
    Log::network().info("QUIC-Listener bereit auf Port {}", listener_->port());
}

void NativeQUICEngine::listenerFailed(const QuicListener* failed, const QuicError& error) {
    if (listener_.get() != failed || listenerFailed_) {
        return;
    }
    listenerFailed_ = true;
    statusDetail_ = "Fehler: " + error.text();
    Log::network().error("QUIC-Listener fehlgeschlagen: {}", error.text());
    listener_->stop();
    std::weak_ptr<NativeQUICEngine> weak = weak_from_this();
    restart_ = timers_->after(timerQueue_, listenerRestartDelay, [weak, failed] {
        auto self = weak.lock();
        if (!self || self->listener_.get() != failed || !self->context_) {
            return;
        }
        self->listener_.reset();
        try {
            self->start(self->context_);
        } catch (const std::exception& restartError) {
            // Reported in the status; the next start of the engine tries again.
            Log::network().error("QUIC-Listener nicht wieder geöffnet: {}", restartError.what());
        }
    });
}

void NativeQUICEngine::stop() {
    restart_.cancel();
    listenerUnopened_ = false;
    listenerFailed_ = false;
    if (listener_) {
        listener_->stop();
        listener_.reset();
    }
    auto connections = std::move(connections_);
    connections_.clear();
    for (auto& [key, pending] : connections) {
        pending.connection->close(0);
    }
    auto pending = std::move(pendingStreams_);
    pendingStreams_.clear();
    for (auto& [key, stream] : pending) {
        stream.connection->close(std::nullopt);
    }
}

std::map<std::string, std::string> NativeQUICEngine::engineParameters(const SenderSession&) {
    if (!listener_ || listenerFailed_ || !identity_) {
        return {};
    }
    return {{std::string(QUICConfiguration::ParameterKey::quicPort), std::to_string(listener_->port())},
            {std::string(QUICConfiguration::ParameterKey::quicFingerprint), identity_->fingerprint}};
}

void NativeQUICEngine::accept(const std::shared_ptr<QuicConnection>& connection) {
    if (!context_) {
        connection->close(0);
        return;
    }
    std::weak_ptr<NativeQUICEngine> weak = weak_from_this();
    std::weak_ptr<QuicConnection> weakConnection = connection;
    const QuicConnection* key = connection.get();
    // Whether it opened a stream or not, a connection that has not attached by then is nobody's.
    auto deadline = timers_->after(timerQueue_, attachDeadline, [weak, key] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        auto found = self->connections_.find(key);
        if (found != self->connections_.end()) {
            auto silent = std::move(found->second.connection);
            self->connections_.erase(found);
            silent->close(0);
        }
    });
    connections_[key] = PendingConnection{connection, std::move(deadline)};
    connection->setHandlers({{},
                             [weak, weakConnection](std::shared_ptr<QuicStream> stream) {
                                 auto self = weak.lock();
                                 auto owner = weakConnection.lock();
                                 if (self && owner) {
                                     self->acceptStream(owner, std::move(stream));
                                 } else {
                                     stream->cancel(0);
                                 }
                             },
                             [weak, key](const std::optional<QuicError>&) {
                                 if (auto self = weak.lock()) {
                                     self->connections_.erase(key);
                                 }
                             }});
}

void NativeQUICEngine::acceptStream(const std::shared_ptr<QuicConnection>& connection,
                                    std::shared_ptr<QuicStream> stream) {
    auto remote = connection->remoteEndpoint();
    auto byteStream = std::make_shared<QuicByteStream>(
        std::move(stream), NetworkEndpoint::hostPort(remote.address().to_string(), remote.port()),
        context_->sharedQueue());
    auto framed = FramedConnection::create(byteStream, context_->sharedQueue());
    framed->setMaximumIncomingPayload(maximumViewerMessageLength);
    const FramedConnection* key = framed.get();
    std::weak_ptr<NativeQUICEngine> weak = weak_from_this();
    framed->setEventHandler([weak, key](FramedConnection::Event event) {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        if (const auto* message = std::get_if<FramedConnection::Message>(&event)) {
            if (const auto* attach = message->message.get<MediaAttachMessage>()) {
                self->bind(key, attach->sessionToken);
            }
        } else if (std::holds_alternative<FramedConnection::Closed>(event)) {
            self->pendingStreams_.erase(key);
        }
    });
    // A stream that never attaches must not hold on for ever.
    auto deadline = timers_->after(timerQueue_, attachDeadline, [weak, key] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        auto found = self->pendingStreams_.find(key);
        if (found != self->pendingStreams_.end()) {
            auto silent = std::move(found->second.connection);
            self->pendingStreams_.erase(found);
            silent->close(std::nullopt);
        }
    });
    pendingStreams_[key] = PendingStream{framed, connection, std::move(deadline)};
    framed->start();
}

void NativeQUICEngine::bind(const FramedConnection* key, const std::string& token) {
    auto found = pendingStreams_.find(key);
    if (found == pendingStreams_.end()) {
        return;
    }
    auto attachStream = std::move(found->second.connection);
    auto connection = found->second.owner.lock();
    pendingStreams_.erase(found);

    auto session = context_ ? context_->session(token) : nullptr;
    if (!connection || connection->isClosed() || !connections_.count(connection.get()) || !session) {
        Log::network().error("QUIC: unbekanntes Session-Token");
        attachStream->close("unknown session");
        return;
    }
    connections_.erase(connection.get());
    std::weak_ptr<FramedConnection> weakAttach = attachStream;
    auto sink = QUICMediaSink::make(connection, [attachStream] { attachStream->close(std::nullopt); });
    std::weak_ptr<QUICMediaSink> weakSink = sink;
    attachStream->setEventHandler([weakSink](FramedConnection::Event event) {
        if (std::holds_alternative<FramedConnection::Closed>(event)) {
            if (auto sink = weakSink.lock()) {
                sink->attachStreamClosed();
            }
        }
    });
    std::weak_ptr<SenderSession> weakSession = session;
    sink->setRotationHandler([weakSession] {
        Log::network().info("QUIC: Verbindung wird rotiert (Stream-Kontingent)");
        if (auto session = weakSession.lock()) {
            session->control->send(
                EngineSignalMessage{EngineKind::quic(), std::string(QUICConfiguration::rotateSignal), ""});
        }
    });
    if (dynamic_cast<QUICMediaSink*>(session->sink.get()) != nullptr) {
        session->prepareMediaChannelSwitch(sink);
    } else {
        session->attachMediaSink(sink);
    }
}

}  // namespace kelvora
