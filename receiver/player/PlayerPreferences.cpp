#include "receiver/player/PlayerPreferences.h"

#include <vector>

#include "core/Log.h"
#include "platform/ComputerName.h"
#include "platform/Uuid.h"

namespace kelvora {

namespace {

constexpr std::string_view engineSuffix = "engine";
constexpr std::string_view overlaySuffix = "overlay";
constexpr std::string_view smoothSuffix = "smoothPlayback";
constexpr std::string_view qualitySuffix = "quality";
constexpr std::string_view lastSenderSuffix = "lastSender";
constexpr std::string_view lastAddressSuffix = "lastAddress";

}  // namespace

std::string PlayerConfiguration::defaultClientName() {
    return computerName();
}

std::string_view streamQualityName(StreamQuality quality) {
    switch (quality) {
        case StreamQuality::full:
            return "full";
        case StreamQuality::proxy:
            return "proxy";
        case StreamQuality::automatic:
            break;
    }
    return "automatic";
}

std::optional<uint16_t> parseUInt16(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
        if (value > 65535) {
            return std::nullopt;
        }
    }
    if (negative && value != 0) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

std::string encodeRememberedAddress(const RememberedAddress& address) {
    std::string name = address.name;
    for (char& c : name) {
        if (c == '|') {
            c = ' ';
        }
    }
    return address.host + "|" + std::to_string(address.port) + "|" + address.id + "|" + name;
}

std::optional<RememberedAddress> decodeRememberedAddress(std::string_view text) {
    std::vector<std::string_view> parts;
    size_t begin = 0;
    while (parts.size() <= 4) {
        const size_t bar = text.find('|', begin);
        parts.push_back(
            text.substr(begin, bar == std::string_view::npos ? std::string_view::npos : bar - begin));
        if (bar == std::string_view::npos) {
            break;
        }
        begin = bar + 1;
    }
    if (parts.size() != 4) {
        return std::nullopt;
    }
    const auto port = parseUInt16(parts[1]);
    if (!port) {
        return std::nullopt;
    }
    return RememberedAddress{std::string(parts[0]), *port, std::string(parts[2]), std::string(parts[3])};
}

PlayerPreferences::PlayerPreferences(UserDefaults& defaults, std::string storageKey)
    : defaults_(defaults), storageKey_(std::move(storageKey)) {}

UserDefaults& PlayerPreferences::viewerDefaults() {
    // The viewer's own category for the store's troubles too: a damaged preferences file is the viewer's.
    static UserDefaults defaults{std::string(kViewerLoggerPrefix), UserDefaults::defaultRoot(),
                                 ViewerLog::player()};
    return defaults;
}

std::string PlayerPreferences::key(std::string_view suffix) const {
    return storageKey_ + "." + std::string(suffix);
}

void PlayerPreferences::store(const std::string& key, UserDefaults::Json value) const {
    try {
        defaults_.set(key, std::move(value));
    } catch (const UserDefaultsError& error) {
        ViewerLog::player().error("Einstellung {} nicht gespeichert: {}", key, error.what());
    }
}

void PlayerPreferences::erase(const std::string& key) const {
    try {
        defaults_.remove(key);
    } catch (const UserDefaultsError& error) {
        ViewerLog::player().error("Einstellung {} nicht entfernt: {}", key, error.what());
    }
}

EngineKind PlayerPreferences::engine(const EngineKind& fallback) const {
    if (auto stored = defaults_.string(key(engineSuffix))) {
        return EngineKind{*stored};
    }
    return fallback;
}

void PlayerPreferences::setEngine(const EngineKind& engine) {
    store(key(engineSuffix), engine.rawValue);
}

bool PlayerPreferences::showsDebugOverlay() const {
    return defaults_.boolValue(key(overlaySuffix)).value_or(false);
}

void PlayerPreferences::setShowsDebugOverlay(bool shows) {
    store(key(overlaySuffix), shows);
}

bool PlayerPreferences::smoothPlayback() const {
    return defaults_.boolValue(key(smoothSuffix)).value_or(true);
}

void PlayerPreferences::setSmoothPlayback(bool smooth) {
    store(key(smoothSuffix), smooth);
}

StreamQuality PlayerPreferences::quality() const {
    const auto stored = defaults_.string(key(qualitySuffix));
    for (StreamQuality quality : allStreamQualities) {
        if (stored && *stored == streamQualityName(quality)) {
            return quality;
        }
    }
    return StreamQuality::automatic;
}

void PlayerPreferences::setQuality(StreamQuality quality) {
    store(key(qualitySuffix), std::string(streamQualityName(quality)));
}

std::optional<std::string> PlayerPreferences::lastSenderID() const {
    return defaults_.string(key(lastSenderSuffix));
}

void PlayerPreferences::setLastSenderID(const std::optional<std::string>& id) {
    if (id) {
        store(key(lastSenderSuffix), *id);
    } else {
        erase(key(lastSenderSuffix));
    }
}

std::optional<RememberedAddress> PlayerPreferences::rememberedAddress() const {
    const auto stored = defaults_.string(key(lastAddressSuffix));
    return stored ? decodeRememberedAddress(*stored) : std::nullopt;
}

void PlayerPreferences::setRememberedAddress(const std::optional<RememberedAddress>& address) {
    if (address) {
        store(key(lastAddressSuffix), encodeRememberedAddress(*address));
    } else {
        erase(key(lastAddressSuffix));
    }
}

std::string PlayerPreferences::clientID() const {
    const std::string globalKey(clientIDKey);
    if (auto stored = defaults_.string(globalKey); stored && isUuidText(*stored)) {
        return *stored;
    }
    std::string id = newUuid();
    store(globalKey, id);
    return id;
}

}  // namespace kelvora
