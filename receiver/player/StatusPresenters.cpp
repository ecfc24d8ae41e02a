#include "receiver/player/StatusPresenters.h"

#include "app/presenters/NumberText.h"

namespace kelvora {

StatusPillText statusPill(const PlayerState& state, const PlaybackStatistics& statistics) {
    using Kind = PlayerState::Kind;
    switch (state.kind) {
        case Kind::idle:
            return {ColorToken::gray, "Bereit", std::nullopt};
        case Kind::searching:
            return {ColorToken::orange, "Suche Sender", std::nullopt};
        case Kind::connecting:
            return {ColorToken::orange, state.senderName, "Verbinde …"};
        case Kind::waitingForVideo:
            return {ColorToken::orange, state.senderName, "Warte auf Bild …"};
        case Kind::playing: {
            std::string detail = statistics.engine ? statistics.engine->description() : std::string();
            if (statistics.latencyMs) {
                detail += " · " + fixedText(*statistics.latencyMs, 0) + " ms";
            }
            return {ColorToken::green, state.senderName, detail};
        }
        case Kind::reconnecting:
            return {ColorToken::red, state.senderName, "Verbinde neu …"};
        case Kind::localNetworkDenied:
            return {ColorToken::red, "Kein Netzwerkzugriff", std::nullopt};
    }
    return {};
}

StatusPlaceholderText statusPlaceholder(const PlayerState& state, bool hasSenders) {
    using Kind = PlayerState::Kind;
    constexpr const char* radiowaves = "dot.radiowaves.left.and.right";
    switch (state.kind) {
        case Kind::idle:
            return {radiowaves, false, "Bereit", "", false};
        case Kind::searching:
            if (hasSenders) {
                return {radiowaves, true, "Sender gefunden",
                        "Klicke auf „Sender wählen“, um dich zu verbinden.", true};
            }
            return {radiowaves, true, "Suche Sender …",
                    "Starte „Tilvara Sender“ auf dem Computer im selben Netzwerk.", false};
        case Kind::connecting:
            return {radiowaves, true, "Verbinde mit " + state.senderName, "", false};
        case Kind::waitingForVideo:
            return {"video.badge.ellipsis", true, state.senderName + " verbunden",
                    "Am Computer ist gerade kein Videoeingang aktiv.", false};
        case Kind::playing:
            return {radiowaves, false, "", "", false};
        case Kind::reconnecting:
            return {"arrow.triangle.2.circlepath", true,
                    "Verbindung zu " + state.senderName + " unterbrochen",
                    state.reason + "\nNeuer Versuch läuft automatisch.", false};
        case Kind::localNetworkDenied:
            return {"wifi.exclamationmark", false, "Zugriff auf lokales Netzwerk fehlt",
                    "Bitte in der Avahi-Konfiguration den Zugriff auf das lokale Netzwerk erlauben.", false};
    }
    return {};
}

}  // namespace kelvora
