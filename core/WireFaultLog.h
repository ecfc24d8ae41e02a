#pragma once

#include "core/MonotonicClock.h"
#include "core/WireError.h"
#include "platform/LogThrottle.h"

#include <spdlog/logger.h>

#include <chrono>
#include <memory>
#include <mutex>

namespace kelvora {

// Where connections write what their peer sent wrong: into their owner's category, at most one line per
// kind and interval with the count of the lines passed over. One object serves every connection of a side,
// so that neither a flood of unreadable messages on one connection nor a storm of connections that each
// send one bad header can fill the disk. The error's text may quote the peer and is cleaned before it is
// written. Thread-safe: a side's connections run on several queues.
class WireFaultLog {
  public:
    static constexpr auto interval = std::chrono::seconds(1);

    explicit WireFaultLog(spdlog::logger& logger, Clock clock = MonotonicClock::system());

    // The sending side's and the receiving side's, each under its own prefix.
    static const std::shared_ptr<WireFaultLog>& sender();
    static const std::shared_ptr<WireFaultLog>& viewer();

    // A message whose payload did not decode; the conversation goes on.
    void unreadableMessage(const WireError& error);
    // A header that ends the connection.
    void invalidHeader(const WireError& error);

    // The side's category, for the connection's other lines.
    spdlog::logger& logger() const { return logger_; }

  private:
    spdlog::logger& logger_;
    Clock clock_;
    std::mutex mutex_;
    LogThrottle unreadable_{interval};
    LogThrottle header_{interval};
};

}  // namespace kelvora
