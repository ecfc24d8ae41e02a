#pragma once

#include <QObject>
#include <QPointer>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "receiver/player/PlayerPreferences.h"
#include "receiver/player/PlayerSeams.h"
#include "receiver/player/PlayerState.h"

namespace kelvora {

using DiscoveredSenderList = std::vector<DiscoveredSender>;
using EngineKindList = std::vector<EngineKind>;
using OptionalSender = std::optional<DiscoveredSender>;
using OptionalTuning = std::optional<StreamTuning>;
using OptionalMilliseconds = std::optional<double>;

}  // namespace kelvora

Q_DECLARE_METATYPE(kelvora::PlayerState)
Q_DECLARE_METATYPE(kelvora::DiscoveredSenderList)
Q_DECLARE_METATYPE(kelvora::EngineKindList)
Q_DECLARE_METATYPE(kelvora::OptionalSender)
Q_DECLARE_METATYPE(kelvora::OptionalTuning)
Q_DECLARE_METATYPE(kelvora::OptionalMilliseconds)
Q_DECLARE_METATYPE(kelvora::PlaybackStatistics)
Q_DECLARE_METATYPE(kelvora::EngineKind)
Q_DECLARE_METATYPE(kelvora::StreamQuality)

namespace kelvora {

// The viewer's controller: finds senders (DNS-SD, a typed address, the remembered address), keeps the list
// the picker shows, connects one sender through a session, follows the session's events, reconnects after
// 0.25, 0.5, 1, 2 and then every 3 s while the sender stays selected, and mirrors the session's statistics
// four times a second. Every observable member notifies only when its value really changes.
//
// Threads: a main-thread object. Browser and session callbacks arrive on their own threads and hop here
// through the scheduler's post, holding the player (and the session) weakly; events of a session that is no
// longer the current one are dropped. Only the statistics, the peer address and the frame tap are shared
// with the session's threads, each behind the session's own lock. Decoded frames never pass through here.
class StreamPlayer final : public QObject {
    Q_OBJECT
    Q_PROPERTY(kelvora::PlayerState state READ state NOTIFY stateChanged)
    Q_PROPERTY(kelvora::DiscoveredSenderList senders READ senders NOTIFY sendersChanged)
    Q_PROPERTY(kelvora::OptionalMilliseconds discoveryDurationMs READ discoveryDurationMs NOTIFY
                   discoveryDurationMsChanged)
    Q_PROPERTY(bool isDiscoverySlow READ isDiscoverySlow NOTIFY isDiscoverySlowChanged)
    Q_PROPERTY(kelvora::OptionalSender selectedSender READ selectedSender NOTIFY selectedSenderChanged)
    Q_PROPERTY(kelvora::PlaybackStatistics statistics READ statistics NOTIFY statisticsChanged)
    Q_PROPERTY(bool smoothPlayback READ smoothPlayback WRITE setSmoothPlayback NOTIFY smoothPlaybackChanged)
    Q_PROPERTY(kelvora::OptionalTuning senderTuning READ senderTuning NOTIFY senderTuningChanged)
    Q_PROPERTY(kelvora::EngineKind engine READ engine WRITE setEngine NOTIFY engineChanged)
    Q_PROPERTY(kelvora::EngineKindList availableEngines READ availableEngines NOTIFY availableEnginesChanged)
    Q_PROPERTY(bool showsDebugOverlay READ showsDebugOverlay WRITE setShowsDebugOverlay NOTIFY
                   showsDebugOverlayChanged)
    Q_PROPERTY(kelvora::StreamQuality preferredQuality READ preferredQuality WRITE setPreferredQuality NOTIFY
                   preferredQualityChanged)
    Q_PROPERTY(bool hasSession READ hasSession NOTIFY sessionChanged)

  public:
    using Configuration = PlayerConfiguration;

    static constexpr auto slowDiscoveryDelay = std::chrono::seconds(3);
    static constexpr auto statisticsInterval = std::chrono::milliseconds(250);

    StreamPlayer(Configuration configuration, PlayerServices services, QObject* parent = nullptr);
    // With the real browser, sessions, event loop and the viewer's defaults store.
    explicit StreamPlayer(Configuration configuration, QObject* parent = nullptr);
    ~StreamPlayer() override;

    // Starts discovery and, when configured, the connection to the remembered address. Again while started:
    // nothing.
    void start();
    // Ends discovery, the session and every timer; state idle. Selection and lists stay.
    void stop();
    void select(const DiscoveredSender& sender);
    // A typed host (blanks and tabs around it are dropped; empty does nothing) and port (0: 47810).
    void connectToManualHost(const std::string& host, uint16_t port);
    // Ends the session and clears the selection; `forget` also drops the remembered last sender. Until the
    // next selection or start, DNS-SD results connect nothing by themselves.
    void disconnect(bool forget);
    // Forwarded to the running session; nothing without one.
    Q_INVOKABLE void requestKeyframe();
    Q_INVOKABLE void requestSourceRestart();
    // Sent only while a session runs and the sender allows remote control; the sender's tier table stays.
    void updateTuning(const StreamTuning& tuning);
    // Handed to every session as its frame tap, at once to the running one. Empty clears it.
    void setOnFrame(LockedHandler<PixelBuffer>::Handler onFrame);

    // --- observable state ---
    const PlayerState& state() const { return state_; }
    const DiscoveredSenderList& senders() const { return senders_; }
    const OptionalMilliseconds& discoveryDurationMs() const { return discoveryDurationMs_; }
    bool isDiscoverySlow() const { return isDiscoverySlow_; }
    const OptionalSender& selectedSender() const { return selectedSender_; }
    const PlaybackStatistics& statistics() const { return statistics_; }
    bool smoothPlayback() const { return smoothPlayback_; }
    void setSmoothPlayback(bool smooth);
    const OptionalTuning& senderTuning() const { return senderTuning_; }
    const EngineKind& engine() const { return engine_; }
    // Storing it when it changes; with a selected sender the session is rebuilt on the new engine.
    void setEngine(const EngineKind& engine);
    // The registry's kinds, with a selected sender only those it announces.
    const EngineKindList& availableEngines() const { return availableEngines_; }
    bool showsDebugOverlay() const { return showsDebugOverlay_; }
    // Stored on every assignment.
    void setShowsDebugOverlay(bool shows);
    StreamQuality preferredQuality() const { return preferredQuality_; }
    void setPreferredQuality(StreamQuality quality);
    bool hasSession() const { return session_ != nullptr; }
    const std::shared_ptr<PlayerSession>& session() const { return session_; }

    const std::shared_ptr<VideoRenderer>& renderer() const { return renderer_; }
    const Configuration& configuration() const { return configuration_; }
    PlayerPreferences& preferences() { return preferences_; }

  signals:
    void stateChanged();
    void sendersChanged();
    void discoveryDurationMsChanged();
    void isDiscoverySlowChanged();
    void selectedSenderChanged();
    void statisticsChanged();
    void smoothPlaybackChanged();
    void senderTuningChanged();
    void engineChanged();
    void availableEnginesChanged();
    void showsDebugOverlayChanged();
    void preferredQualityChanged();
    void sessionChanged();

  private:
    void connectSelected();
    void tearDownSession();
    void rebuildSenders();
    void handleBrowserResults(std::vector<DiscoveredSender> senders);
    void scheduleSlowDiscoveryHint();
    void handleSessionEvent(const ReceiverSession::Event& event);
    void scheduleReconnect(const DiscoveredSender& sender, const std::string& reason);
    void scheduleStatistics();
    void refreshStatistics();
    EngineKindList computeAvailableEngines() const;
    bool listed(const std::string& id) const;

    void setState(PlayerState state);
    void setSenders(DiscoveredSenderList senders);
    void setSelectedSender(OptionalSender sender);
    void setSenderTuning(OptionalTuning tuning);
    void setSession(std::shared_ptr<PlayerSession> session);
    void setDiscoverySlow(bool slow);

    const Configuration configuration_;
    PlayerServices services_;
    PlayerPreferences preferences_;
    const std::shared_ptr<VideoRenderer> renderer_;
    LockedHandler<PixelBuffer>::Handler onFrame_;

    PlayerState state_;
    DiscoveredSenderList senders_;
    OptionalMilliseconds discoveryDurationMs_;
    bool isDiscoverySlow_ = false;
    OptionalSender selectedSender_;
    PlaybackStatistics statistics_;
    bool smoothPlayback_ = true;
    OptionalTuning senderTuning_;
    EngineKind engine_;
    EngineKindList availableEngines_;
    bool showsDebugOverlay_ = false;
    StreamQuality preferredQuality_ = StreamQuality::automatic;
    std::shared_ptr<PlayerSession> session_;

    DiscoveredSenderList bonjourSenders_;
    // The sender the current session is for, as of its connection, and as it is now after a direct sender
    // took the identity the welcome gave.
    OptionalSender sessionSender_;
    bool sessionHasShownFrame_ = false;
    uint64_t searchStartedAt_ = 0;
    uint64_t connectStartedAt_ = 0;
    OptionalMilliseconds firstFrameAfterMs_;
    std::optional<PlayerScheduler::Handle> slowDiscoveryTask_;
    std::optional<PlayerScheduler::Handle> reconnectTask_;
    std::optional<PlayerScheduler::Handle> statisticsTask_;
    bool isStarted_ = false;
    int reconnectAttempt_ = 0;
    // Set by an explicit disconnect: DNS-SD results must not pick a sender again behind the user's back.
    bool autoConnectBlocked_ = false;
};

}  // namespace kelvora
