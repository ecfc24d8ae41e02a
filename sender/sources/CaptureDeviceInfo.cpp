#include "sender/sources/CaptureDeviceInfo.h"

#include "sender/sources/NameOrder.h"

#include <array>
#include <system_error>
#include <utility>

namespace kelvora {

namespace {

constexpr std::array<std::pair<CaptureDeviceInfo::Connection, std::string_view>, 5> kRawValues{{
    {CaptureDeviceInfo::Connection::usb, "usb"},
    {CaptureDeviceInfo::Connection::deckLink, "deckLink"},
    {CaptureDeviceInfo::Connection::builtIn, "builtIn"},
    {CaptureDeviceInfo::Connection::iPhone, "iPhone"},
    {CaptureDeviceInfo::Connection::other, "other"},
}};

}  // namespace

std::string_view CaptureDeviceInfo::rawValue(Connection connection) {
    for (const auto& [value, raw] : kRawValues) {
        if (value == connection) {
            return raw;
        }
    }
    return "other";
}

std::optional<CaptureDeviceInfo::Connection> CaptureDeviceInfo::connectionFromRawValue(std::string_view raw) {
    for (const auto& [value, text] : kRawValues) {
        if (text == raw) {
            return value;
        }
    }
    return std::nullopt;
}

std::string CaptureDeviceInfo::symbolName() const {
    switch (connection) {
        case Connection::deckLink:
            return "rectangle.connected.to.line.below";
        case Connection::builtIn:
            return "web.camera";
        case Connection::iPhone:
            return "iphone";
        case Connection::usb:
        case Connection::other:
            break;
    }
    return isExternal ? "cable.connector.horizontal" : "web.camera";
}

std::string CaptureDeviceInfo::displayName() const {
    switch (connection) {
        case Connection::usb:
            return name + " \u00B7 USB (UVC)";
        case Connection::deckLink:
            return name + " \u00B7 DeckLink/UltraStudio";
        case Connection::iPhone:
            return name + " \u00B7 iPhone";
        case Connection::builtIn:
        case Connection::other:
            break;
    }
    return name;
}

CaptureDeviceInfo::Connection CaptureDeviceInfo::classify(CaptureTransport transport,
                                                          std::string_view manufacturer,
                                                          std::string_view name, std::string_view modelID) {
    if (transport == CaptureTransport::usb) {
        return Connection::usb;
    }
    if (transport == CaptureTransport::builtIn) {
        return Connection::builtIn;
    }
    if (containsIgnoringCase(manufacturer, "Blackmagic") || containsIgnoringCase(name, "Blackmagic") ||
        containsIgnoringCase(name, "DeckLink") || containsIgnoringCase(name, "UltraStudio")) {
        return Connection::deckLink;
    }
    if (modelID.starts_with("iPhone")) {
        return Connection::iPhone;
    }
    return Connection::other;
}

CaptureDeviceInfo CaptureDeviceInfo::from(const CaptureDevice& device) {
    CaptureDeviceInfo info;
    info.id = device.id;
    info.name = device.name;
    info.manufacturer = device.manufacturer;
    // Everything that is not part of the computer counts as external, cards and virtual devices included.
    info.isExternal = device.transport != CaptureTransport::builtIn;
    info.connection = classify(device.transport, device.manufacturer, device.name, device.modelID);
    return info;
}

bool CaptureDeviceInfo::isDeckLinkDriverInstalled() {
    return isDeckLinkDriverInstalled("/");
}

bool CaptureDeviceInfo::isDeckLinkDriverInstalled(const std::filesystem::path& root) {
    // The vendor's Linux package installs its API library and a folder of its own tools and firmware.
    std::error_code error;
    if (std::filesystem::exists(root / "usr/lib/libDeckLinkAPI.so", error)) {
        return true;
    }
    return std::filesystem::exists(root / "usr/lib/blackmagic", error);
}

}  // namespace kelvora
