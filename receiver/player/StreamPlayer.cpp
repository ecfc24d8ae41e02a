#include "receiver/player/StreamPlayer.h"

#include <algorithm>
#include <cmath>

#include "core/KelvoraService.h"
#include "core/Log.h"
#include "core/MonotonicClock.h"
#include "receiver/player/StatusPresenters.h"

namespace kelvora {

namespace {

std::string trimBlanks(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};

// 0.25 s doubled per attempt, at most 3 s: 0.25, 0.5, 1, 2, 3, 3, ...
std::chrono::nanoseconds reconnectDelay(int attempt) {
    const int exponent = std::min(attempt - 1, 4);
    const double seconds = std::min(0.25 * std::pow(2.0, exponent), 3.0);
    return std::chrono::nanoseconds(static_cast<int64_t>(seconds * 1e9));
}

}  // namespace

StreamPlayer::StreamPlayer(Configuration configuration, PlayerServices services, QObject* parent)
    : QObject(parent),
      configuration_(std::move(configuration)),
      services_(std::move(services)),
      preferences_(*services_.defaults, configuration_.storageKey),
      renderer_(std::make_shared<VideoRenderer>()) {
    engine_ = preferences_.engine(configuration_.defaultEngine);
    showsDebugOverlay_ = preferences_.showsDebugOverlay();
    smoothPlayback_ = preferences_.smoothPlayback();
    preferredQuality_ = preferences_.quality();
    availableEngines_ = computeAvailableEngines();
}

StreamPlayer::StreamPlayer(Configuration configuration, QObject* parent)
    : StreamPlayer(std::move(configuration), PlayerServices::system(), parent) {}

StreamPlayer::~StreamPlayer() {
    // Owners stop first; whatever is left must not call back into a dead player.
    if (session_) {
        session_->setEventHandler(nullptr);
    }
    services_.browser->setOnChange(nullptr);
    services_.browser->setOnPermissionDenied(nullptr);
}

void StreamPlayer::start() {
    if (isStarted_) {
        return;
    }
    isStarted_ = true;
    autoConnectBlocked_ = false;
    setState(PlayerState::searching());

    QPointer<StreamPlayer> self(this);
    auto scheduler = services_.scheduler;
    services_.browser->setOnChange([self, scheduler](std::vector<DiscoveredSender> senders) {
        scheduler->post([self, senders = std::move(senders)]() mutable {
            if (self) {
                self->handleBrowserResults(std::move(senders));
            }
        });
    });
    services_.browser->setOnPermissionDenied([self, scheduler] {
        scheduler->post([self] {
            if (self) {
                self->setState(PlayerState::localNetworkDenied());
            }
        });
    });

    searchStartedAt_ = services_.scheduler->now();
    if (discoveryDurationMs_) {
        discoveryDurationMs_.reset();
        emit discoveryDurationMsChanged();
    }
    services_.browser->start();
    scheduleSlowDiscoveryHint();
    scheduleStatistics();

    if (configuration_.autoConnect) {
        const auto address = preferences_.rememberedAddress();
        const auto last = preferences_.lastSenderID();
        if (address && last && *last == address->id) {
            ViewerLog::network().info("Verbinde direkt mit gemerkter Adresse {}:{}", address->host,
                                      address->port);
            select(DiscoveredSender::direct(address->host, address->port, address->id, address->name));
        }
    }
}

void StreamPlayer::stop() {
    isStarted_ = false;
    statisticsTask_.reset();
    services_.browser->stop();
    tearDownSession();
    reconnectTask_.reset();
    slowDiscoveryTask_.reset();
    renderer_->flush();
    setState(PlayerState::idle());
    // The statistics loop's last pass: without a session it empties the figures.
    refreshStatistics();
}

void StreamPlayer::select(const DiscoveredSender& sender) {
    setSelectedSender(sender);
    preferences_.setLastSenderID(sender.id);
    autoConnectBlocked_ = false;
    reconnectAttempt_ = 0;
    rebuildSenders();
    const auto& engines = availableEngines_;
    if (!engines.empty() && std::find(engines.begin(), engines.end(), engine_) == engines.end()) {
        setEngine(engines.front());
    }
    connectSelected();
}

void StreamPlayer::connectToManualHost(const std::string& host, uint16_t port) {
    const std::string trimmed = trimBlanks(host);
    if (trimmed.empty()) {
        return;
    }
    select(DiscoveredSender::direct(trimmed, port));
}

void StreamPlayer::disconnect(bool forget) {
    if (forget) {
        preferences_.setLastSenderID(std::nullopt);
    }
    autoConnectBlocked_ = true;
    setSelectedSender(std::nullopt);
    reconnectTask_.reset();
    tearDownSession();
    renderer_->flush();
    setState(isStarted_ ? PlayerState::searching() : PlayerState::idle());
}

void StreamPlayer::requestKeyframe() {
    if (session_) {
        session_->requestKeyframe();
    }
}

void StreamPlayer::requestSourceRestart() {
    if (session_) {
        session_->requestSourceRestart();
    }
}

void StreamPlayer::updateTuning(const StreamTuning& tuning) {
    if (!session_ || !senderTuning_ || !senderTuning_->remoteControlAllowed) {
        return;
    }
    StreamTuning shown = tuning;
    shown.tiers = senderTuning_->tiers;
    setSenderTuning(shown);
    session_->updateTuning(tuning);
}

void StreamPlayer::setOnFrame(LockedHandler<PixelBuffer>::Handler onFrame) {
    onFrame_ = std::move(onFrame);
    if (session_) {
        session_->setFrameOutput(onFrame_);
    }
}

void StreamPlayer::setSmoothPlayback(bool smooth) {
    if (smooth == smoothPlayback_) {
        return;
    }
    smoothPlayback_ = smooth;
    preferences_.setSmoothPlayback(smooth);
    emit smoothPlaybackChanged();
    if (session_) {
        session_->setSmoothingEnabled(smooth);
    }
}

void StreamPlayer::setEngine(const EngineKind& engine) {
    if (engine == engine_) {
        return;
    }
    engine_ = engine;
    preferences_.setEngine(engine);
    emit engineChanged();
    if (selectedSender_) {
        reconnectAttempt_ = 0;
        connectSelected();
    }
}

void StreamPlayer::setShowsDebugOverlay(bool shows) {
    preferences_.setShowsDebugOverlay(shows);
    if (shows != showsDebugOverlay_) {
        showsDebugOverlay_ = shows;
        emit showsDebugOverlayChanged();
    }
}

void StreamPlayer::setPreferredQuality(StreamQuality quality) {
    if (quality == preferredQuality_) {
        return;
    }
    preferredQuality_ = quality;
    preferences_.setQuality(quality);
    emit preferredQualityChanged();
    if (session_) {
        session_->setPreferredQuality(quality);
    }
}

// --- connection ---

void StreamPlayer::connectSelected() {
    tearDownSession();
    reconnectTask_.reset();
    if (!selectedSender_) {
        return;
    }
    const DiscoveredSender sender = *selectedSender_;
    const auto& engines = availableEngines_;
    const EngineKind kind =
        std::find(engines.begin(), engines.end(), engine_) != engines.end() ? engine_ : EngineKind::tcp();
    ReceiverIdentity identity{preferences_.clientID(), configuration_.clientName, services_.deviceModel};
    auto session = services_.sessions(kind, sender.endpoint, std::move(identity),
                                      configuration_.usesBuiltInRenderer ? renderer_ : nullptr);
    session->setFrameOutput(onFrame_);
    session->setPreferredQuality(preferredQuality_);
    session->setSmoothingEnabled(smoothPlayback_);

    QPointer<StreamPlayer> self(this);
    std::weak_ptr<PlayerSession> weakSession = session;
    auto scheduler = services_.scheduler;
    session->setEventHandler([self, weakSession, scheduler](const ReceiverSession::Event& event) {
        scheduler->post([self, weakSession, event] {
            auto current = weakSession.lock();
            if (self && current && self->session_ == current) {
                self->handleSessionEvent(event);
            }
        });
    });

    sessionSender_ = sender;
    sessionHasShownFrame_ = false;
    setSession(session);
    setState(PlayerState::connecting(sender.name));
    connectStartedAt_ = services_.scheduler->now();
    firstFrameAfterMs_.reset();
    session->start();
}

void StreamPlayer::tearDownSession() {
    setSenderTuning(std::nullopt);
    if (session_) {
        auto session = session_;
        session->setEventHandler(nullptr);
        session->stop();
        setSession(nullptr);
    }
}

void StreamPlayer::handleSessionEvent(const ReceiverSession::Event& event) {
    DiscoveredSender& sender = *sessionSender_;
    std::visit(
        Overloaded{
            [&](const ReceiverSession::Connected& connected) {
                const WelcomeMessage& welcome = connected.welcome;
                reconnectAttempt_ = 0;
                std::string name = sender.name;
                if (sender.isDirect && welcome.senderID && selectedSender_ &&
                    selectedSender_->id == sender.id) {
                    const auto known = std::find_if(bonjourSenders_.begin(), bonjourSenders_.end(),
                                                    [&](const auto& s) { return s.id == *welcome.senderID; });
                    DiscoveredSender taken = *selectedSender_;
                    if (known != bonjourSenders_.end()) {
                        taken = *known;
                    } else {
                        taken.id = *welcome.senderID;
                        taken.announcement.senderID = *welcome.senderID;
                        taken.name = welcome.senderName;
                        taken.announcement.senderName = welcome.senderName;
                    }
                    setSelectedSender(taken);
                    preferences_.setLastSenderID(*welcome.senderID);
                    rebuildSenders();
                    name = welcome.senderName;
                    // The session now belongs to the sender under its new id: a later end must reconnect it.
                    sender.id = taken.id;
                    sender.name = name;
                }
                if (const auto peer = session_->remote()) {
                    const std::string id = welcome.senderID  ? *welcome.senderID
                                           : selectedSender_ ? selectedSender_->id
                                                             : std::string();
                    if (!id.empty()) {
                        preferences_.setRememberedAddress(
                            RememberedAddress{peer->host, peer->port, id, welcome.senderName});
                    }
                }
                setState(PlayerState::waitingForVideo(name));
            },
            [&](const ReceiverSession::StreamInfoChanged& changed) {
                if (changed.info.state == StreamInfoMessage::State::live) {
                    // A sender that paused and resumed sends no second first frame.
                    if (state_.kind == PlayerState::Kind::waitingForVideo && sessionHasShownFrame_) {
                        setState(PlayerState::playing(selectedSender_ ? selectedSender_->name : sender.name));
                    }
                    return;
                }
                if (state_.kind == PlayerState::Kind::playing) {
                    setState(PlayerState::waitingForVideo(sender.name));
                }
            },
            [&](const ReceiverSession::TuningReceived& received) { setSenderTuning(received.tuning); },
            [&](const ReceiverSession::FirstFrame&) {
                firstFrameAfterMs_ =
                    MonotonicClock::milliseconds(connectStartedAt_, services_.scheduler->now());
                sessionHasShownFrame_ = true;
                ViewerLog::network().info("Erstes Bild {} ms nach Verbindungsbeginn",
                                          static_cast<long>(*firstFrameAfterMs_));
                setState(PlayerState::playing(selectedSender_ ? selectedSender_->name : sender.name));
            },
            [&](const ReceiverSession::Ended& ended) {
                const DiscoveredSender copy = sender;
                setSession(nullptr);
                setSenderTuning(std::nullopt);
                const EndReasonText reason = endReason(ended.error);
                ViewerLog::player().info("Session beendet: {}", reason.withSystemText());
                scheduleReconnect(copy, reason.text);
            },
        },
        event);
}

void StreamPlayer::scheduleReconnect(const DiscoveredSender& sender, const std::string& reason) {
    if (!isStarted_ || !selectedSender_ || selectedSender_->id != sender.id) {
        return;
    }
    setState(PlayerState::reconnecting(sender.name, reason));
    ++reconnectAttempt_;
    QPointer<StreamPlayer> self(this);
    reconnectTask_.reset();
    reconnectTask_ = services_.scheduler->after(reconnectDelay(reconnectAttempt_), [self, id = sender.id] {
        if (!self) {
            return;
        }
        self->reconnectTask_.reset();
        if (self->listed(id)) {
            self->connectSelected();
        }
    });
}

// --- discovery ---

void StreamPlayer::handleBrowserResults(std::vector<DiscoveredSender> senders) {
    bonjourSenders_ = std::move(senders);
    if (!bonjourSenders_.empty() && !discoveryDurationMs_) {
        discoveryDurationMs_ = MonotonicClock::milliseconds(searchStartedAt_, services_.scheduler->now());
        emit discoveryDurationMsChanged();
        setDiscoverySlow(false);
        ViewerLog::network().info("Bonjour: erster Sender nach {} ms gefunden",
                                  static_cast<long>(*discoveryDurationMs_));
    }
    rebuildSenders();
    if (selectedSender_) {
        const auto fresh = std::find_if(senders_.begin(), senders_.end(),
                                        [&](const auto& s) { return s.id == selectedSender_->id; });
        if (fresh != senders_.end()) {
            setSelectedSender(*fresh);
        }
    }

    if (!isStarted_ || session_ || reconnectTask_) {
        return;
    }
    if (selectedSender_) {
        if (listed(selectedSender_->id)) {
            connectSelected();
        }
        return;
    }
    if (!configuration_.autoConnect || autoConnectBlocked_) {
        return;
    }
    if (const auto last = preferences_.lastSenderID()) {
        const auto remembered =
            std::find_if(senders_.begin(), senders_.end(), [&](const auto& s) { return s.id == *last; });
        if (remembered != senders_.end()) {
            select(DiscoveredSender(*remembered));
        }
        return;
    }
    if (configuration_.autoConnectToOnlySender && senders_.size() == 1) {
        select(DiscoveredSender(senders_.front()));
    }
}

void StreamPlayer::scheduleSlowDiscoveryHint() {
    QPointer<StreamPlayer> self(this);
    slowDiscoveryTask_.reset();
    slowDiscoveryTask_ = services_.scheduler->after(slowDiscoveryDelay, [self] {
        if (self && self->bonjourSenders_.empty()) {
            self->setDiscoverySlow(true);
            ViewerLog::network().info(
                "Nach 3 s kein Sender per Bonjour gefunden – Netz blockiert evtl. Bonjour");
        }
    });
}

void StreamPlayer::rebuildSenders() {
    DiscoveredSenderList list = bonjourSenders_;
    if (selectedSender_ && selectedSender_->isDirect &&
        std::none_of(list.begin(), list.end(), [&](const auto& s) { return s.id == selectedSender_->id; })) {
        list.push_back(*selectedSender_);
    }
    setSenders(std::move(list));
}

bool StreamPlayer::listed(const std::string& id) const {
    return std::any_of(senders_.begin(), senders_.end(), [&](const auto& s) { return s.id == id; });
}

// --- statistics ---

void StreamPlayer::scheduleStatistics() {
    QPointer<StreamPlayer> self(this);
    statisticsTask_.reset();
    statisticsTask_ = services_.scheduler->after(statisticsInterval, [self] {
        if (self) {
            self->refreshStatistics();
            self->scheduleStatistics();
        }
    });
}

void StreamPlayer::refreshStatistics() {
    PlaybackStatistics next;
    if (session_) {
        next = session_->statistics();
        next.discoveryMs = discoveryDurationMs_;
        next.firstFrameMs = firstFrameAfterMs_;
        next.isDirectConnection = selectedSender_ && selectedSender_->isDirect;
    }
    if (!(next == statistics_)) {
        statistics_ = std::move(next);
        emit statisticsChanged();
    }
}

EngineKindList StreamPlayer::computeAvailableEngines() const {
    EngineKindList kinds = services_.availableKinds();
    if (selectedSender_) {
        const auto& announced = selectedSender_->announcement.engines;
        std::erase_if(kinds, [&](const EngineKind& kind) {
            return std::find(announced.begin(), announced.end(), kind) == announced.end();
        });
    }
    return kinds;
}

// --- observable setters ---

void StreamPlayer::setState(PlayerState state) {
    if (state != state_) {
        state_ = std::move(state);
        emit stateChanged();
    }
}

void StreamPlayer::setSenders(DiscoveredSenderList senders) {
    if (senders != senders_) {
        senders_ = std::move(senders);
        emit sendersChanged();
    }
}

void StreamPlayer::setSelectedSender(OptionalSender sender) {
    // Equality ignores isDirect, yet a direct and a found sender are not the same choice.
    const bool same =
        sender.has_value() == selectedSender_.has_value() &&
        (!sender || (*sender == *selectedSender_ && sender->isDirect == selectedSender_->isDirect));
    if (same) {
        return;
    }
    selectedSender_ = std::move(sender);
    emit selectedSenderChanged();
    auto engines = computeAvailableEngines();
    if (engines != availableEngines_) {
        availableEngines_ = std::move(engines);
        emit availableEnginesChanged();
    }
}

void StreamPlayer::setSenderTuning(OptionalTuning tuning) {
    if (tuning != senderTuning_) {
        senderTuning_ = std::move(tuning);
        emit senderTuningChanged();
    }
}

void StreamPlayer::setSession(std::shared_ptr<PlayerSession> session) {
    if (session != session_) {
        session_ = std::move(session);
        emit sessionChanged();
    }
}

void StreamPlayer::setDiscoverySlow(bool slow) {
    if (slow != isDiscoverySlow_) {
        isDiscoverySlow_ = slow;
        emit isDiscoverySlowChanged();
    }
}

}  // namespace kelvora
