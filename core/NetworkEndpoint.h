#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

namespace kelvora {

// A host (name or address text) with a port.
struct HostPortEndpoint {
    std::string host;
    uint16_t port = 0;
    bool operator==(const HostPortEndpoint&) const = default;
};

// A browsed DNS-SD service, with the address and port its resolution gave (".local" names are not for the
// system resolver, so a connection goes to that address).
struct ServiceEndpoint {
    std::string name;
    std::string type;
    std::string domain;
    std::string address;
    uint16_t port = 0;
    bool operator==(const ServiceEndpoint&) const = default;
};

// Where a connection goes or came from.
struct NetworkEndpoint {
    using HostPort = HostPortEndpoint;
    using Service = ServiceEndpoint;

    std::variant<HostPort, Service> value;

    static NetworkEndpoint hostPort(std::string host, uint16_t port) {
        return NetworkEndpoint{HostPort{std::move(host), port}};
    }
    static NetworkEndpoint service(std::string name, std::string type, std::string domain,
                                   std::string address, uint16_t port) {
        return NetworkEndpoint{
            Service{std::move(name), std::move(type), std::move(domain), std::move(address), port}};
    }

    const HostPort* asHostPort() const { return std::get_if<HostPort>(&value); }
    const Service* asService() const { return std::get_if<Service>(&value); }
    // Where to connect: the host and port themselves, or the resolved address of a service.
    HostPort connectTarget() const;

    bool operator==(const NetworkEndpoint&) const = default;
};

// Text for logs and the client list: a host and port as host (without any "%zone" suffix), ":" and the
// port, so fe80::1%en0 port 47810 reads fe80::1:47810; a service as its name.
std::string describeEndpoint(const NetworkEndpoint& endpoint);

// The host of a host-and-port endpoint; none for a service.
std::optional<std::string> endpointHost(const NetworkEndpoint& endpoint);

}  // namespace kelvora
