#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/ControlRecords.h"
#include "core/EngineKind.h"
#include "platform/UserDefaults.h"

namespace kelvora {

// How the embedding program wants its player to behave; fixed for the player's life.
struct PlayerConfiguration {
    // Prefix of every preference key of this player ("<storageKey>.engine", ...).
    std::string storageKey;
    // Connect by itself to the remembered sender: at start through its address, later through DNS-SD.
    bool autoConnect = false;
    // With autoConnect: connect to the only listed sender while no sender is remembered.
    bool autoConnectToOnlySender = false;
    EngineKind defaultEngine = EngineKind::tcp();
    // The name the sender lists this viewer under.
    std::string clientName;
    // Kept for the embedder; the player attaches no behaviour to it.
    bool handlesAppLifecycle = false;
    // true: sessions draw into the player's renderer; false: pictures reach the embedder through onFrame
    // only.
    bool usesBuiltInRenderer = true;

    // This computer's name for clientName ("Computer" when the system names none).
    static std::string defaultClientName();
};

// Where the last connection reached its sender.
struct RememberedAddress {
    std::string host;
    uint16_t port = 0;
    std::string id;
    std::string name;

    bool operator==(const RememberedAddress&) const = default;
};

// "host|port|id|name"; a "|" in the name becomes a blank (host and id are written as they are, so one with
// a "|" makes the text unreadable on purpose rather than misread).
std::string encodeRememberedAddress(const RememberedAddress& address);
// Exactly four parts with a port that passes parseUInt16; anything else is none.
std::optional<RememberedAddress> decodeRememberedAddress(std::string_view text);
// Decimal 0...65535 with an optional leading sign; "-" only for zero; empty fails.
std::optional<uint16_t> parseUInt16(std::string_view text);

// The player's preferences in the viewer's defaults store, under "<storageKey>.<suffix>", and the client id
// every player of the program shares. Reads never throw: a missing or ill-typed value reads as its default.
// Writes that the disk refuses are logged and dropped, so a full disk never stops playback.
//
// Threads: the store is thread-safe; the player uses this from the main thread only.
class PlayerPreferences {
  public:
    static constexpr std::string_view clientIDKey = "Kelvora.clientID";

    PlayerPreferences(UserDefaults& defaults, std::string storageKey);

    // The store of the viewer program ("app.kelvora.viewer" under the default root).
    static UserDefaults& viewerDefaults();

    // Any stored text is taken as the kind; else `fallback`.
    EngineKind engine(const EngineKind& fallback) const;
    void setEngine(const EngineKind& engine);
    bool showsDebugOverlay() const;
    void setShowsDebugOverlay(bool shows);
    // true unless a Bool false is stored.
    bool smoothPlayback() const;
    void setSmoothPlayback(bool smooth);
    // Exact "automatic", "full" or "proxy"; anything else reads as automatic.
    StreamQuality quality() const;
    void setQuality(StreamQuality quality);

    std::optional<std::string> lastSenderID() const;
    void setLastSenderID(const std::optional<std::string>& id);
    std::optional<RememberedAddress> rememberedAddress() const;
    void setRememberedAddress(const std::optional<RememberedAddress>& address);

    // The stored upper-case UUID; made and stored when there is none, or when the stored text is not a UUID
    // (whatever is there goes to every sender in the hello).
    std::string clientID() const;

    const std::string& storageKey() const { return storageKey_; }

  private:
    std::string key(std::string_view suffix) const;
    void store(const std::string& key, UserDefaults::Json value) const;
    void erase(const std::string& key) const;

    UserDefaults& defaults_;
    std::string storageKey_;
};

std::string_view streamQualityName(StreamQuality quality);

}  // namespace kelvora
