#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/LicenseEntry.h"

namespace kelvora {

// One row of the licence list: what the row shows, ready to bind.
struct LicenseRow {
    std::string name;
    std::string license;      // the badge
    std::string versionText;  // "Version 6.1.1"
    std::string notice;
    std::string link;  // the entry's URL when it can be opened as a web link; empty shows no link

    bool operator==(const LicenseRow&) const = default;
};

inline constexpr std::string_view kLicenseListTitle = "Lizenzen";

// Says which libraries process video on this system.
std::string_view licenseListFooter();

// The rows for `entries`, in their order.
std::vector<LicenseRow> licenseRows(const std::vector<LicenseEntry>& entries);

// Whether `url` is a web address that a link may open: http or https, a host of letters, digits, dots,
// hyphens (or a bracketed IPv6 address), an optional port, and no blanks or control characters anywhere.
// Anything else (a file path, a javascript: address, a text that is no address at all) shows no link.
bool isLinkableUrl(std::string_view url);

}  // namespace kelvora
