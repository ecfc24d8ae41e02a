#include "receiver/player/SenderAddressEntry.h"

#include <algorithm>
#include <string>

#include "core/KelvoraService.h"
#include "receiver/player/PlayerPreferences.h"

namespace kelvora {

namespace {

// Port 0 would make every connection attempt fail at once and be retried forever.
uint16_t usablePort(uint16_t port) {
    return port == 0 ? KelvoraService::defaultPort : port;
}

}  // namespace

std::optional<HostPortEndpoint> parseSenderAddress(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
    const HostPortEndpoint whole{std::string(text), KelvoraService::defaultPort};

    if (text.front() == '[') {
        const size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return whole;
        }
        const std::string_view host = text.substr(1, close - 1);
        if (host.find_first_not_of(" \t") == std::string_view::npos) {
            // Empty brackets name no host at all; there would be nothing to connect to.
            return std::nullopt;
        }
        const std::string_view rest = text.substr(close + 1);
        if (rest.empty()) {
            return HostPortEndpoint{std::string(host), KelvoraService::defaultPort};
        }
        if (rest.front() == ':') {
            if (const auto port = parseUInt16(rest.substr(1))) {
                return HostPortEndpoint{std::string(host), usablePort(*port)};
            }
        }
        return whole;
    }

    if (std::count(text.begin(), text.end(), ':') != 1) {
        return whole;
    }
    const size_t colon = text.find(':');
    const auto port = parseUInt16(text.substr(colon + 1));
    if (!port || colon == 0) {
        return whole;
    }
    return HostPortEndpoint{std::string(text.substr(0, colon)), usablePort(*port)};
}

}  // namespace kelvora
