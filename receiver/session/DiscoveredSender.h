#pragma once

#include "core/NetworkEndpoint.h"
#include "core/ServiceAnnouncement.h"

#include <functional>
#include <optional>
#include <string>

namespace kelvora {

// One row of the viewer's sender list: a sender found on the local network, or an address the user typed.
struct DiscoveredSender {
    // The announced sender id; for a typed address "direct:" + host + ":" + port.
    std::string id;
    // The DNS-SD service name; for a typed address the given name, else the host.
    std::string name;
    NetworkEndpoint endpoint;
    ServiceAnnouncement announcement;
    bool isDirect = false;

    // A typed address. A port outside 1...65535 falls back to the default control port. The announcement is
    // what a current sender offers: version 4, QUIC and TCP, HEVC, 1920×1080 at 60 fps, live.
    static DiscoveredSender direct(const std::string& host, int port,
                                   std::optional<std::string> id = std::nullopt,
                                   std::optional<std::string> name = std::nullopt);

    // The row's detail line: "1080p30 · HEVC · Live", or "direkt per IP-Adresse" for a typed address.
    std::string subtitle() const;

    // Whether a row is direct takes no part in equality.
    bool operator==(const DiscoveredSender& other) const {
        return id == other.id && name == other.name && announcement == other.announcement &&
               endpoint == other.endpoint;
    }
};

}  // namespace kelvora

// Rows are identified by their sender id alone.
template <>
struct std::hash<kelvora::DiscoveredSender> {
    size_t operator()(const kelvora::DiscoveredSender& sender) const noexcept {
        return std::hash<std::string>{}(sender.id);
    }
};
