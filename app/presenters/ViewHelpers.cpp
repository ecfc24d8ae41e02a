#include "app/presenters/ViewHelpers.h"

#include <algorithm>
#include <array>

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#ifndef KELVORA_BUILD_NUMBER
#error "the build passes the build number"
#endif

namespace kelvora {

std::string elapsedText(std::chrono::system_clock::time_point since,
                        std::chrono::system_clock::time_point now) {
    // duration_cast truncates toward zero, as the text wants; the difference of two time points on the same
    // clock cannot overflow its own representation in any realistic range.
    const long long s = std::chrono::duration_cast<std::chrono::seconds>(now - since).count();
    if (s <= 59) {
        return std::to_string(s) + " s";
    }
    if (s <= 3599) {
        return std::to_string(s / 60) + " min";
    }
    return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
}

std::string appVersionText(std::optional<std::string_view> shortVersion,
                           std::optional<std::string_view> build) {
    const std::string_view version = shortVersion && !shortVersion->empty() ? *shortVersion : "1.0";
    const std::string_view number = build && !build->empty() ? *build : "1";
    std::string text(version);
    text += " (";
    text += number;
    text += ")";
    return text;
}

std::string appVersionText() {
    return appVersionText(KELVORA_VERSION, KELVORA_BUILD_NUMBER);
}

std::vector<std::string> localIPv4Addresses(const ifaddrs* interfaces) {
    std::vector<std::string> result;
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || (entry->ifa_flags & IFF_UP) == 0 ||
            (entry->ifa_flags & IFF_LOOPBACK) != 0 || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        std::array<char, NI_MAXHOST> host{};
        if (getnameinfo(entry->ifa_addr, sizeof(sockaddr_in), host.data(), host.size(), nullptr, 0,
                        NI_NUMERICHOST) != 0) {
            continue;
        }
        std::string text(host.data());
        if (text.starts_with("169.254") || std::find(result.begin(), result.end(), text) != result.end()) {
            continue;
        }
        result.push_back(std::move(text));
    }
    return result;
}

std::vector<std::string> localIPv4Addresses() {
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return {};
    }
    auto result = localIPv4Addresses(interfaces);
    freeifaddrs(interfaces);
    return result;
}

}  // namespace kelvora
