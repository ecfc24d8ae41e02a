#include <gtest/gtest.h>

#include "receiver/player/StatusPresenters.h"

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

}  // namespace
}  // namespace kelvora
