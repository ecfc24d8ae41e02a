#include "core/WireFaultLog.h"

#include "core/Log.h"
#include "core/PeerText.h"

namespace kelvora {

namespace {

// Long enough for a decoder's description of what was wrong.
constexpr std::size_t maximumErrorCharacters = 200;

}  // namespace

WireFaultLog::WireFaultLog(spdlog::logger& logger, Clock clock) : logger_(logger), clock_(std::move(clock)) {}

const std::shared_ptr<WireFaultLog>& WireFaultLog::sender() {
    static const auto log = std::make_shared<WireFaultLog>(Log::network());
    return log;
}

const std::shared_ptr<WireFaultLog>& WireFaultLog::viewer() {
    static const auto log = std::make_shared<WireFaultLog>(ViewerLog::network());
    return log;
}

void WireFaultLog::unreadableMessage(const WireError& error) {
    std::optional<int64_t> count;
    {
        std::lock_guard lock(mutex_);
        count = unreadable_.count(clock_());
    }
    if (count) {
        logger_.error("Nachricht nicht lesbar: {} ({} seit der letzten Meldung)",
                      peerText(error.text(), maximumErrorCharacters), *count);
    }
}

void WireFaultLog::invalidHeader(const WireError& error) {
    std::optional<int64_t> count;
    {
        std::lock_guard lock(mutex_);
        count = header_.count(clock_());
    }
    if (count) {
        logger_.error("Ungültiger Header: {} ({} seit der letzten Meldung)",
                      peerText(error.text(), maximumErrorCharacters), *count);
    }
}

}  // namespace kelvora
