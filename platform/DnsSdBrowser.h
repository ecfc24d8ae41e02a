#pragma once

#include "platform/DnsSdError.h"
#include "platform/SerialQueue.h"
#include "platform/TxtRecord.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvora {

// One service found by a DnsSdBrowser, resolved: where to connect and what its TXT record says.
struct DnsSdService {
    std::string name;
    std::string type;
    std::string domain;
    // The host's DNS-SD name ("studio.local"), for display; connect to `address`, which the resolver found.
    std::string hostName;
    std::string address;
    uint16_t port = 0;
    int interfaceIndex = -1;
    TxtRecord txt;

    bool operator==(const DnsSdService&) const = default;
};

// Browses the local network for one DNS-SD service type with the Avahi daemon and resolves every service it
// finds. The daemon reports a service once per interface and address family; the browser keeps one entry
// per (name, type, domain) and follows changes of its TXT record, address and port.
//
// Threads: every operation may be called from any thread and takes effect on `queue`, which also runs the
// Avahi client and delivers both handlers. Destroying the object ends browsing.
class DnsSdBrowser {
  public:
    enum class State {
        // No daemon (yet); browsing begins when one appears.
        waiting,
        browsing,
        // Browsing ended with an error; the owner decides whether to start a new browser.
        failed,
    };

    struct Status {
        State state = State::waiting;
        std::optional<DnsSdError> error;
    };

    // The complete current list, on every change, sorted by name.
    using ResultsHandler = std::function<void(const std::vector<DnsSdService>&)>;
    using StatusHandler = std::function<void(const Status&)>;

    DnsSdBrowser(std::shared_ptr<SerialQueue> queue, std::string type);
    ~DnsSdBrowser();
    DnsSdBrowser(const DnsSdBrowser&) = delete;
    DnsSdBrowser& operator=(const DnsSdBrowser&) = delete;

    // Both set before start().
    void setResultsHandler(ResultsHandler handler);
    void setStatusHandler(StatusHandler handler);
    void start();

    class Core;

  private:
    std::shared_ptr<Core> core_;
};

}  // namespace kelvora
