#pragma once

#include <cstdint>
#include <string_view>

namespace kelvora {

// How a sender is announced and reached on the local network.
struct KelvoraService {
    KelvoraService() = delete;

    static constexpr std::string_view serviceType = "_kelvora._tcp";
    static constexpr std::string_view domain = "local.";
    // Also the QUIC application protocol.
    static constexpr std::string_view protocolIdentifier = "kelvora/1";
    // TCP port of the sender's control listener.
    static constexpr uint16_t defaultPort = 47810;
};

}  // namespace kelvora
