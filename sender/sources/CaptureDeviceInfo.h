#pragma once

#include "sender/sources/CaptureDevice.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kelvora {

// One entry of the capture-device list that the source pickers show and the pipeline opens by `id`.
struct CaptureDeviceInfo {
    enum class Connection : unsigned char { usb, deckLink, builtIn, iPhone, other };

    // The same string is the capture source's identifier.
    std::string id;
    std::string name;
    std::string manufacturer;
    bool isExternal = false;
    Connection connection = Connection::other;

    const std::string& identifier() const { return id; }

    // "usb", "deckLink", "builtIn", "iPhone", "other": the stored form of a connection kind.
    static std::string_view rawValue(Connection connection);
    // Exactly the five raw values, case-sensitive; nothing for any other text.
    static std::optional<Connection> connectionFromRawValue(std::string_view raw);

    // The symbol the user interface draws beside the device.
    std::string symbolName() const;
    // The name with the connection label: "Cam Link 4K · USB (UVC)".
    std::string displayName() const;

    // First match wins: a USB transport, a built-in transport, the professional-card vendor named by the
    // manufacturer or the device name (whatever its transport), a model id of a phone, anything else.
    static Connection classify(CaptureTransport transport, std::string_view manufacturer,
                               std::string_view name, std::string_view modelID);
    static CaptureDeviceInfo from(const CaptureDevice& device);

    // Whether the driver software of the professional capture cards is installed, so that the user
    // interface can offer setup help. Checked anew on every call; `root` is "/" outside tests.
    static bool isDeckLinkDriverInstalled();
    static bool isDeckLinkDriverInstalled(const std::filesystem::path& root);

    bool operator==(const CaptureDeviceInfo&) const = default;
};

}  // namespace kelvora

template <>
struct std::hash<kelvora::CaptureDeviceInfo> {
    size_t operator()(const kelvora::CaptureDeviceInfo& info) const noexcept {
        size_t seed = 0;
        const auto mix = [&seed](size_t value) {
            seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
        };
        mix(std::hash<std::string>{}(info.id));
        mix(std::hash<std::string>{}(info.name));
        mix(std::hash<std::string>{}(info.manufacturer));
        mix(std::hash<bool>{}(info.isExternal));
        mix(std::hash<std::string_view>{}(kelvora::CaptureDeviceInfo::rawValue(info.connection)));
        return seed;
    }
};
