#include "receiver/player/PlayerSeams.h"

#include <sys/utsname.h>

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
#include <cstring>

#include "core/MonotonicClock.h"
#include "platform/Utf8.h"
#include "receiver/player/PlayerPreferences.h"
#include "receiver/session/PlaybackEngineRegistry.h"
#include "receiver/session/SenderBrowser.h"

namespace kelvora {

namespace {

class ReceiverSessionAdapter final : public PlayerSession {
  public:
    explicit ReceiverSessionAdapter(std::shared_ptr<ReceiverSession> session)
        : session_(std::move(session)) {}

    void setEventHandler(ReceiverSession::EventHandler handler) override {
        session_->setEventHandler(std::move(handler));
    }
    void start() override { session_->start(); }
    // The session says goodbye on its own queue and holds itself only weakly there: a player that lets go
    // of it right after stop(), or a program that ends, would lose the goodbye. Waiting for the queue hands
    // it to the connection first.
    void stop() override {
        session_->stop();
        session_->queue().sync([] {});
    }
    void setPreferredQuality(StreamQuality quality) override { session_->setPreferredQuality(quality); }
    void setSmoothingEnabled(bool enabled) override { session_->setSmoothingEnabled(enabled); }
    void updateTuning(StreamTuning tuning) override { session_->updateTuning(std::move(tuning)); }
    void requestKeyframe() override { session_->requestKeyframe(); }
    void requestSourceRestart() override { session_->requestSourceRestart(); }
    PlaybackStatistics statistics() const override { return session_->statistics(); }
    std::optional<HostPortEndpoint> remote() const override { return session_->remote(); }
    void setFrameOutput(LockedHandler<PixelBuffer>::Handler handler) override {
        session_->frameOutput.set(std::move(handler));
    }

  private:
    std::shared_ptr<ReceiverSession> session_;
};

class SenderBrowserAdapter final : public PlayerBrowser {
  public:
    SenderBrowserAdapter() : browser_(SenderBrowser::create()) {}

    void setOnChange(std::function<void(std::vector<DiscoveredSender>)> handler) override {
        browser_->setOnChange([handler = std::move(handler)](const std::vector<DiscoveredSender>& senders) {
            if (handler) {
                handler(senders);
            }
        });
    }
    void setOnPermissionDenied(std::function<void()> handler) override {
        browser_->setOnPermissionDenied(std::move(handler));
    }
    void start() override { browser_->start(); }
    void stop() override { browser_->stop(); }

  private:
    std::shared_ptr<SenderBrowser> browser_;
};

// Timers of the Qt event loop of the thread that made the scheduler; posts go to the application object,
// which lives on the main thread.
class QtPlayerScheduler final : public PlayerScheduler {
  public:
    uint64_t now() const override { return MonotonicClock::now(); }

    Handle after(std::chrono::nanoseconds delay, std::function<void()> task) override {
        auto* timer = new QTimer();
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        auto firing = std::make_shared<bool>(false);
        QObject::connect(timer, &QTimer::timeout, timer, [firing, task = std::move(task)] {
            *firing = true;
            task();
            *firing = false;
        });
        timer->start(std::chrono::duration_cast<std::chrono::milliseconds>(delay));
        // A task that drops its own handle (a loop re-arming itself) must not delete the timer under it;
        // every other cancellation deletes at once, so nothing waits for an event loop that may never run
        // again.
        return Handle([guard = QPointer<QTimer>(timer), firing] {
            if (!guard) {
                return;
            }
            guard->stop();
            if (*firing) {
                guard->deleteLater();
            } else {
                delete guard.data();
            }
        });
    }

    void post(std::function<void()> task) override {
        if (auto* application = QCoreApplication::instance()) {
            QMetaObject::invokeMethod(application, std::move(task), Qt::QueuedConnection);
        }
    }
};

}  // namespace

std::string playerDeviceModel() {
    utsname name{};
    std::string machine;
    if (::uname(&name) == 0) {
        machine.assign(name.machine, ::strnlen(name.machine, std::min<size_t>(sizeof(name.machine), 256)));
    }
    return "Computer (" + validUtf8(machine) + ")";
}

PlayerServices PlayerServices::system() {
    PlayerServices services;
    services.sessions = [](EngineKind engine, NetworkEndpoint endpoint, ReceiverIdentity identity,
                           std::shared_ptr<VideoRenderer> renderer) -> std::shared_ptr<PlayerSession> {
        return std::make_shared<ReceiverSessionAdapter>(ReceiverSession::create(
            std::move(engine), std::move(endpoint), std::move(identity), std::move(renderer)));
    };
    services.browser = std::make_shared<SenderBrowserAdapter>();
    services.scheduler = std::make_shared<QtPlayerScheduler>();
    services.defaults = &PlayerPreferences::viewerDefaults();
    services.availableKinds = [] { return PlaybackEngineRegistry::availableKinds(); };
    services.deviceModel = playerDeviceModel();
    return services;
}

}  // namespace kelvora
