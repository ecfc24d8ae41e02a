#include "sender/server/SenderServer.h"

#include <algorithm>
#include <chrono>
#include <type_traits>

#include "core/KelvoraService.h"
#include "core/Log.h"
#include "core/PeerText.h"
#include "core/TcpByteStream.h"
#include "platform/Uuid.h"

namespace kelvora {

namespace {

std::string_view qualityName(StreamQuality quality) {
    for (const auto& [value, name] : json::EnumStrings<StreamQuality>::values) {
        if (value == quality) {
            return name;
        }
    }
    return "automatic";
}

}  // namespace

std::shared_ptr<SenderServer> SenderServer::create(Engines engines, ServiceAnnouncement announcement,
                                                   StreamInfoMessage streamInfo, uint16_t preferredPort) {
    return create(std::move(engines), std::move(announcement), std::move(streamInfo), preferredPort,
                  Options{});
}

std::shared_ptr<SenderServer> SenderServer::create(Engines engines, ServiceAnnouncement announcement,
                                                   StreamInfoMessage streamInfo, uint16_t preferredPort,
                                                   Options options) {
    return std::shared_ptr<SenderServer>(new SenderServer(std::move(engines), std::move(announcement),
                                                          std::move(streamInfo), preferredPort,
                                                          std::move(options)));
}

SenderServer::SenderServer(Engines engines, ServiceAnnouncement announcement, StreamInfoMessage streamInfo,
                           uint16_t preferredPort, Options options)
    : queue_(options.queue ? std::move(options.queue)
                           : std::make_shared<SerialQueue>(SerialQueue::labelFor("server"))),
      timers_(options.timers ? std::move(options.timers) : TimerSource::system()),
      preferredPort_(preferredPort),
      announce_(options.announce),
      engines_(std::move(engines)),
      announcement_(std::move(announcement)),
      streamInfo_(std::move(streamInfo)) {
    checkEngineList();
}

SenderServer::~SenderServer() {
    // Sockets and timers belong to the queue's thread: they are let go there.
    auto release = [this] {
        housekeeping_.cancel();
        listenerRetry_.cancel();
        if (listener_) {
            listener_->cancel();
        }
        listener_.reset();
        registration_.reset();
        for (auto& [key, entry] : pending_) {
            entry.connection->close(std::nullopt);
        }
        pending_.clear();
        for (auto& [token, session] : sessions_) {
            session->close(std::nullopt);
        }
        sessions_.clear();
    };
    if (queue_->isCurrent()) {
        release();
    } else {
        queue_->sync(release);
    }
}

// ---------------------------------------------------------------------------------------------------------
// State for the pipeline

const std::map<std::string, std::shared_ptr<SenderSession>>& SenderServer::sessions() const {
    queue_->assertCurrent("SenderServer::sessions");
    return sessions_;
}

std::optional<uint16_t> SenderServer::controlPort() const {
    queue_->assertCurrent("SenderServer::controlPort");
    return controlPort_;
}

std::optional<std::string> SenderServer::listenerError() const {
    queue_->assertCurrent("SenderServer::listenerError");
    return listenerError_;
}

bool SenderServer::fixedPortUnavailable() const {
    queue_->assertCurrent("SenderServer::fixedPortUnavailable");
    return fixedPortUnavailable_;
}

bool SenderServer::isRunning() const {
    queue_->assertCurrent("SenderServer::isRunning");
    return isRunning_;
}

const SenderServer::Engines& SenderServer::engines() const {
    queue_->assertCurrent("SenderServer::engines");
    return engines_;
}

const ServiceAnnouncement& SenderServer::announcement() const {
    queue_->assertCurrent("SenderServer::announcement");
    return announcement_;
}

const StreamInfoMessage& SenderServer::streamInfo() const {
    queue_->assertCurrent("SenderServer::streamInfo");
    return streamInfo_;
}

size_t SenderServer::pendingCount() const {
    queue_->assertCurrent("SenderServer::pendingCount");
    return pending_.size();
}

const std::shared_ptr<StreamingEngineContext>& SenderServer::engineContext() {
    queue_->assertCurrent("SenderServer::engineContext");
    if (!engineContext_) {
        std::weak_ptr<SenderServer> weakSelf = weak_from_this();
        engineContext_ = std::make_shared<StreamingEngineContext>(
            queue_, [weakSelf](const std::string& token) -> std::shared_ptr<SenderSession> {
                auto self = weakSelf.lock();
                if (!self) {
                    return nullptr;
                }
                const auto found = self->sessions_.find(token);
                return found == self->sessions_.end() ? nullptr : found->second;
            });
    }
    return engineContext_;
}

// ---------------------------------------------------------------------------------------------------------
// Start, stop, restart

void SenderServer::start() {
    auto self = shared_from_this();
    queue_->async([self] { self->startNow(); });
}

void SenderServer::startNow() {
    if (isRunning_) {
        return;
    }
    isRunning_ = true;
    startEngines();
    startListener();
    startHousekeeping();
}

void SenderServer::stop() {
    // On the server queue (the pipeline's own stop) the stop completes within the caller's task, so that
    // nothing of the server is left to run after its owner has finished stopping.
    if (queue_->isCurrent()) {
        stopNow();
        return;
    }
    auto self = shared_from_this();
    queue_->async([self] { self->stopNow(); });
}

void SenderServer::stopNow() {
    if (!isRunning_) {
        return;
    }
    closeEverything("sender stopped");
    sessionsChanged();
}

void SenderServer::restart(Engines engines, ServiceAnnouncement announcement) {
    queue_->assertCurrent("SenderServer::restart");
    const bool wasRunning = isRunning_;
    if (wasRunning) {
        closeEverything("sender restarting");
    }
    engines_ = std::move(engines);
    announcement_ = std::move(announcement);
    checkEngineList();
    if (wasRunning) {
        isRunning_ = true;
        startEngines();
        startListener();
        startHousekeeping();
    }
    sessionsChanged();
}

void SenderServer::closeEverything(const std::string& reason) {
    isRunning_ = false;
    housekeeping_.cancel();
    listenerRetry_.cancel();
    cancelListener();

    auto sessions = std::move(sessions_);
    sessions_.clear();
    lastActivity_.clear();
    for (auto& [token, session] : sessions) {
        session->close(reason);
    }
    // Connections that never said hello leave without a goodbye.
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& [key, entry] : pending) {
        entry.connection->close(std::nullopt);
    }
    for (const auto& engine : engines_) {
        engine->stop();
    }
}

void SenderServer::startEngines() {
    for (const auto& engine : engines_) {
        if (!engine->isAvailable()) {
            continue;
        }
        try {
            engine->start(engineContext());
        } catch (const std::exception& error) {
            Log::network().error("Engine {} nicht gestartet: {}", engine->kind().rawValue, error.what());
        }
    }
    // Only what viewers can actually use goes on the network: an engine that could not start is not offered.
    std::erase_if(announcement_.engines, [&](const EngineKind& kind) {
        return std::none_of(engines_.begin(), engines_.end(), [&](const auto& engine) {
            return engine->kind() == kind && engine->isAvailable();
        });
    });
}

void SenderServer::checkEngineList() const {
    for (const auto& engine : engines_) {
        if (engine->kind() == EngineKind::tcp()) {
            return;
        }
    }
    Log::network().error("Keine TCP-Engine vorhanden – Zuschauer ohne passende Engine werden abgewiesen");
}

// ---------------------------------------------------------------------------------------------------------
// Listener and announcement

void SenderServer::startListener() {
    const bool fixedPortRequested = !fixedPortUnavailable_ && preferredPort_ != 0;
    const uint16_t port = fixedPortRequested ? preferredPort_ : 0;
    std::shared_ptr<TcpListener> listener;
    try {
        listener = TcpListener::open(queue_, port);
    } catch (const std::system_error& error) {
        if (fixedPortRequested) {
            Log::network().info("Fester Port {} nicht verfügbar – nehme einen freien", port);
            fixedPortUnavailable_ = true;
            startListener();
        } else {
            listenerError_ = error.code().message();
            Log::network().error("Listener konnte nicht erstellt werden: {}", *listenerError_);
            scheduleListenerRetry();
        }
        return;
    }
    std::weak_ptr<SenderServer> weakSelf = weak_from_this();
    std::weak_ptr<TcpListener> weakListener = listener;
    listener->start(
        [weakSelf](asio::ip::tcp::socket socket) {
            if (auto self = weakSelf.lock()) {
                self->accept(std::move(socket));
            }
        },
        [weakSelf, weakListener, fixedPortRequested](std::error_code error) {
            auto self = weakSelf.lock();
            auto failed = weakListener.lock();
            if (self && failed) {
                self->handleListenerFailure(failed, fixedPortRequested, error);
            }
        });
    listener_ = std::move(listener);
    listenerReady();
}

void SenderServer::listenerReady() {
    controlPort_ = listener_->port();
    listenerError_.reset();
    Log::network().info("Sender bereit auf Port {}, Bonjour {}", *controlPort_, KelvoraService::serviceType);
    if (announce_) {
        registration_ = std::make_unique<DnsSdRegistration>(queue_, announcement_.senderName,
                                                            std::string(KelvoraService::serviceType),
                                                            *controlPort_, announcement_.txtRecord());
        registration_->setStatusHandler([](const DnsSdRegistration::Status& status) {
            if (status.state == DnsSdRegistration::State::registered) {
                Log::network().info("Bonjour-Dienst angemeldet: {}", status.name);
            } else if (status.state == DnsSdRegistration::State::failed && status.error) {
                Log::network().error("Bonjour-Anmeldung fehlgeschlagen: {}", status.error->what());
            }
        });
        registration_->start();
    }
    sessionsChanged();
}

void SenderServer::handleListenerFailure(const std::shared_ptr<TcpListener>& listener,
                                         bool fixedPortRequested, std::error_code error) {
    listener->cancel();
    const bool isCurrent = listener_ == listener;
    if (isCurrent) {
        listener_.reset();
        registration_.reset();
    }
    if (fixedPortRequested) {
        Log::network().info("Fester Port belegt ({}) – nehme einen freien", error.message());
        fixedPortUnavailable_ = true;
        if (isRunning_ && !listener_) {
            startListener();
        }
    } else {
        listenerError_ = error.message();
        Log::network().error("Listener fehlgeschlagen: {}", *listenerError_);
        scheduleListenerRetry();
    }
}

void SenderServer::scheduleListenerRetry() {
    std::weak_ptr<SenderServer> weakSelf = weak_from_this();
    listenerRetry_ = timers_->after(queue_, listenerRetryDelay, [weakSelf] {
        auto self = weakSelf.lock();
        if (self && self->isRunning_ && !self->listener_) {
            self->startListener();
        }
    });
}

void SenderServer::cancelListener() {
    if (listener_) {
        listener_->cancel();
        listener_.reset();
    }
    registration_.reset();
}

void SenderServer::updateAnnouncement(ServiceAnnouncement announcement) {
    auto self = shared_from_this();
    queue_->async([self, announcement = std::move(announcement)]() mutable {
        if (announcement == self->announcement_) {
            return;
        }
        const bool sameName = announcement.senderName == self->announcement_.senderName;
        self->announcement_ = std::move(announcement);
        if (!self->listener_) {
            return;
        }
        if (sameName) {
            if (self->registration_) {
                self->registration_->updateTxt(self->announcement_.txtRecord());
            }
        } else {
            // The DNS-SD name belongs to the listener's service: a new name, a new listener.
            self->cancelListener();
            self->startListener();
        }
    });
}

void SenderServer::updateStreamInfo(StreamInfoMessage streamInfo) {
    auto self = shared_from_this();
    queue_->async([self, streamInfo = std::move(streamInfo)]() mutable {
        if (streamInfo == self->streamInfo_) {
            return;
        }
        self->streamInfo_ = std::move(streamInfo);
        const ControlMessage message(self->streamInfo_);
        for (const auto& [token, session] : self->sessions_) {
            session->control->send(message);
        }
    });
}

// ---------------------------------------------------------------------------------------------------------
// Frames, tuning, disconnect

void SenderServer::deliver(const EncodedVideoFrame& frame) {
    queue_->assertCurrent("SenderServer::deliver");
    if (sessions_.empty()) {
        return;
    }
    SharedBytes message;
    try {
        message = std::make_shared<const Bytes>(ControlMessage(frame).encoded());
    } catch (const WireError& error) {
        logOversizedFrame(frame, error);
        return;
    }
    // A session may end the viewer while it delivers; walk a copy of the list.
    std::vector<std::shared_ptr<SenderSession>> receivers;
    receivers.reserve(sessions_.size());
    for (const auto& [token, session] : sessions_) {
        receivers.push_back(session);
    }
    for (const auto& session : receivers) {
        session->deliver(frame, message);
    }
}

void SenderServer::logOversizedFrame(const EncodedVideoFrame& frame, const WireError& error) {
    const auto drops = oversizeLog_.count(timers_->now());
    if (!drops) {
        return;
    }
    Log::network().error(
        "Frame #{} der Stufe {} ({} Bytes) nicht sendbar, für alle verworfen: {} ({} seit der "
        "letzten Meldung)",
        frame.frameNumber, frame.tier, frame.dataByteCount(), error.text(), *drops);
}

void SenderServer::broadcastTuning(const StreamTuning& tuning) {
    queue_->assertCurrent("SenderServer::broadcastTuning");
    const ControlMessage message(tuning);
    for (const auto& [token, session] : sessions_) {
        if (session->hello.supportsTuning == true) {
            session->control->send(message);
        }
    }
}

void SenderServer::disconnect(std::string token) {
    auto self = shared_from_this();
    queue_->async([self, token = std::move(token)] {
        const auto found = self->sessions_.find(token);
        if (found == self->sessions_.end()) {
            return;
        }
        auto session = found->second;
        self->sessions_.erase(found);
        self->lastActivity_.erase(token);
        session->close("disconnected by sender");
        self->sessionsChanged();
    });
}

// ---------------------------------------------------------------------------------------------------------
// Housekeeping

void SenderServer::startHousekeeping() {
    std::weak_ptr<SenderServer> weakSelf = weak_from_this();
    housekeeping_ = timers_->every(queue_, housekeepingInterval, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->runHousekeeping();
        }
    });
}

void SenderServer::runHousekeeping() {
    const uint64_t now = timers_->now();
    std::vector<std::shared_ptr<SenderSession>> silent;
    for (const auto& [token, session] : sessions_) {
        const auto last = lastActivity_.find(token);
        if (last == lastActivity_.end()) {
            continue;
        }
        if (MonotonicClock::milliseconds(last->second, now) > silenceLimitMs) {
            silent.push_back(session);
        }
    }
    for (const auto& session : silent) {
        Log::network().info("Client antwortet nicht mehr: {}", session->hello.clientName);
        sessions_.erase(session->token);
        lastActivity_.erase(session->token);
        session->close("timeout");
        sessionsChanged();
    }
}

void SenderServer::sessionsChanged() {
    if (callbacks.onSessionsChanged) {
        callbacks.onSessionsChanged();
    }
}

// ---------------------------------------------------------------------------------------------------------
// Handshake

void SenderServer::accept(asio::ip::tcp::socket socket) {
    std::shared_ptr<FramedConnection> connection;
    try {
        connection = FramedConnection::create(TcpByteStream::adopt(queue_, std::move(socket)), queue_);
    } catch (const std::system_error& error) {
        Log::network().warn("Verbindung nicht übernommen: {}", error.code().message());
        return;
    }
    const auto remote = connection->remoteEndpoint();
    std::string address = remote ? endpointHost(*remote).value_or(std::string()) : std::string();
    if (const auto reason = refusalReason(address)) {
        logRefusal(address, *reason);
        // Not started: nothing is read from it, and it is closed without a word.
        connection->close(std::nullopt);
        return;
    }
    connection->setMaximumIncomingPayload(maximumViewerMessageLength);
    FramedConnection* key = connection.get();
    std::weak_ptr<SenderServer> weakSelf = weak_from_this();
    connection->setEventHandler([weakSelf, key](FramedConnection::Event event) {
        if (auto self = weakSelf.lock()) {
            self->handleFirstMessage(key, std::move(event));
        }
    });
    Pending entry;
    entry.connection = connection;
    entry.address = std::move(address);
    // The timer holds the connection until it fires, so that a silent one can still be told why it goes.
    entry.helloTimer = timers_->after(queue_, helloTimeout, [weakSelf, key, connection] {
        auto self = weakSelf.lock();
        if (!self) {
            return;
        }
        const auto found = self->pending_.find(key);
        if (found == self->pending_.end() || found->second.connection != connection) {
            return;
        }
        auto timedOut = std::move(found->second);
        self->pending_.erase(found);
        timedOut.connection->close("hello timeout");
    });
    pending_.emplace(key, std::move(entry));
    connection->start();
}

std::optional<std::string_view> SenderServer::refusalReason(const std::string& address) const {
    if (pending_.size() >= maximumPendingConnections) {
        return "zu viele Verbindungen ohne Hello";
    }
    std::size_t pendingFromAddress = 0;
    for (const auto& [key, entry] : pending_) {
        pendingFromAddress += entry.address == address ? 1 : 0;
    }
    if (pendingFromAddress >= maximumPendingPerAddress) {
        return "zu viele Verbindungen ohne Hello von dieser Adresse";
    }
    std::size_t fromAddress = pendingFromAddress;
    for (const auto& [token, session] : sessions_) {
        const auto remote = session->control->remoteEndpoint();
        fromAddress += remote && endpointHost(*remote) == address ? 1 : 0;
    }
    if (fromAddress >= maximumConnectionsPerAddress) {
        return "zu viele Verbindungen von dieser Adresse";
    }
    return std::nullopt;
}

void SenderServer::logRefusal(const std::string& address, std::string_view reason) {
    if (const auto refusals = refusalLog_.count(timers_->now())) {
        Log::network().warn("Verbindung von {} abgewiesen: {} ({} abgewiesen seit der letzten Meldung)",
                            address, reason, *refusals);
    }
}

void SenderServer::handleFirstMessage(FramedConnection* key, FramedConnection::Event event) {
    const auto found = pending_.find(key);
    if (found == pending_.end()) {
        return;
    }
    if (std::holds_alternative<FramedConnection::Closed>(event)) {
        pending_.erase(found);
        return;
    }
    auto* message = std::get_if<FramedConnection::Message>(&event);
    if (!message) {
        return;
    }
    std::shared_ptr<FramedConnection> connection = found->second.connection;
    if (const auto* hello = message->message.get<HelloMessage>()) {
        pending_.erase(found);
        handleHello(connection, *hello);
        return;
    }
    Log::network().error("Erwartete Hello-Nachricht, erhielt {}", typeCodeName(message->message.typeCode()));
    connection->close("expected hello");
}

std::shared_ptr<StreamingEngine> SenderServer::chooseEngine(const EngineKind& wanted) const {
    for (const auto& engine : engines_) {
        if (engine->kind() == wanted && engine->isAvailable()) {
            return engine;
        }
    }
    // The default transport serves everyone else; it needs nothing of its own, so it is not asked.
    for (const auto& engine : engines_) {
        if (engine->kind() == EngineKind::tcp()) {
            return engine;
        }
    }
    return nullptr;
}

void SenderServer::handleHello(const std::shared_ptr<FramedConnection>& connection,
                               const HelloMessage& received) {
    // What the viewer calls itself is logged and shown; from here on only the cleaned texts are used.
    HelloMessage hello = received;
    hello.clientName = peerText(received.clientName);
    hello.deviceModel = peerText(received.deviceModel);
    if (hello.protocolVersion < HelloMessage::minimumProtocolVersion ||
        hello.protocolVersion > HelloMessage::currentProtocolVersion) {
        Log::network().error("Client {} mit Protokoll {} abgelehnt", hello.clientName, hello.protocolVersion);
        connection->close("protocol version mismatch");
        return;
    }

    // A viewer that reconnects replaces its older session; onSessionsChanged below covers it.
    std::vector<std::shared_ptr<SenderSession>> replaced;
    for (const auto& [token, session] : sessions_) {
        if (session->hello.clientID == hello.clientID) {
            replaced.push_back(session);
        }
    }
    for (const auto& session : replaced) {
        sessions_.erase(session->token);
        lastActivity_.erase(session->token);
        session->close("replaced");
    }

    const std::shared_ptr<StreamingEngine> engine = chooseEngine(hello.engine);
    if (!engine) {
        Log::network().error("Client {} abgewiesen: keine Engine für {}", hello.clientName,
                             peerText(hello.engine.rawValue));
        connection->close(std::string(noEngineReason));
        if (!replaced.empty()) {
            sessionsChanged();
        }
        return;
    }

    const uint64_t now = timers_->now();
    auto session = std::make_shared<SenderSession>(
        newUuid(), hello, connection, engine->kind(), callbacks.rateLimits(),
        callbacks.viewersStartOnProxy() && hello.protocolVersion >= 3,
        [timers = timers_] { return timers->now(); }, std::chrono::system_clock::now());
    std::weak_ptr<SenderServer> weakSelf = weak_from_this();
    session->keyframeRequester = [weakSelf](uint8_t tier, KeyframeRequestMessage::Reason reason,
                                            std::optional<FrameNumberRange> range) {
        auto self = weakSelf.lock();
        if (self && self->callbacks.onKeyframeRequest) {
            self->callbacks.onKeyframeRequest(tier, reason, range);
        }
    };
    sessions_[session->token] = session;
    lastActivity_[session->token] = now;

    std::weak_ptr<SenderSession> weakSession = session;
    connection->setEventHandler([weakSelf, weakSession](FramedConnection::Event event) {
        auto self = weakSelf.lock();
        auto current = weakSession.lock();
        if (self && current) {
            self->handleControlMessage(current, std::move(event));
        }
    });

    WelcomeMessage welcome;
    welcome.senderName = announcement_.senderName;
    welcome.protocolVersion = HelloMessage::currentProtocolVersion;
    welcome.sessionToken = session->token;
    welcome.engine = engine->kind();
    welcome.engineParameters = engine->engineParameters(*session);
    welcome.stream = streamInfo_;
    welcome.senderID = announcement_.senderID;
    welcome.supportsTuning = true;
    connection->send(welcome);

    if (hello.supportsTuning == true) {
        if (auto tuning = callbacks.currentTuning()) {
            connection->send(*tuning);
        }
    }

    engine->attach(session);
    Log::network().info("Client verbunden: {} ({}), Engine {}", hello.clientName, hello.deviceModel,
                        engine->kind().description());
    sessionsChanged();
}

// ---------------------------------------------------------------------------------------------------------
// Established viewers

void SenderServer::handleControlMessage(const std::shared_ptr<SenderSession>& session,
                                        FramedConnection::Event event) {
    const auto current = sessions_.find(session->token);
    if (current == sessions_.end() || current->second != session) {
        // Already ended by the server (replaced, timed out, disconnected); its closing is no news.
        return;
    }
    if (auto* closed = std::get_if<FramedConnection::Closed>(&event)) {
        if (closed->error) {
            Log::network().info("Client getrennt: {} ({})", session->hello.clientName,
                                describe(*closed->error));
        } else {
            Log::network().info("Client getrennt: {}", session->hello.clientName);
        }
        removeSession(session, std::nullopt);
        return;
    }
    if (auto* message = std::get_if<FramedConnection::Message>(&event)) {
        const uint64_t arrival = timers_->now();
        lastActivity_[session->token] = arrival;
        dispatch(session, message->message, arrival);
    }
}

void SenderServer::dispatch(const std::shared_ptr<SenderSession>& session, const ControlMessage& message,
                            uint64_t arrival) {
    const std::string& name = session->hello.clientName;
    std::visit(
        [&](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, KeyframeRequestMessage>) {
                session->requestKeyframe(value.reason, value.tier);
            } else if constexpr (std::is_same_v<T, ReceiverReportMessage>) {
                session->recordReport(value);
                if (callbacks.onReport) {
                    callbacks.onReport(*session, value);
                }
            } else if constexpr (std::is_same_v<T, TierReadyMessage>) {
                session->handleTierReady(value.tier, value.provisional.value_or(false));
                sessionsChanged();
            } else if constexpr (std::is_same_v<T, ReferenceAckMessage>) {
                if (session->handleReferenceAck(value) && callbacks.onReferenceAck) {
                    callbacks.onReferenceAck(*session, value);
                }
            } else if constexpr (std::is_same_v<T, StandbyBridgeMessage>) {
                session->handleStandbyBridge(value.active, value.tier);
                sessionsChanged();
            } else if constexpr (std::is_same_v<T, FrameRateLimitMessage>) {
                session->handleFrameRateLimit(value.maxFps);
                sessionsChanged();
            } else if constexpr (std::is_same_v<T, QualityPreferenceMessage>) {
                session->qualityPreference = value.quality;
                Log::bitrate().info("{} wünscht Qualität {}", name, qualityName(value.quality));
                sessionsChanged();
            } else if constexpr (std::is_same_v<T, StreamTuningUpdate>) {
                if (callbacks.onTuningUpdate) {
                    callbacks.onTuningUpdate(*session, static_cast<const StreamTuning&>(value));
                }
            } else if constexpr (std::is_same_v<T, TimeSyncRequest>) {
                TimeSyncResponse response;
                response.clientSendTime = value.clientSendTime;
                response.serverReceiveTime = arrival;
                response.serverSendTime = timers_->now();
                session->control->send(response);
            } else if constexpr (std::is_same_v<T, EngineSignalMessage>) {
                for (const auto& engine : engines_) {
                    if (engine->kind() == value.engine) {
                        engine->handleSignal(value, session);
                        break;
                    }
                }
            } else if constexpr (std::is_same_v<T, GoodbyeMessage>) {
                Log::network().info("{} verabschiedet sich: {}", name, peerText(value.reason));
                removeSession(session, std::nullopt);
            } else if constexpr (std::is_same_v<T, RestartSourceMessage>) {
                Log::capture().info("{} bittet, die Quelle neu zu verbinden", name);
                if (callbacks.onRestartSource) {
                    callbacks.onRestartSource();
                }
            }
            // hello, welcome, streamInfo, videoFrame, preferTier, streamTuning, timeSyncResponse and
            // mediaAttach are never expected from a viewer and are ignored.
        },
        message.value);
}

void SenderServer::removeSession(const std::shared_ptr<SenderSession>& session,
                                 std::optional<std::string> reason) {
    const auto found = sessions_.find(session->token);
    if (found == sessions_.end() || found->second != session) {
        return;
    }
    sessions_.erase(found);
    lastActivity_.erase(session->token);
    session->close(std::move(reason));
    sessionsChanged();
}

}  // namespace kelvora
