#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ifaddrs;

namespace kelvora {

// How long something has run, for the clients panel ("42 s", "59 min", "2 h 2 min"). The difference is cut
// to whole seconds toward zero; a start in the future gives negative seconds ("-3 s").
std::string elapsedText(std::chrono::system_clock::time_point since,
                        std::chrono::system_clock::time_point now);

// "<version> (<build>)": "1.4 (27)". A value that is missing or empty reads as "1.0" and "1".
std::string appVersionText(std::optional<std::string_view> shortVersion,
                           std::optional<std::string_view> build);
// The text of this program: the project version and the build number the build was configured with.
std::string appVersionText();

// The IPv4 addresses a viewer can type in when discovery fails: interfaces that are up and not loopback,
// in the system's order, each address once, without link-local 169.254 addresses. Empty when there are
// none or the interfaces cannot be listed.
std::vector<std::string> localIPv4Addresses();
// The same rule over a list the system gave (or a test built).
std::vector<std::string> localIPv4Addresses(const ifaddrs* interfaces);

}  // namespace kelvora
