#include <gtest/gtest.h>

#include <asio/error.hpp>

#include <stdexcept>
#include <system_error>

#include "core/WireError.h"
#include "platform/QuicError.h"
#include "receiver/player/StatusPresenters.h"
#include "receiver/session/ReceiverError.h"

namespace kelvora {
namespace {

TEST(StatusPresenters, PillPerState) {
    PlaybackStatistics tcp;
    tcp.engine = EngineKind::tcp();
    PlaybackStatistics tcpWithLatency = tcp;
    tcpWithLatency.latencyMs = 23.6;
    PlaybackStatistics latencyOnly;
    latencyOnly.latencyMs = 7.4;
    const PlaybackStatistics none;
    const struct {
        PlayerState state;
        const PlaybackStatistics& statistics;
        StatusPillText pill;
    } cases[] = {
        {PlayerState::idle(), tcpWithLatency, {ColorToken::gray, "Bereit", std::nullopt}},
        {PlayerState::searching(), none, {ColorToken::orange, "Suche Sender", std::nullopt}},
        {PlayerState::connecting("Studio"), none, {ColorToken::orange, "Studio", "Verbinde …"}},
        {PlayerState::waitingForVideo("Studio"), none, {ColorToken::orange, "Studio", "Warte auf Bild …"}},
        {PlayerState::playing("Studio"), tcpWithLatency, {ColorToken::green, "Studio", "Nativ TCP · 24 ms"}},
        {PlayerState::playing("Studio"), tcp, {ColorToken::green, "Studio", "Nativ TCP"}},
        {PlayerState::playing("Studio"), latencyOnly, {ColorToken::green, "Studio", " · 7 ms"}},
        {PlayerState::playing("Studio"), none, {ColorToken::green, "Studio", ""}},
        {PlayerState::reconnecting("Studio", "Zeitüberschreitung"),
         none,
         {ColorToken::red, "Studio", "Verbinde neu …"}},
        {PlayerState::localNetworkDenied(), none, {ColorToken::red, "Kein Netzwerkzugriff", std::nullopt}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(statusPill(c.state, c.statistics), c.pill) << c.pill.title;
    }
}

TEST(StatusPresenters, PlaceholderPerState) {
    const char* waves = "dot.radiowaves.left.and.right";
    const struct {
        PlayerState state;
        bool hasSenders;
        StatusPlaceholderText placeholder;
    } cases[] = {
        {PlayerState::idle(), true, {waves, false, "Bereit", "", false}},
        {PlayerState::searching(),
         false,
         {waves, true, "Suche Sender …", "Starte „Tilvara Sender“ auf dem Computer im selben Netzwerk.",
          false}},
        {PlayerState::searching(),
         true,
         {waves, true, "Sender gefunden", "Klicke auf „Sender wählen“, um dich zu verbinden.", true}},
        {PlayerState::connecting("Studio"), true, {waves, true, "Verbinde mit Studio", "", false}},
        {PlayerState::waitingForVideo("Studio"),
         false,
         {"video.badge.ellipsis", true, "Studio verbunden", "Am Computer ist gerade kein Videoeingang aktiv.",
          false}},
        {PlayerState::reconnecting("Studio", "Verbindung beendet"),
         true,
         {"arrow.triangle.2.circlepath", true, "Verbindung zu Studio unterbrochen",
          "Verbindung beendet\nNeuer Versuch läuft automatisch.", false}},
        {PlayerState::reconnecting("Studio", ""),
         false,
         {"arrow.triangle.2.circlepath", true, "Verbindung zu Studio unterbrochen",
          "\nNeuer Versuch läuft automatisch.", false}},
        {PlayerState::localNetworkDenied(),
         true,
         {"wifi.exclamationmark", false, "Zugriff auf lokales Netzwerk fehlt",
          "Bitte in der Avahi-Konfiguration den Zugriff auf das lokale Netzwerk erlauben.", false}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(statusPlaceholder(c.state, c.hasSenders), c.placeholder) << c.placeholder.title;
    }
}

// The viewer reads why the connection broke in German; the system's own text goes to the log only.
TEST(StatusPresenters, EndReasonPerError) {
    auto system = [](std::error_code code) { return std::make_exception_ptr(std::system_error(code)); };
    const struct {
        std::exception_ptr error;
        const char* text;
    } cases[] = {
        {nullptr, "Verbindung beendet"},
        {std::make_exception_ptr(ReceiverError::closedBySender()), "Der Sender hat die Verbindung beendet."},
        {system(asio::error::connection_refused), "Unter dieser Adresse nimmt kein Sender Verbindungen an."},
        {system(asio::error::network_unreachable),
         "Das Netzwerk des Senders ist von hier aus nicht erreichbar."},
        {system(asio::error::host_unreachable), "Der Computer des Senders ist im Netzwerk nicht erreichbar."},
        {system(asio::error::host_not_found), "Ein Computer mit diesem Namen ist nicht bekannt."},
        {system(asio::error::host_not_found_try_again), "Ein Computer mit diesem Namen ist nicht bekannt."},
        {system(asio::error::timed_out), "Der Sender antwortet nicht."},
        {system(asio::error::connection_reset), "Die Verbindung zum Sender ist abgerissen."},
        {system(std::make_error_code(std::errc::broken_pipe)), "Die Verbindung zum Sender ist abgerissen."},
        {system(std::make_error_code(std::errc::permission_denied)),
         "Die Verbindung zum Sender ist fehlgeschlagen."},
        {std::make_exception_ptr(QuicError::handshakeFailed(42)),
         "Die verschlüsselte Verbindung zum Sender kam nicht zustande."},
        {std::make_exception_ptr(QuicError::timedOut()), "Der Sender antwortet nicht."},
        {std::make_exception_ptr(QuicError::refused()), "Der Sender nimmt keine QUIC-Verbindungen an."},
        {std::make_exception_ptr(QuicError::socket("Network is unreachable")),
         "Die Verbindung zum Sender ist abgerissen."},
        {std::make_exception_ptr(WireError::truncated()), "Der Sender hat unlesbare Daten geschickt."},
        {std::make_exception_ptr(std::runtime_error("bad")), "Die Verbindung zum Sender ist fehlgeschlagen."},
        {std::make_exception_ptr(7), "Unbekannter Fehler"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(endReason(c.error).text, c.text);
    }
    EXPECT_EQ(endReason(system(asio::error::host_not_found)).systemText, "Host not found (authoritative)");
    EXPECT_EQ(endReason(std::make_exception_ptr(QuicError::handshakeFailed(42))).systemText,
              "TLS-Handshake fehlgeschlagen (Alarm 42)");
    EXPECT_EQ(endReason(std::make_exception_ptr(ReceiverError::connectTimeout())).systemText, "");
}

}  // namespace
}  // namespace kelvora
