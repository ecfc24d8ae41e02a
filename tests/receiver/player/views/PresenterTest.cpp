#include "receiver/player/views/DebugOverlayPresenter.h"
#include "receiver/player/views/SenderPickerPresenter.h"

#include <gtest/gtest.h>

namespace kelvora {
namespace {

std::vector<std::string> values(const DebugOverlayContent& content) {
    std::vector<std::string> result;
    for (const auto& row : content.rows) {
        result.push_back(row.value);
    }
    return result;
}

TEST(DebugOverlay, EmptySnapshotShowsDashesAndTheSyncBadge) {
    const DebugOverlayContent content = debugOverlayContent(PlaybackStatistics{});
    EXPECT_EQ(content.header, "Tilvara");
    EXPECT_TRUE(content.showsSyncBadge);
    EXPECT_FALSE(content.showsClock);
    const std::vector<std::string> expected = {
        "–",          "–",          "– ",    "0.0 fps",
        "0.0 Mbit/s", "Uhr-Sync …", "–",     "Enc – · Netz – · Dec –",
        "0× · 0.0 s", "– / 0.0 ms", "0 / 0", "verl. 0 · verw. 0 · Send. 0",
        "0"};
    EXPECT_EQ(values(content), expected);
    for (const auto& row : content.rows) {
        EXPECT_FALSE(row.color) << row.label;
    }
}

TEST(DebugOverlay, EveryRowOfALiveSnapshot) {
    PlaybackStatistics s;
    s.senderName = "Bühne";
    s.engine = EngineKind::quic();
    s.codec = VideoCodec::h264;
    s.dimensions = VideoDimensions{1280, 720};
    s.isTestPattern = true;
    s.isClockSynchronized = true;
    s.discoveryMs = 1250;
    s.firstFrameMs = 349;
    s.framesPerSecond = 59.96;
    s.requestedMaxFps = 30;
    s.receivedKbps = 8450;
    s.senderTargetKbps = 12500;
    s.latencyMs = 23.6;
    s.latencyP95Ms = 31.5;
    s.networkLatencyMs = 2.4;
    s.encodeMs = 7.5;
    s.receiverMs = 3.49;
    s.bridgeCount = 2;
    s.bridgedMs = 1550;
    s.isBridging = true;
    s.rttMs = 0.84;
    s.jitterMs = 1.25;
    s.framesReceived = 600;
    s.framesDecoded = 598;
    s.framesLate = 3;
    s.framesDropped = 1;
    s.framesLost = 2;
    s.framesSkippedBySender = 4;
    s.keyframeRequests = 5;

    const DebugOverlayContent content = debugOverlayContent(s);
    EXPECT_EQ(content.header, "Bühne");
    EXPECT_FALSE(content.showsSyncBadge);
    EXPECT_TRUE(content.showsClock);
    const std::vector<std::string> expected = {"Nativ QUIC",
                                               "gefunden 1.2 s · Bild 0.3 s",
                                               "H.264 1280×720",
                                               "60.0 fps (begrenzt auf 30)",
                                               "8.4 / 12 Mbit/s",
                                               "24 ms  (p95 32)",
                                               "2 ms",
                                               "Enc 8 · Netz – · Dec 3",
                                               "2× · 1.6 s · Proxy aktiv",
                                               "0.8 / 1.2 ms",
                                               "598 / 600",
                                               "verl. 2 · verw. 4 · Send. 4",
                                               "5"};
    EXPECT_EQ(values(content), expected);
    EXPECT_EQ(content.rows[8].color, ColorToken::orange);
    EXPECT_EQ(content.rows[11].color, ColorToken::orange);

    s.isDirectConnection = true;
    s.firstFrameMs.reset();
    s.latencyP95Ms.reset();
    EXPECT_EQ(debugOverlayContent(s).rows[1].value, "direkt (IP)");
    EXPECT_EQ(debugOverlayContent(s).rows[5].value, "24 ms");
    s.latencyMs.reset();
    EXPECT_EQ(debugOverlayContent(s).rows[5].value, "–");
}

TEST(DebugOverlay, ColoursFollowLatencyAndLosses) {
    const std::vector<std::pair<std::optional<double>, std::optional<ColorToken>>> latencies = {
        {std::nullopt, std::nullopt}, {79.9, ColorToken::green}, {80, ColorToken::yellow},
        {149.9, ColorToken::yellow},  {150, ColorToken::red},    {-3, ColorToken::green}};
    for (const auto& [latency, color] : latencies) {
        PlaybackStatistics s;
        s.latencyMs = latency;
        EXPECT_EQ(debugOverlayContent(s).rows[5].color, color) << latency.value_or(-1);
    }

    struct Losses {
        int late, dropped, lost, decodeErrors;
        bool orange;
    };
    for (const Losses& c : {Losses{5, 0, 0, 0, false}, Losses{0, 0, 0, 1, true}, Losses{0, 1, 0, 0, true},
                            Losses{0, 0, 1, 0, true}}) {
        PlaybackStatistics s;
        s.framesLate = c.late;
        s.framesDropped = c.dropped;
        s.framesLost = c.lost;
        s.decodeErrors = c.decodeErrors;
        EXPECT_EQ(debugOverlayContent(s).rows[11].color.has_value(), c.orange) << c.late << c.decodeErrors;
    }
}

TEST(SenderPicker, RowsMarkOnlyTheSelectedSender) {
    DiscoveredSender bonjour = DiscoveredSender::direct("10.0.0.2", 47810, "A-1", "Bühne");
    bonjour.isDirect = false;
    bonjour.announcement.sourceName = "Kamera 1";
    const DiscoveredSender typed = DiscoveredSender::direct("10.0.0.3", 47810);

    const auto none = senderRows({bonjour, typed}, std::nullopt);
    ASSERT_EQ(none.size(), 2u);
    EXPECT_FALSE(none[0].isSelected || none[1].isSelected);
    EXPECT_EQ(none[0].subtitle, "1080p60 · HEVC · Live");
    EXPECT_EQ(none[0].sourceName, "Kamera 1");
    EXPECT_EQ(none[1].name, "10.0.0.3");
    EXPECT_EQ(none[1].subtitle, "direkt per IP-Adresse");

    const auto rows = senderRows({bonjour, typed, typed}, typed);
    EXPECT_FALSE(rows[0].isSelected);
    EXPECT_TRUE(rows[1].isSelected);
    EXPECT_FALSE(rows[2].isSelected);
    EXPECT_TRUE(searchingHint(true).isWarning);
    EXPECT_FALSE(searchingHint(false).isWarning);
}

}  // namespace
}  // namespace kelvora
