#include "receiver/player/StatusPresenters.h"

#include <asio/error.hpp>

#include <cerrno>
#include <system_error>

#include "core/WireError.h"
#include "platform/QuicError.h"
#include "receiver/session/ReceiverError.h"
#include "receiver/session/presenters/NumberText.h"

namespace kelvora {
namespace {

constexpr const char* kNoAnswer = "Der Sender antwortet nicht.";
constexpr const char* kBroken = "Die Verbindung zum Sender ist abgerissen.";
constexpr const char* kFailed = "Die Verbindung zum Sender ist fehlgeschlagen.";

// Socket errors arrive in Asio's own system category (which does not compare equal to std::errc) or in the
// standard ones; all three carry the errno value.
std::optional<int> errnoOf(const std::error_code& code) {
    const std::error_category& category = code.category();
    if (category == asio::error::get_system_category() || category == std::system_category() ||
        category == std::generic_category()) {
        return code.value();
    }
    return std::nullopt;
}

std::string networkSentence(const std::error_code& code) {
    if (code == asio::error::host_not_found || code == asio::error::host_not_found_try_again ||
        code == asio::error::no_data || code == asio::error::no_recovery) {
        return "Ein Computer mit diesem Namen ist nicht bekannt.";
    }
    switch (errnoOf(code).value_or(0)) {
        case ECONNREFUSED:
            return "Unter dieser Adresse nimmt kein Sender Verbindungen an.";
        case ENETUNREACH:
        case ENETDOWN:
            return "Das Netzwerk des Senders ist von hier aus nicht erreichbar.";
        case EHOSTUNREACH:
        case EHOSTDOWN:
            return "Der Computer des Senders ist im Netzwerk nicht erreichbar.";
        case ETIMEDOUT:
            return kNoAnswer;
        case ECONNRESET:
        case ECONNABORTED:
        case EPIPE:
        case ENOTCONN:
            return kBroken;
        default:
            return kFailed;
    }
}

std::string quicSentence(QuicError::Kind kind) {
    switch (kind) {
        case QuicError::Kind::handshakeFailed:
            return "Die verschlüsselte Verbindung zum Sender kam nicht zustande.";
        case QuicError::Kind::timedOut:
            return kNoAnswer;
        case QuicError::Kind::closedByPeer:
            return "Der Sender hat die Verbindung beendet.";
        case QuicError::Kind::refused:
            return "Der Sender nimmt keine QUIC-Verbindungen an.";
        case QuicError::Kind::socket:
        case QuicError::Kind::protocol:
            break;
    }
    return kBroken;
}

}  // namespace

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

EndReasonText endReason(const std::exception_ptr& error) {
    if (!error) {
        return {"Verbindung beendet", {}};
    }
    try {
        std::rethrow_exception(error);
    } catch (const ReceiverError& ended) {
        return {ended.text(), {}};
    } catch (const QuicError& quic) {
        return {quicSentence(quic.kind()), quic.text()};
    } catch (const WireError& wire) {
        return {"Der Sender hat unlesbare Daten geschickt.", wire.text()};
    } catch (const std::system_error& system) {
        return {networkSentence(system.code()), system.code().message()};
    } catch (const std::exception& other) {
        return {kFailed, other.what()};
    } catch (...) {
        return {"Unbekannter Fehler", {}};
    }
}

}  // namespace kelvora
