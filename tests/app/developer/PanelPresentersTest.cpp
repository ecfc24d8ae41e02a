#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "app/developer/PanelPresenters.h"

namespace kelvora {
namespace {

using namespace std::chrono_literals;

TierStatus tierStatus(uint8_t tier, int clients = 0) {
    TierStatus status;
    status.tier = tier;
    status.clientCount = clients;
    return status;
}

TEST(PanelPresenters, RatesSwitchToWholeMbitFrom10000Kbps) {
    const struct {
        int kbps;
        const char* live;
        const char* setting;
    } cases[] = {{0, "0.0", "0.0 Mbit/s"},     {800, "0.8", "0.8 Mbit/s"},   {9999, "10.0", "10.0 Mbit/s"},
                 {10000, "10", "10.0 Mbit/s"}, {40000, "40", "40.0 Mbit/s"}, {10500, "10", "10.5 Mbit/s"}};
    for (const auto& c : cases) {
        EXPECT_EQ(liveMbitText(c.kbps), c.live) << c.kbps;
        EXPECT_EQ(settingMbitText(c.kbps), c.setting) << c.kbps;
        TierStatus tier;
        tier.bitrateKbps = c.kbps;
        EXPECT_EQ(encoderRows({tier}, false).at(0).bitrate, std::string(c.live) + " Mbit/s");
    }
}

TEST(PanelPresenters, StudioModeRenamesTheUpperTiersOnly) {
    std::vector<TierStatus> tiers(3);
    tiers[1].tier = 1;
    tiers[2].tier = 2;
    for (bool studio : {false, true}) {
        const std::vector<std::string> names =
            studio ? std::vector<std::string>{"Studio (I-Frames)", "1080p komprimiert", "Proxy-Stream"}
                   : std::vector<std::string>{"Hauptstream", "Zwischenstufe", "Proxy-Stream"};
        const auto tiles = comparisonTiles(tiers, {}, studio);
        const auto rows = encoderRows(tiers, studio);
        ASSERT_EQ(tiles.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(tiles[i].title, names[i]);
            EXPECT_EQ(rows[i].title, names[i]);
        }
        // Nothing encodes yet: the main tile stands alone.
        const auto alone = comparisonTiles({}, {}, studio);
        ASSERT_EQ(alone.size(), 1u);
        EXPECT_EQ(alone[0].title, names[0]);
        EXPECT_EQ(streamTiers({}, {}).switches[0].title, "Hauptstream (voll)");
    }
}

TEST(PanelPresenters, ComparisonTilesTakeTheFirstFiguresOfTheirTier) {
    std::vector<TierStatus> tiers(2);
    tiers[0].tier = 2;
    tiers[1].tier = 0;
    EncodedStreamMonitor::TierInfo proxy{2, VideoCodec::h264, {640, 360}, 29.5, std::nullopt, 41.25, 0};
    EncodedStreamMonitor::TierInfo later{2, VideoCodec::hevc, {1920, 1080}, 60, 1, 2, 0};
    const auto tiles = comparisonTiles(tiers, {proxy, later}, false);
    ASSERT_EQ(tiles.size(), 2u);
    EXPECT_EQ(tiles[0].tier, 2);
    EXPECT_TRUE(tiles[0].hasFigures);
    EXPECT_EQ(tiles[0].codec, "H.264");
    EXPECT_EQ(tiles[0].format, "360p · 30 fps");
    EXPECT_EQ(tiles[0].timing, "Enc – · Bild 41.2 ms");
    EXPECT_EQ(tiles[1].tier, 0);
    EXPECT_FALSE(tiles[1].hasFigures);
    EXPECT_EQ(tiles[1].codec, "");
    EXPECT_EQ(tiles[1].timing, "wartet auf Keyframe …");
}

TEST(PanelPresenters, ViewerPillsFollowTheirFixedOrder) {
    const auto client = [](uint8_t tier, std::optional<uint8_t> candidate, bool bridging, bool standby,
                           bool media) {
        ClientStatus c;
        c.engine = EngineKind::quic();
        c.tier = tier;
        c.candidateTier = candidate;
        c.isBridging = bridging;
        c.hasStandby = standby;
        c.bridgeCount = 3;
        c.isMediaConnected = media;
        return c;
    };
    const struct {
        ClientStatus status;
        bool studio;
        std::vector<std::string> pills;
    } cases[] = {
        {client(0, {}, false, false, true), false, {"Nativ QUIC"}},
        {client(2, 0, true, true, false),
         false,
         {"Nativ QUIC", "Proxy", "überbrückt", "testet Hauptstream", "verbindet"}},
        {client(0, 2, false, true, true), false, {"Nativ QUIC", "Proxy bereit", "wechselt zu Proxy-Stream"}},
        {client(1, 1, false, false, true), false, {"Nativ QUIC", "720p", "wechselt zu Zwischenstufe"}},
        {client(1, 0, false, false, true),
         true,
         {"Nativ QUIC", "1080p komprimiert", "testet Studio (I-Frames)"}},
    };
    for (const auto& c : cases) {
        const auto row = clientRow(c.status, c.studio, {});
        std::vector<std::string> texts;
        for (const PillText& pill : row.pills) {
            texts.push_back(pill.text);
        }
        EXPECT_EQ(texts, c.pills);
    }
    const auto standby = clientRow(client(0, {}, false, true, true), false, {}).pills.at(1);
    EXPECT_EQ(standby.color, ColorToken::green);
    EXPECT_EQ(standby.help,
              "Der Proxy läuft unsichtbar mit und springt sofort ein, wenn der Hauptstream stockt (bisher 3× "
              "überbrückt)");
}

TEST(PanelPresenters, ViewerMetricsAndTheirColours) {
    const struct {
        double latency;
        double rtt;
        int64_t dropped;
        int64_t lost;
        const char* latencyText;
        std::optional<ColorToken> latencyColor;
        const char* rttText;
        const char* losses;
        std::optional<ColorToken> lossColor;
    } cases[] = {
        {79.4, 3.25, 0, 0, "79", ColorToken::green, "3.2", "0", std::nullopt},
        {80, -1, 1, 0, "80", ColorToken::orange, "–", "1", ColorToken::orange},
        {149.9, 0, 0, 2, "150", ColorToken::orange, "0.0", "2", ColorToken::orange},
        {150, NAN, 2, 3, "150", ColorToken::red, "–", "5", ColorToken::orange},
        {-1, INFINITY, 0, 0, "–", std::nullopt, "–", "0", std::nullopt},
        {NAN, 1, std::numeric_limits<int64_t>::max(), 5, "–", std::nullopt, "1.0", "9223372036854775807",
         ColorToken::orange},
    };
    for (const auto& c : cases) {
        ClientStatus status;
        status.latencyMs = c.latency;
        status.rttMs = c.rtt;
        status.framesDroppedBySender = c.dropped;
        status.framesLostAtReceiver = c.lost;
        const auto metrics = clientRow(status, false, {}).metrics;
        ASSERT_EQ(metrics.size(), 5u);
        EXPECT_EQ(metrics[0].value, c.latencyText) << c.latency;
        EXPECT_EQ(metrics[0].unit, "ms");
        EXPECT_EQ(metrics[0].color, c.latencyColor) << c.latency;
        EXPECT_EQ(metrics[1].value, c.rttText) << c.rtt;
        EXPECT_EQ(metrics[4].value, c.losses);
        EXPECT_EQ(metrics[4].color, c.lossColor);
    }
}

TEST(PanelPresenters, ViewerRowNamesItsDeviceAndConnectionTime) {
    const struct {
        const char* model;
        const char* symbol;
    } devices[] = {{"iPad13,4", "ipad"},       {"iPhone15,2", "iphone"}, {"MacBookPro18,1", "laptopcomputer"},
                   {"IMAC", "laptopcomputer"}, {"iPadiPhone", "ipad"},   {"", "display"}};
    for (const auto& d : devices) {
        EXPECT_EQ(deviceSymbol(d.model), d.symbol) << d.model;
    }
    ClientStatus status;
    status.address = "192.168.1.20:50123";
    const auto since = std::chrono::system_clock::time_point{} + 1000s;
    status.connectedSince = since;
    EXPECT_EQ(clientRow(status, false, since + 59s).caption, "192.168.1.20:50123 · seit 59 s");
    EXPECT_EQ(clientRow(status, false, since + 3600s).caption, "192.168.1.20:50123 · seit 1 h 0 min");
    EXPECT_EQ(connectedCountText(0), "0 verbunden");
}

TEST(PanelPresenters, TierSwitchesKeepOneTierOn) {
    // adaptive, studio, main, middle, proxy -> shown on, enabled (main, middle, proxy), proxy row enabled
    const struct {
        bool adaptive, studio, main, middle, proxy;
        std::array<bool, 3> on;
        std::array<bool, 3> enabled;
        bool proxyRow;
    } cases[] = {
        {true, false, true, false, true, {true, false, true}, {true, true, true}, true},
        {true, false, true, false, false, {true, false, false}, {false, true, true}, false},
        {true, false, false, false, true, {false, false, true}, {true, true, false}, true},
        {true, false, false, true, false, {false, true, false}, {true, false, true}, false},
        {true, false, false, true, true, {false, true, true}, {true, true, true}, true},
        // All off (a viewer's tuning may store it): every switch can bring one back.
        {true, false, false, false, false, {false, false, false}, {true, true, true}, false},
        // Studio runs the middle tier whatever is stored, so main and proxy may both go.
        {true, true, true, false, false, {true, true, false}, {true, false, true}, false},
        {true, true, false, false, false, {false, true, false}, {true, false, true}, false},
        {false, false, true, true, true, {true, true, true}, {false, false, false}, false},
    };
    for (const auto& c : cases) {
        SenderSettings settings;
        settings.adaptiveBitrate = c.adaptive;
        settings.studioMode = c.studio;
        settings.mainTierEnabled = c.main;
        settings.middleTier = c.middle;
        settings.proxyStream = c.proxy;
        const auto text = streamTiers(settings, {});
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(text.switches[i].isOn, c.on[i]) << &c - cases << " switch " << i;
            EXPECT_EQ(text.switches[i].isEnabled, c.enabled[i]) << &c - cases << " switch " << i;
        }
        EXPECT_EQ(text.proxyBitrateEnabled, c.proxyRow) << &c - cases;
        EXPECT_EQ(text.showsAdaptiveNote, !c.adaptive);
    }
}

TEST(PanelPresenters, TierViewerCountsComeFromTheFirstMatchingTier) {
    const auto text = streamTiers({}, {tierStatus(2, 1), tierStatus(0, 4), tierStatus(2, 7)});
    EXPECT_EQ(text.switches[0].viewers, "4 Empfänger");
    EXPECT_EQ(text.switches[1].viewers, "0 Empfänger");
    EXPECT_EQ(text.switches[2].viewers, "1 Empfänger");
}

TEST(PanelPresenters, EncoderRowsTellProducedCodecAndTimings) {
    const struct {
        std::optional<VideoCodec> produced;
        std::optional<double> wait;
        std::optional<double> hardware;
        const char* codec;
        ColorToken color;
        const char* timing;
        const char* sourceHelp;
    } cases[] = {
        {std::nullopt, 12, std::nullopt, "HEVC", ColorToken::purple, "", ""},
        {VideoCodec::hevc, 70.4, 3.25, "HEVC", ColorToken::purple, "Quelle 70 · Enc 3.2 ms", "Quelle: 70 ms"},
        {VideoCodec::h264, std::nullopt, 4, "H.264", ColorToken::red, "Enc 4.0 ms", "Quelle: 0 ms"},
    };
    for (const auto& c : cases) {
        TierStatus tier = tierStatus(0);
        tier.codec = VideoCodec::hevc;
        tier.dimensions = {1920, 1080};
        tier.frameRate = 59.5;
        tier.outputCodec = c.produced;
        tier.encodeWaitMs = c.wait;
        tier.encodeHardwareMs = c.hardware;
        const auto row = encoderRows({tier}, false).at(0);
        EXPECT_EQ(row.codec.text, c.codec);
        EXPECT_EQ(row.codec.color, c.color);
        EXPECT_EQ(row.timing, c.timing);
        EXPECT_EQ(row.timingHelp.substr(0, std::string(c.sourceHelp).size()), c.sourceHelp);
        EXPECT_EQ(row.dimensions, "1920×1080");
        EXPECT_EQ(row.frameRate, "60 fps");
    }
}

TEST(PanelPresenters, SimpleStreamCaptionTellsWhyItDoesNotRun) {
    EXPECT_EQ(simpleStream(true, 8000, 0, "").caption, "0 Empfänger verbunden · Port 47900");
    const auto busy = simpleStream(true, 8000, 0, "Port 47900 ist belegt – der einfache Stream läuft nicht.");
    EXPECT_TRUE(busy.captionIsError);
    EXPECT_EQ(busy.caption, "Port 47900 ist belegt – der einfache Stream läuft nicht.");
    const auto off = simpleStream(false, 30000, 3, "");
    EXPECT_FALSE(off.captionIsError);
    EXPECT_NE(off.caption.find("libx264"), std::string::npos);
    EXPECT_EQ(off.bitrate, "30.0 Mbit/s");
    EXPECT_EQ(simpleStream(true, 1000, 2, "").bitrate, "1.0 Mbit/s");
}

}  // namespace
}  // namespace kelvora
