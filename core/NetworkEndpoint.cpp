#include "core/NetworkEndpoint.h"

namespace kelvora {

NetworkEndpoint::HostPort NetworkEndpoint::connectTarget() const {
    if (const auto* service = asService()) {
        return HostPort{service->address, service->port};
    }
    return *asHostPort();
}

std::string describeEndpoint(const NetworkEndpoint& endpoint) {
    if (const auto* service = endpoint.asService()) {
        return service->name;
    }
    const auto& hostPort = *endpoint.asHostPort();
    std::string host = hostPort.host.substr(0, hostPort.host.find('%'));
    return host + ":" + std::to_string(hostPort.port);
}

std::optional<std::string> endpointHost(const NetworkEndpoint& endpoint) {
    if (const auto* hostPort = endpoint.asHostPort()) {
        return hostPort->host;
    }
    return std::nullopt;
}

}  // namespace kelvora
