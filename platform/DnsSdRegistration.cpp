#include "platform/DnsSdRegistration.h"

#include "platform/AvahiQueuePoll.h"
#include "platform/AvahiStrings.h"
#include "platform/Graphemes.h"
#include "platform/Logger.h"
#include "platform/Utf8.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>

#include <atomic>
#include <chrono>
#include <limits>

namespace kelvora {

namespace {
// Pause before trying again after the daemon refused the service or could not be reached at all.
constexpr auto retryDelay = std::chrono::seconds(2);
}  // namespace

// Lives on the queue: every member below is touched there only.
class DnsSdRegistration::Core : public std::enable_shared_from_this<Core> {
  public:
    Core(std::shared_ptr<SerialQueue> queue, std::string name, std::string type, uint16_t port, TxtRecord txt)
        : queue_(std::move(queue)),
          poll_(queue_->context()),
          name_(fitName(std::move(name))),
          type_(std::move(type)),
          port_(port),
          txt_(std::move(txt)) {}

    ~Core() { release(); }

    SerialQueue& queue() { return *queue_; }

    void setHandler(StatusHandler handler) { handler_ = std::move(handler); }

    void start() {
        if (started_) {
            return;
        }
        started_ = true;
        connect();
    }

    void updateTxt(TxtRecord txt) {
        if (txt == txt_) {
            return;
        }
        txt_ = std::move(txt);
        if (!group_ || avahi_entry_group_is_empty(group_)) {
            return;  // the next registration carries it
        }
        auto list = avahi::toStringList(txt_);
        const int result = avahi_entry_group_update_service_txt_strlst(
            group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags{}, name_.c_str(), type_.c_str(),
            nullptr, list.get());
        if (result < 0) {
            platformLogger("network").warn("TXT-Eintrag von {} nicht aktualisiert: {} – registriere neu",
                                           name_, avahi_strerror(result));
            avahi_entry_group_reset(group_);
            addService();
        }
    }

    void silence() { stopped_ = true; }

    void stop() {
        stopped_ = true;
        release();
    }

  private:
    void connect() {
        if (stopped_) {
            return;
        }
        int error = 0;
        // NO_FAIL: without a daemon the client waits in CONNECTING and comes up when one appears.
        client_ = avahi_client_new(poll_.api(), AVAHI_CLIENT_NO_FAIL, &Core::clientCallback, this, &error);
        if (!client_) {
            // Not even the system bus is there: try again later, the rest of the program keeps serving.
            report(State::waitingForDaemon, DnsSdError::daemon(error));
            scheduleRetry();
        }
    }

    void scheduleRetry() {
        std::weak_ptr<Core> weak = weak_from_this();
        retry_ = queue_->after(retryDelay, [weak] {
            if (auto self = weak.lock()) {
                self->release();
                self->connect();
            }
        });
    }

    void release() {
        retry_.cancel();
        if (group_) {
            avahi_entry_group_free(group_);
            group_ = nullptr;
        }
        if (client_) {
            avahi_client_free(client_);
            client_ = nullptr;
        }
    }

    static void clientCallback(AvahiClient* client, AvahiClientState state, void* userdata) {
        static_cast<Core*>(userdata)->clientChanged(client, state);
    }

    void clientChanged(AvahiClient* client, AvahiClientState state) {
        // The first call comes from inside avahi_client_new, before client_ is assigned.
        client_ = client;
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                if (!group_ || avahi_entry_group_is_empty(group_)) {
                    createService();
                }
                break;
            case AVAHI_CLIENT_S_COLLISION:
            case AVAHI_CLIENT_S_REGISTERING:
                // The daemon is (re)establishing its host name; our records come back once it runs.
                if (group_) {
                    avahi_entry_group_reset(group_);
                }
                report(State::registering);
                break;
            case AVAHI_CLIENT_CONNECTING:
                report(State::waitingForDaemon);
                break;
            case AVAHI_CLIENT_FAILURE: {
                const int error = avahi_client_errno(client);
                // The client cannot be freed from inside its own callback.
                std::weak_ptr<Core> weak = weak_from_this();
                queue_->async([weak, error] {
                    if (auto self = weak.lock()) {
                        self->release();
                        if (error == AVAHI_ERR_DISCONNECTED) {
                            // The daemon went away: wait for the next one at once.
                            self->report(State::waitingForDaemon, DnsSdError::daemon(error));
                            self->connect();
                        } else {
                            self->report(State::failed, DnsSdError::daemon(error));
                            self->scheduleRetry();
                        }
                    }
                });
                break;
            }
        }
    }

    void createService() {
        if (!group_) {
            group_ = avahi_entry_group_new(client_, &Core::groupCallback, this);
            if (!group_) {
                fail(avahi_client_errno(client_));
                return;
            }
        }
        if (name_.empty()) {
            const char* host = avahi_client_get_host_name(client_);
            name_ = fitName(host ? host : "Kelvora");
        }
        addService();
    }

    void addService() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            auto list = avahi::toStringList(txt_);
            const int result = avahi_entry_group_add_service_strlst(
                group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags{}, name_.c_str(),
                type_.c_str(), nullptr, nullptr, port_, list.get());
            if (result == AVAHI_ERR_COLLISION) {
                // Taken by another service of this machine: try the next alternative name.
                rename();
                continue;
            }
            if (result < 0) {
                fail(result);
                return;
            }
            const int committed = avahi_entry_group_commit(group_);
            if (committed < 0) {
                fail(committed);
                return;
            }
            report(State::registering);
            return;
        }
        fail(AVAHI_ERR_COLLISION);
    }

    void rename() {
        char* alternative = avahi_alternative_service_name(name_.c_str());
        platformLogger("network").info("Bonjour-Name {} ist vergeben – nehme {}", name_, alternative);
        name_ = alternative;
        avahi_free(alternative);
    }

    static void groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
        static_cast<Core*>(userdata)->groupChanged(group, state);
    }

    void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state) {
        group_ = group;
        switch (state) {
            case AVAHI_ENTRY_GROUP_ESTABLISHED:
                report(State::registered);
                break;
            case AVAHI_ENTRY_GROUP_COLLISION: {
                // Another host announces the same name: withdraw and come back under the next alternative.
                rename();
                std::weak_ptr<Core> weak = weak_from_this();
                queue_->async([weak] {
                    if (auto self = weak.lock(); self && self->group_) {
                        avahi_entry_group_reset(self->group_);
                        self->addService();
                    }
                });
                break;
            }
            case AVAHI_ENTRY_GROUP_FAILURE:
                fail(avahi_client_errno(avahi_entry_group_get_client(group)));
                break;
            case AVAHI_ENTRY_GROUP_UNCOMMITED:
            case AVAHI_ENTRY_GROUP_REGISTERING:
                break;
        }
    }

    void fail(int error) {
        platformLogger("network").error("Bonjour-Registrierung von {} fehlgeschlagen: {}", name_,
                                        avahi_strerror(error));
        report(State::failed, DnsSdError::daemon(error));
        // Start over with a fresh client after a pause; freeing happens in the retry, outside any callback.
        scheduleRetry();
    }

    void report(State state, std::optional<DnsSdError> error = std::nullopt) {
        if (stopped_ || !handler_) {
            return;
        }
        Status status{state, name_, std::move(error)};
        // Posted, not called: the owner may drop us from its handler, which must not happen inside Avahi.
        std::weak_ptr<Core> weak = weak_from_this();
        queue_->async([weak, status = std::move(status)] {
            if (auto self = weak.lock(); self && !self->stopped_ && self->handler_) {
                self->handler_(status);
            }
        });
    }

    std::shared_ptr<SerialQueue> queue_;
    AvahiQueuePoll poll_;
    std::string name_;
    std::string type_;
    uint16_t port_;
    TxtRecord txt_;
    StatusHandler handler_;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    Timer retry_;
    bool started_ = false;
    // Set by the owner's destructor from any thread, so that reports already queued stay silent.
    std::atomic<bool> stopped_{false};
};

DnsSdRegistration::DnsSdRegistration(std::shared_ptr<SerialQueue> queue, std::string name, std::string type,
                                     uint16_t port, TxtRecord txt)
    : core_(std::make_shared<Core>(queue, std::move(name), std::move(type), port, std::move(txt))) {}

DnsSdRegistration::~DnsSdRegistration() {
    // The Avahi objects belong to the queue's thread: they are freed there.
    auto core = std::move(core_);
    core->silence();
    core->queue().async([core] { core->stop(); });
}

std::string DnsSdRegistration::fitName(std::string name) {
    // The daemon's message bus aborts the whole process on a name that is not UTF-8.
    return prefixOfGraphemes(validUtf8(name), std::numeric_limits<std::size_t>::max(), maximumNameLength);
}

void DnsSdRegistration::setStatusHandler(StatusHandler handler) {
    core_->queue().async(
        [core = core_, handler = std::move(handler)]() mutable { core->setHandler(std::move(handler)); });
}

void DnsSdRegistration::start() {
    core_->queue().async([core = core_] { core->start(); });
}

void DnsSdRegistration::updateTxt(TxtRecord txt) {
    core_->queue().async([core = core_, txt = std::move(txt)]() mutable { core->updateTxt(std::move(txt)); });
}

}  // namespace kelvora
