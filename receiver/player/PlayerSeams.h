#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/LockedHandler.h"
#include "core/NetworkEndpoint.h"
#include "core/StreamTuning.h"
#include "core/TimerSource.h"
#include "platform/PixelBuffer.h"
#include "platform/UserDefaults.h"
#include "receiver/session/DiscoveredSender.h"
#include "receiver/session/PlaybackStatistics.h"
#include "receiver/session/ReceiverSession.h"
#include "receiver/session/VideoRenderer.h"

namespace kelvora {

// What the player needs of a receiver session; ReceiverSession stands behind it in the program. The event
// handler is called on the session's own thread.
class PlayerSession {
  public:
    virtual ~PlayerSession() = default;
    virtual void setEventHandler(ReceiverSession::EventHandler handler) = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void setPreferredQuality(StreamQuality quality) = 0;
    virtual void setSmoothingEnabled(bool enabled) = 0;
    virtual void updateTuning(StreamTuning tuning) = 0;
    virtual void requestKeyframe() = 0;
    virtual void requestSourceRestart() = 0;
    // Any thread; read under the session's locks.
    virtual PlaybackStatistics statistics() const = 0;
    virtual std::optional<HostPortEndpoint> remote() const = 0;
    // Empty clears the frame tap.
    virtual void setFrameOutput(LockedHandler<PixelBuffer>::Handler handler) = 0;
};

using PlayerSessionFactory = std::function<std::shared_ptr<PlayerSession>(
    EngineKind engine, NetworkEndpoint endpoint, ReceiverIdentity identity,
    std::shared_ptr<VideoRenderer> renderer)>;

// What the player needs of DNS-SD discovery; SenderBrowser stands behind it in the program. Both handlers
// are called on the browser's own thread.
class PlayerBrowser {
  public:
    virtual ~PlayerBrowser() = default;
    virtual void setOnChange(std::function<void(std::vector<DiscoveredSender>)> handler) = 0;
    virtual void setOnPermissionDenied(std::function<void()> handler) = 0;
    virtual void start() = 0;
    virtual void stop() = 0;
};

// The player's time and its main thread: "now", one-shot timers and hops from other threads. The program's
// runs on the Qt event loop; a test advances a clock by hand and runs what is due.
class PlayerScheduler {
  public:
    using Handle = TimerSource::Handle;

    virtual ~PlayerScheduler() = default;
    // Monotonic nanoseconds.
    virtual uint64_t now() const = 0;
    // Runs `task` on the main thread `delay` from now unless the handle was cancelled or destroyed first.
    [[nodiscard]] virtual Handle after(std::chrono::nanoseconds delay, std::function<void()> task) = 0;
    // From any thread: runs `task` on the main thread soon.
    virtual void post(std::function<void()> task) = 0;
};

// The real components: ReceiverSession, SenderBrowser and the Qt event loop of the calling (main) thread.
struct PlayerServices {
    PlayerSessionFactory sessions;
    std::shared_ptr<PlayerBrowser> browser;
    std::shared_ptr<PlayerScheduler> scheduler;
    UserDefaults* defaults = nullptr;
    // Engine kinds this build can play, in order.
    std::function<std::vector<EngineKind>()> availableKinds;
    // Text of the hello's device model.
    std::string deviceModel;

    static PlayerServices system();
};

// "Computer (<machine of uname>)", the machine text cut at 256 bytes and repaired to valid UTF-8.
std::string playerDeviceModel();

}  // namespace kelvora
