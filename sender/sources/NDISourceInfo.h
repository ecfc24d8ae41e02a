#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace kelvora {

// One NDI source on the network, by the name the runtime reports: by NDI custom the machine's name, a blank
// and the source's name in parentheses ("Studio-PC (Kamera 1)").
struct NDISourceInfo {
    std::string name;

    // "ndi:" and the name: the identifier of the video source that receives it.
    std::string id() const { return "ndi:" + name; }
    // What comes before the first " ("; the whole name without one.
    std::string machineName() const;
    // Between the first "(" and the final ")" when the name ends with ")"; the whole name otherwise.
    std::string sourceName() const;

    bool operator==(const NDISourceInfo&) const = default;
};

}  // namespace kelvora

template <>
struct std::hash<kelvora::NDISourceInfo> {
    size_t operator()(const kelvora::NDISourceInfo& info) const noexcept {
        return std::hash<std::string>{}(info.name);
    }
};
