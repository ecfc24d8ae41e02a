#include "receiver/session/presenters/LicenseList.h"

#include <cctype>

namespace kelvora {
namespace {

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

bool isHostCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
}

bool isValidAuthority(std::string_view authority) {
    if (authority.empty()) {
        return false;
    }
    std::string_view host = authority;
    std::string_view port;
    if (host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string_view::npos || close == 1) {
            return false;
        }
        for (char c : host.substr(1, close - 1)) {
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') {
                return false;
            }
        }
        std::string_view rest = host.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                return false;
            }
            port = rest.substr(1);
            if (port.empty()) {
                return false;
            }
        }
    } else {
        const size_t colon = host.find(':');
        if (colon != std::string_view::npos) {
            port = host.substr(colon + 1);
            host = host.substr(0, colon);
            if (port.empty()) {
                return false;
            }
        }
        if (host.empty() || host.front() == '.' || host.front() == '-') {
            return false;
        }
        for (char c : host) {
            if (!isHostCharacter(c)) {
                return false;
            }
        }
    }
    if (port.size() > 5) {
        return false;
    }
    for (char c : port) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return port.empty() || std::stoi(std::string(port)) <= 65535;
}

}  // namespace

std::string_view licenseListFooter() {
    return "Video wird ausschließlich mit den Codecs von libx264 und FFmpeg (mit VAAPI, wo vorhanden) "
           "verarbeitet.";
}

std::vector<LicenseRow> licenseRows(const std::vector<LicenseEntry>& entries) {
    std::vector<LicenseRow> rows;
    rows.reserve(entries.size());
    for (const LicenseEntry& entry : entries) {
        rows.push_back(LicenseRow{entry.name, entry.license, "Version " + entry.version, entry.notice,
                                  isLinkableUrl(entry.url) ? entry.url : std::string()});
    }
    return rows;
}

bool isLinkableUrl(std::string_view url) {
    for (char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte == 0x7f) {
            return false;
        }
    }
    std::string_view rest;
    if (startsWithNoCase(url, "https://")) {
        rest = url.substr(8);
    } else if (startsWithNoCase(url, "http://")) {
        rest = url.substr(7);
    } else {
        return false;
    }
    const size_t end = rest.find_first_of("/?#");
    const std::string_view authority = rest.substr(0, end);
    // User information in a link shown to the user only serves to disguise where it leads.
    if (authority.find('@') != std::string_view::npos) {
        return false;
    }
    return isValidAuthority(authority);
}

}  // namespace kelvora
