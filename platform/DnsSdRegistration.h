#pragma once

#include "platform/DnsSdError.h"
#include "platform/SerialQueue.h"
#include "platform/TxtRecord.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace kelvora {

// One DNS-SD service registered with the Avahi daemon: a name, a type such as "_kelvora._tcp", a port and
// a TXT record. The TXT record can be replaced while the service stays registered. A name already taken on
// the network is replaced by the next free alternative ("Name #2"). Without a daemon the registration waits
// and registers as soon as one appears; a daemon that restarts gets the service again.
//
// Threads: every operation may be called from any thread and takes effect on `queue`, which also runs the
// Avahi client and delivers the status handler. Destroying the object withdraws the service.
class DnsSdRegistration {
  public:
    enum class State {
        // No daemon yet (or it went away); registers once one appears.
        waitingForDaemon,
        // Sent to the daemon, probing the name on the network.
        registering,
        // Visible on the network under `Status::name`.
        registered,
        // The daemon refused the service; retried after a pause.
        failed,
    };

    struct Status {
        State state = State::waitingForDaemon;
        // The name registered or being registered: the requested one, or its alternative after a collision.
        std::string name;
        std::optional<DnsSdError> error;
    };

    using StatusHandler = std::function<void(const Status&)>;

    // DNS-SD names carry at most 63 bytes; a longer name is cut between two user-perceived characters. An
    // empty name is replaced by the host's name.
    DnsSdRegistration(std::shared_ptr<SerialQueue> queue, std::string name, std::string type, uint16_t port,
                      TxtRecord txt);
    ~DnsSdRegistration();
    DnsSdRegistration(const DnsSdRegistration&) = delete;
    DnsSdRegistration& operator=(const DnsSdRegistration&) = delete;

    // Set before start(); called on the queue with every change of state.
    void setStatusHandler(StatusHandler handler);
    void start();
    // Replaces the TXT record of the registered service in place (the name and port stay).
    void updateTxt(TxtRecord txt);

    // The longest instance name DNS-SD allows, in bytes.
    static constexpr std::size_t maximumNameLength = 63;
    // `name` made valid UTF-8 and cut to at most 63 bytes without splitting a user-perceived character.
    static std::string fitName(std::string name);

    class Core;

  private:
    std::shared_ptr<Core> core_;
};

}  // namespace kelvora
