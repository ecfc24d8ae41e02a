#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace kelvora {

// One row of the licences window: a component the program is made of and the notice that goes with it.
struct LicenseEntry {
    std::string name;     // display name, and the registry's key
    std::string version;  // version text
    std::string license;  // short licence label (an SPDX expression), not the licence text
    std::string url;      // where the component's terms can be read; may be empty
    std::string notice;   // shown under the entry

    const std::string& id() const { return name; }

    bool operator==(const LicenseEntry&) const = default;
};

}  // namespace kelvora

template <>
struct std::hash<kelvora::LicenseEntry> {
    size_t operator()(const kelvora::LicenseEntry& entry) const noexcept {
        size_t seed = 0;
        for (const std::string* field :
             {&entry.name, &entry.version, &entry.license, &entry.url, &entry.notice}) {
            seed ^= std::hash<std::string>{}(*field) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
        }
        return seed;
    }
};
