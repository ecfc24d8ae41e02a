#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/ControlMessage.h"
#include "core/FramedConnection.h"
#include "core/ServiceAnnouncement.h"
#include "core/StreamInfoMessage.h"
#include "core/StreamTuning.h"
#include "core/TimerSource.h"
#include "platform/DnsSdRegistration.h"
#include "platform/LogThrottle.h"
#include "platform/SerialQueue.h"
#include "sender/server/SenderServerCallbacks.h"
#include "sender/server/SenderSession.h"
#include "sender/server/StreamingEngine.h"
#include "sender/server/StreamingEngineContext.h"
#include "sender/server/TcpListener.h"

namespace kelvora {

// The sender's control-channel server: one TCP listener that viewers connect to, announced by DNS-SD; the
// connections that have not yet said hello; one SenderSession per accepted viewer; the media engines, started
// and stopped with it. It welcomes viewers, acts on their messages, drops those that fall silent, and fans
// every encoded frame out to all sessions, encoded once.
//
// Threads: every piece of state lives on the server queue, which also carries every accepted connection, the
// engines and the pipeline's control work. start, stop, disconnect, updateAnnouncement and updateStreamInfo
// may be called from any thread and take effect there; every other operation must be called there (a call
// from elsewhere stops the process). Closures handed to the listener, connections, timers and sessions hold
// the server weakly.
class SenderServer : public std::enable_shared_from_this<SenderServer> {
  public:
    using Engines = std::vector<std::shared_ptr<StreamingEngine>>;

    // A connection has this long to say hello.
    static constexpr auto helloTimeout = std::chrono::seconds(5);
    // A viewer silent for longer than this is dropped.
    static constexpr double silenceLimitMs = 8000.0;
    static constexpr auto housekeepingInterval = std::chrono::seconds(1);
    // A listener that failed on a free port is tried again after this long.
    static constexpr auto listenerRetryDelay = std::chrono::seconds(2);
    // At most one log line per this long about frames too large to send.
    static constexpr auto oversizeLogInterval = std::chrono::seconds(5);

    // What one viewer may cost before it is a viewer. A connection that has not said hello is held for up to
    // helloTimeout; these caps bound how many such connections exist at once, overall and from one address,
    // and how many connections one address may hold at all. Viewers already connected are not affected by
    // connections refused here.
    static constexpr std::size_t maximumPendingConnections = 64;
    static constexpr std::size_t maximumPendingPerAddress = 8;
    static constexpr std::size_t maximumConnectionsPerAddress = 64;
    // A viewer sends only small control messages; anything larger ends its connection like a bad header.
    static constexpr uint32_t maximumViewerMessageLength = kelvora::maximumViewerMessageLength;
    // At most one log line per this long about refused connections.
    static constexpr auto refusalLogInterval = std::chrono::seconds(5);

    // The goodbye sent to a viewer that no engine can serve.
    static constexpr std::string_view noEngineReason = "no media engine";

    struct Options {
        // The server queue; a new "server" queue when none is given.
        std::shared_ptr<SerialQueue> queue;
        // Time and timers; the monotonic clock and the server queue's timers when none is given.
        std::shared_ptr<TimerSource> timers;
        // Whether the listener is published by DNS-SD. Off for servers that must stay invisible to the
        // network, such as those of tests that are not about the announcement.
        bool announce = true;
    };

    // `engines` must hold an engine of kind "tcp": a viewer whose wish no engine meets falls back to it.
    static std::shared_ptr<SenderServer> create(Engines engines, ServiceAnnouncement announcement,
                                                StreamInfoMessage streamInfo, uint16_t preferredPort);
    static std::shared_ptr<SenderServer> create(Engines engines, ServiceAnnouncement announcement,
                                                StreamInfoMessage streamInfo, uint16_t preferredPort,
                                                Options options);
    ~SenderServer();
    SenderServer(const SenderServer&) = delete;
    SenderServer& operator=(const SenderServer&) = delete;

    // The pipeline's side. Set before start(); called on the server queue.
    SenderServerCallbacks callbacks;

    const std::shared_ptr<SerialQueue>& queue() const { return queue_; }

    // Starts the available engines, the listener with its announcement and the housekeeping.
    void start();
    // Ends every session ("sender stopped") and pending connection, the listener and the engines.
    void stop();
    // Swaps engines and announcement; a running server restarts everything, ending its sessions with
    // "sender restarting".
    void restart(Engines engines, ServiceAnnouncement announcement);
    // Hands one encoded frame to every session, encoded once into its videoFrame control frame.
    void deliver(const EncodedVideoFrame& frame);
    // Sends the tuning to every viewer that said it supports tuning.
    void broadcastTuning(const StreamTuning& tuning);
    // Ends one session with "disconnected by sender"; an unknown token does nothing.
    void disconnect(std::string token);
    // Republishes the DNS-SD record when the announcement changed (a new name means a new listener).
    void updateAnnouncement(ServiceAnnouncement announcement);
    // Sends the stream info to every viewer when it changed.
    void updateStreamInfo(StreamInfoMessage streamInfo);

    // State for the pipeline's status; on the server queue.
    const std::map<std::string, std::shared_ptr<SenderSession>>& sessions() const;
    std::optional<uint16_t> controlPort() const;
    std::optional<std::string> listenerError() const;
    bool fixedPortUnavailable() const;
    bool isRunning() const;
    const Engines& engines() const;
    const ServiceAnnouncement& announcement() const;
    const StreamInfoMessage& streamInfo() const;
    // Connections that have not yet said hello.
    size_t pendingCount() const;
    // The same context for every engine, at every start.
    const std::shared_ptr<StreamingEngineContext>& engineContext();

  private:
    struct Pending {
        std::shared_ptr<FramedConnection> connection;
        std::string address;
        TimerSource::Handle helloTimer;
    };

    SenderServer(Engines engines, ServiceAnnouncement announcement, StreamInfoMessage streamInfo,
                 uint16_t preferredPort, Options options);

    void startNow();
    void stopNow();
    void closeEverything(const std::string& reason);
    void startEngines();
    void startListener();
    void handleListenerFailure(const std::shared_ptr<TcpListener>& listener, bool fixedPortRequested,
                               std::error_code error);
    void listenerReady();
    void scheduleListenerRetry();
    void cancelListener();
    void startHousekeeping();
    void runHousekeeping();

    void accept(asio::ip::tcp::socket socket);
    // Why a new connection from `address` must be refused, or nothing when it may stay.
    std::optional<std::string_view> refusalReason(const std::string& address) const;
    void logRefusal(const std::string& address, std::string_view reason);
    void handleFirstMessage(FramedConnection* key, FramedConnection::Event event);
    void handleHello(const std::shared_ptr<FramedConnection>& connection, const HelloMessage& received);
    void handleControlMessage(const std::shared_ptr<SenderSession>& session, FramedConnection::Event event);
    void dispatch(const std::shared_ptr<SenderSession>& session, const ControlMessage& message,
                  uint64_t arrival);
    void removeSession(const std::shared_ptr<SenderSession>& session, std::optional<std::string> reason);
    std::shared_ptr<StreamingEngine> chooseEngine(const EngineKind& wanted) const;
    void checkEngineList() const;
    void sessionsChanged();
    void logOversizedFrame(const EncodedVideoFrame& frame, const WireError& error);

    const std::shared_ptr<SerialQueue> queue_;
    const std::shared_ptr<TimerSource> timers_;
    const uint16_t preferredPort_;
    const bool announce_;

    Engines engines_;
    ServiceAnnouncement announcement_;
    StreamInfoMessage streamInfo_;
    std::shared_ptr<TcpListener> listener_;
    std::unique_ptr<DnsSdRegistration> registration_;
    bool fixedPortUnavailable_ = false;
    std::map<FramedConnection*, Pending> pending_;
    std::map<std::string, std::shared_ptr<SenderSession>> sessions_;
    std::map<std::string, uint64_t> lastActivity_;
    TimerSource::Handle housekeeping_;
    TimerSource::Handle listenerRetry_;
    bool isRunning_ = false;
    std::shared_ptr<StreamingEngineContext> engineContext_;
    std::optional<uint16_t> controlPort_;
    std::optional<std::string> listenerError_;

    LogThrottle oversizeLog_{oversizeLogInterval};
    LogThrottle refusalLog_{refusalLogInterval};
};

}  // namespace kelvora
