#include "platform/DnsSdBrowser.h"

#include "platform/AvahiQueuePoll.h"
#include "platform/AvahiStrings.h"
#include "platform/Utf8.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/error.h>

#include <net/if.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <set>
#include <tuple>

namespace kelvora {

namespace {

// The numeric address; a link-local IPv6 address carries its interface ("fe80::1%eth0"), without which
// it cannot be connected to.
std::string addressText(const AvahiAddress* address, AvahiIfIndex interface) {
    if (!address) {
        return {};
    }
    char text[AVAHI_ADDRESS_STR_MAX] = {};
    avahi_address_snprint(text, sizeof text, address);
    std::string result = text;
    const bool linkLocal = address->proto == AVAHI_PROTO_INET6 && address->data.ipv6.address[0] == 0xFE &&
                           (address->data.ipv6.address[1] & 0xC0) == 0x80;
    char name[IF_NAMESIZE] = {};
    if (linkLocal && interface >= 0 && if_indextoname(static_cast<unsigned>(interface), name)) {
        result += '%';
        result += name;
    }
    return result;
}

// A resolver that timed out is tried again after this pause while the service is still listed.
constexpr auto resolveRetryDelay = std::chrono::seconds(2);
}  // namespace

class DnsSdBrowser::Core : public std::enable_shared_from_this<Core> {
  public:
    Core(std::shared_ptr<SerialQueue> queue, std::string type)
        : queue_(std::move(queue)), poll_(queue_->context()), type_(std::move(type)) {}

    ~Core() { release(); }

    SerialQueue& queue() { return *queue_; }
    void setResultsHandler(ResultsHandler handler) { resultsHandler_ = std::move(handler); }
    void setStatusHandler(StatusHandler handler) { statusHandler_ = std::move(handler); }

    void start() {
        if (started_ || stopped_) {
            return;
        }
        started_ = true;
        int error = 0;
        client_ = avahi_client_new(poll_.api(), AVAHI_CLIENT_NO_FAIL, &Core::clientCallback, this, &error);
        if (!client_) {
            report(State::failed, DnsSdError::daemon(error));
        }
    }

    void silence() { stopped_ = true; }

    void stop() {
        stopped_ = true;
        release();
    }

  private:
    // One report of the daemon: a service on one interface and address family.
    struct Instance {
        Core* core = nullptr;
        AvahiIfIndex interface = AVAHI_IF_UNSPEC;
        AvahiProtocol protocol = AVAHI_PROTO_UNSPEC;
        std::string name;
        std::string type;
        std::string domain;
        AvahiServiceResolver* resolver = nullptr;
        std::optional<DnsSdService> resolved;
        Timer retry;

        ~Instance() {
            if (resolver) {
                avahi_service_resolver_free(resolver);
            }
        }
    };
    using Key = std::tuple<std::string, std::string, std::string, AvahiIfIndex, AvahiProtocol>;

    void release() {
        instances_.clear();
        if (browser_) {
            avahi_service_browser_free(browser_);
            browser_ = nullptr;
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
        client_ = client;
        switch (state) {
            case AVAHI_CLIENT_S_RUNNING:
                if (!browser_) {
                    browser_ =
                        avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, type_.c_str(),
                                                  nullptr, AvahiLookupFlags{}, &Core::browserCallback, this);
                    if (browser_) {
                        report(State::browsing);
                    } else {
                        failLater(avahi_client_errno(client));
                    }
                }
                break;
            case AVAHI_CLIENT_CONNECTING:
                report(State::waiting);
                break;
            case AVAHI_CLIENT_FAILURE:
                failLater(avahi_client_errno(client));
                break;
            case AVAHI_CLIENT_S_REGISTERING:
            case AVAHI_CLIENT_S_COLLISION:
                break;
        }
    }

    // Avahi objects cannot be freed from inside their own callbacks: the end is taken on the next turn.
    void failLater(int error) {
        std::weak_ptr<Core> weak = weak_from_this();
        queue_->async([weak, error] {
            if (auto self = weak.lock(); self && !self->stopped_) {
                self->release();
                self->report(State::failed, DnsSdError::daemon(error));
            }
        });
    }

    static void browserCallback(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
                                AvahiBrowserEvent event, const char* name, const char* type,
                                const char* domain, AvahiLookupResultFlags, void* userdata) {
        auto* core = static_cast<Core*>(userdata);
        switch (event) {
            case AVAHI_BROWSER_NEW:
                core->added(interface, protocol, name, type, domain);
                break;
            case AVAHI_BROWSER_REMOVE:
                core->removed(interface, protocol, name, type, domain);
                break;
            case AVAHI_BROWSER_FAILURE:
                core->failLater(avahi_client_errno(core->client_));
                break;
            case AVAHI_BROWSER_CACHE_EXHAUSTED:
            case AVAHI_BROWSER_ALL_FOR_NOW:
                break;
        }
    }

    void added(AvahiIfIndex interface, AvahiProtocol protocol, const char* name, const char* type,
               const char* domain) {
        Key key{name, type, domain, interface, protocol};
        if (instances_.count(key)) {
            return;
        }
        auto instance = std::make_unique<Instance>();
        instance->core = this;
        instance->interface = interface;
        instance->protocol = protocol;
        instance->name = name;
        instance->type = type;
        instance->domain = domain;
        Instance& stored = *instances_.emplace(std::move(key), std::move(instance)).first->second;
        resolve(stored);
    }

    void removed(AvahiIfIndex interface, AvahiProtocol protocol, const char* name, const char* type,
                 const char* domain) {
        if (instances_.erase(Key{name, type, domain, interface, protocol}) > 0) {
            publish();
        }
    }

    void resolve(Instance& instance) {
        // The resolver stays open: the daemon reports every later change of the TXT record, address or port.
        instance.resolver =
            avahi_service_resolver_new(client_, instance.interface, instance.protocol, instance.name.c_str(),
                                       instance.type.c_str(), instance.domain.c_str(), AVAHI_PROTO_UNSPEC,
                                       AvahiLookupFlags{}, &Core::resolverCallback, &instance);
        if (!instance.resolver) {
            retryResolve(instance);
        }
    }

    void retryResolve(Instance& instance) {
        std::weak_ptr<Core> weak = weak_from_this();
        Key key{instance.name, instance.type, instance.domain, instance.interface, instance.protocol};
        instance.retry = queue_->after(resolveRetryDelay, [weak, key] {
            auto self = weak.lock();
            if (!self || !self->client_) {
                return;
            }
            if (auto found = self->instances_.find(key);
                found != self->instances_.end() && !found->second->resolver) {
                self->resolve(*found->second);
            }
        });
    }

    static void resolverCallback(AvahiServiceResolver* resolver, AvahiIfIndex interface, AvahiProtocol,
                                 AvahiResolverEvent event, const char* name, const char* type,
                                 const char* domain, const char* hostName, const AvahiAddress* address,
                                 uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags,
                                 void* userdata) {
        auto* instance = static_cast<Instance*>(userdata);
        Core* core = instance->core;
        if (event == AVAHI_RESOLVER_FAILURE) {
            // Freeing a resolver inside its own callback is how Avahi means it to be done.
            avahi_service_resolver_free(resolver);
            instance->resolver = nullptr;
            const bool hadResult = instance->resolved.has_value();
            instance->resolved.reset();
            core->retryResolve(*instance);
            if (hadResult) {
                core->publish();
            }
            return;
        }
        std::string text = addressText(address, interface);
        DnsSdService service;
        service.name = validUtf8(name ? name : instance->name);
        service.type = type ? type : instance->type;
        service.domain = domain ? domain : instance->domain;
        service.hostName = hostName ? hostName : "";
        service.address = std::move(text);
        service.port = port;
        service.interfaceIndex = interface;
        service.txt = TxtRecord::fromStrings(avahi::fromStringList(txt));
        if (instance->resolved != service) {
            instance->resolved = std::move(service);
            core->publish();
        }
    }

    void publish() {
        std::vector<DnsSdService> services;
        std::set<std::tuple<std::string, std::string, std::string>> seen;
        for (const auto& [key, instance] : instances_) {
            if (!instance->resolved) {
                continue;
            }
            if (seen.emplace(instance->name, instance->type, instance->domain).second) {
                services.push_back(*instance->resolved);
            }
        }
        if (services == lastPublished_) {
            return;  // another interface or family of a service already listed
        }
        lastPublished_ = services;
        std::weak_ptr<Core> weak = weak_from_this();
        queue_->async([weak, services = std::move(services)] {
            if (auto self = weak.lock(); self && !self->stopped_ && self->resultsHandler_) {
                self->resultsHandler_(services);
            }
        });
    }

    void report(State state, std::optional<DnsSdError> error = std::nullopt) {
        std::weak_ptr<Core> weak = weak_from_this();
        queue_->async([weak, status = Status{state, std::move(error)}] {
            if (auto self = weak.lock(); self && !self->stopped_ && self->statusHandler_) {
                self->statusHandler_(status);
            }
        });
    }

    std::shared_ptr<SerialQueue> queue_;
    AvahiQueuePoll poll_;
    std::string type_;
    ResultsHandler resultsHandler_;
    StatusHandler statusHandler_;
    AvahiClient* client_ = nullptr;
    AvahiServiceBrowser* browser_ = nullptr;
    // Ordered by name first, so the published list comes out sorted by name.
    std::map<Key, std::unique_ptr<Instance>> instances_;
    std::vector<DnsSdService> lastPublished_;
    bool started_ = false;
    // Set by the owner's destructor from any thread, so that reports already queued stay silent.
    std::atomic<bool> stopped_{false};
};

DnsSdBrowser::DnsSdBrowser(std::shared_ptr<SerialQueue> queue, std::string type)
    : core_(std::make_shared<Core>(std::move(queue), std::move(type))) {}

DnsSdBrowser::~DnsSdBrowser() {
    auto core = std::move(core_);
    core->silence();
    core->queue().async([core] { core->stop(); });
}

void DnsSdBrowser::setResultsHandler(ResultsHandler handler) {
    core_->queue().async([core = core_, handler = std::move(handler)]() mutable {
        core->setResultsHandler(std::move(handler));
    });
}

void DnsSdBrowser::setStatusHandler(StatusHandler handler) {
    core_->queue().async([core = core_, handler = std::move(handler)]() mutable {
        core->setStatusHandler(std::move(handler));
    });
}

void DnsSdBrowser::start() {
    core_->queue().async([core = core_] { core->start(); });
}

}  // namespace kelvora
