#include "app/developer/PanelPresenters.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <limits>

#include "app/presenters/ViewHelpers.h"
#include "core/VideoCodec.h"
#include "receiver/session/presenters/NumberText.h"
#include "sender/pipeline/TierLayout.h"

namespace kelvora {
namespace {

std::string millisecondsText(const std::optional<double>& value) {
    return value ? fixedText(*value, 1) + " ms" : "–";
}

std::string codecText(VideoCodec codec) {
    return std::string(videoCodecDisplayName(codec));
}

// Counters a viewer reports may be anything; their sum must not overflow.
int64_t saturatingSum(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return a > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    }
    return sum;
}

int viewersOf(const std::vector<TierStatus>& tiers, uint8_t tier) {
    const auto found =
        std::find_if(tiers.begin(), tiers.end(), [&](const TierStatus& t) { return t.tier == tier; });
    return found == tiers.end() ? 0 : found->clientCount;
}

std::vector<PillText> clientPills(const ClientStatus& client, bool studio) {
    std::vector<PillText> pills{{client.engine.description(), ColorToken::blue, {}}};
    if (client.tier != 0) {
        pills.push_back(
            {client.tier == 1 ? (studio ? "1080p komprimiert" : "720p") : "Proxy", ColorToken::orange,
             "Schwächere Verbindung: bekommt vorübergehend eine kleinere Stufe (Zwischenstufe ca. "
             "1280×720 bzw. Proxy ca. 640×360)"});
    }
    if (client.isBridging) {
        pills.push_back({"überbrückt", ColorToken::yellow,
                         "Der Hauptstream stockt gerade – das Gerät zeigt so lange den mitlaufenden Proxy"});
    } else if (client.hasStandby) {
        pills.push_back({"Proxy bereit", ColorToken::green,
                         "Der Proxy läuft unsichtbar mit und springt sofort ein, wenn der Hauptstream stockt "
                         "(bisher " +
                             std::to_string(client.bridgeCount) + "× überbrückt)"});
    }
    if (client.candidateTier) {
        const uint8_t candidate = *client.candidateTier;
        pills.push_back(
            {(candidate < client.tier ? "testet " : "wechselt zu ") + TierLayout::tierName(candidate, studio),
             ColorToken::gray,
             "Der andere Stream läuft parallel mit. Das Gerät schaltet erst um, wenn er flüssig läuft "
             "– ohne Bildaussetzer."});
    }
    if (!client.isMediaConnected) {
        pills.push_back({"verbindet", ColorToken::gray, {}});
    }
    return pills;
}

std::vector<ClientMetricText> clientMetrics(const ClientStatus& client) {
    const bool hasLatency = std::isfinite(client.latencyMs) && client.latencyMs >= 0;
    std::optional<ColorToken> latencyColor;
    if (hasLatency) {
        latencyColor = client.latencyMs < 80    ? ColorToken::green
                       : client.latencyMs < 150 ? ColorToken::orange
                                                : ColorToken::red;
    }
    const bool hasRtt = std::isfinite(client.rttMs) && client.rttMs >= 0;
    const int64_t losses = saturatingSum(client.framesDroppedBySender, client.framesLostAtReceiver);
    return {
        {"Latenz", hasLatency ? fixedText(client.latencyMs, 0) : "–", "ms", latencyColor},
        {"RTT", hasRtt ? fixedText(client.rttMs, 1) : "–", "ms", std::nullopt},
        {"Senden", liveMbitText(client.sentKbps), "Mbit/s", std::nullopt},
        {"Ziel", liveMbitText(client.estimateKbps), "Mbit/s", std::nullopt},
        {"Verluste", std::to_string(losses), "",
         losses >= 1 ? std::optional(ColorToken::orange) : std::nullopt},
    };
}

}  // namespace

std::string liveMbitText(int kbps) {
    return fixedText(kbps / 1000.0, kbps > 9999 ? 0 : 1);
}

std::string settingMbitText(int kbps) {
    return fixedText(kbps / 1000.0, 1) + " Mbit/s";
}

std::vector<ComparisonTile> comparisonTiles(const std::vector<TierStatus>& tiers,
                                            const std::vector<EncodedStreamMonitor::TierInfo>& infos,
                                            bool studioMode) {
    std::vector<uint8_t> numbers;
    for (const TierStatus& tier : tiers) {
        numbers.push_back(tier.tier);
    }
    if (numbers.empty()) {
        numbers.push_back(0);
    }
    std::vector<ComparisonTile> tiles;
    for (uint8_t number : numbers) {
        ComparisonTile tile{
            number, TierLayout::tierName(number, studioMode), false, {}, {}, "wartet auf Keyframe …"};
        const auto info =
            std::find_if(infos.begin(), infos.end(),
                         [&](const EncodedStreamMonitor::TierInfo& i) { return i.tier == number; });
        if (info != infos.end()) {
            tile.hasFigures = true;
            tile.codec = codecText(info->codec);
            tile.format = info->dimensions.label() + " · " + roundedText(info->framesPerSecond) + " fps";
            tile.timing =
                "Enc " + millisecondsText(info->encodeMs) + " · Bild " + millisecondsText(info->decodedMs);
        }
        tiles.push_back(std::move(tile));
    }
    return tiles;
}

std::string deviceSymbol(std::string_view deviceModel) {
    std::string lower(deviceModel);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.find("ipad") != std::string::npos) {
        return "ipad";
    }
    if (lower.find("iphone") != std::string::npos) {
        return "iphone";
    }
    if (lower.find("mac") != std::string::npos) {
        return "laptopcomputer";
    }
    return "display";
}

ClientRowText clientRow(const ClientStatus& client, bool studioMode,
                        std::chrono::system_clock::time_point now) {
    return {client.id,
            client.name,
            deviceSymbol(client.deviceModel),
            client.isMediaConnected,
            client.address + " · seit " + elapsedText(client.connectedSince, now),
            clientPills(client, studioMode),
            clientMetrics(client)};
}

std::string connectedCountText(size_t count) {
    return std::to_string(count) + " verbunden";
}

StreamTiersText streamTiers(const SenderSettings& settings, const std::vector<TierStatus>& tiers) {
    const bool adaptive = settings.adaptiveBitrate;
    const bool main = settings.mainTierEnabled;
    const bool middle = settings.middleTier || settings.studioMode;
    const bool proxy = settings.proxyStream;
    const auto viewers = [&](uint8_t tier) {
        const int count = viewersOf(tiers, tier);
        return count == 1 ? std::string("1 Empfänger") : std::to_string(count) + " Empfänger";
    };
    StreamTiersText text;
    text.switches = {
        {settings.studioMode ? "Hauptstream (Studio)" : "Hauptstream (voll)", viewers(0),
         "Aus: Kein Empfänger bekommt den Hauptstream, höchstens die Zwischenstufe bzw. den Proxy.", main,
         adaptive && !(main && !middle && !proxy)},
        {settings.studioMode ? "Zwischenstufe (1080p)" : "Zwischenstufe 720p", viewers(1),
         "Stufe zwischen Hauptstream und Proxy für mittlere Verbindungen. Im Studio-Modus immer an.", middle,
         adaptive && !settings.studioMode && !(middle && !main && !proxy)},
        {"Proxy 640×360", viewers(2),
         "Aus: Empfänger fallen nicht mehr auf den Proxy, sie bleiben auf den höheren Stufen – auch bei "
         "schlechter "
         "Verbindung.",
         proxy, adaptive && !(proxy && !main && !middle)},
    };
    text.proxyBitrateEnabled = adaptive && proxy;
    text.proxyBitrate = settingMbitText(settings.proxyBitrateKbps);
    text.mainMinimumBitrate = settingMbitText(settings.mainMinimumBitrateKbps);
    text.showsAdaptiveNote = !adaptive;
    return text;
}

std::vector<EncoderRowText> encoderRows(const std::vector<TierStatus>& tiers, bool studioMode) {
    std::vector<EncoderRowText> rows;
    for (const TierStatus& tier : tiers) {
        EncoderRowText row;
        row.tier = tier.tier;
        row.title = TierLayout::tierName(tier.tier, studioMode);
        row.codec.text = codecText(tier.outputCodec.value_or(tier.codec));
        if (!tier.outputCodec) {
            row.codec = {row.codec.text, ColorToken::purple, "Noch kein Frame encodiert"};
        } else if (*tier.outputCodec == tier.codec) {
            row.codec = {row.codec.text, ColorToken::purple,
                         "Codec laut erzeugtem Bitstream – Umschaltung greift"};
        } else {
            row.codec = {row.codec.text, ColorToken::red,
                         "Achtung: Bitstream hat einen anderen Codec als eingestellt"};
        }
        row.dimensions = tier.dimensions.description();
        row.frameRate = roundedText(tier.frameRate) + " fps";
        if (tier.encodeHardwareMs) {
            const std::string encode = fixedText(*tier.encodeHardwareMs, 1);
            row.timing = tier.encodeWaitMs
                             ? "Quelle " + fixedText(*tier.encodeWaitMs, 0) + " · Enc " + encode + " ms"
                             : "Enc " + encode + " ms";
            row.timingHelp =
                "Quelle: " + fixedText(tier.encodeWaitMs.value_or(0), 0) +
                " ms von der Aufnahme (Zeitstempel der Kamera) bis das Bild in der App ankommt – "
                "entsteht in der Kamera bzw. Capture-Karte, vor jeder Verarbeitung (Webcam ca. "
                "60–90 ms, Capture-Karte ca. eine Bilddauer). Enc: " +
                encode + " ms im Encoder.";
        }
        row.lowLatency = tier.lowLatencyRateControl;
        row.bitrate = liveMbitText(tier.bitrateKbps) + " Mbit/s";
        row.viewers = std::to_string(tier.clientCount) + " Empf.";
        rows.push_back(std::move(row));
    }
    return rows;
}

SimpleStreamText simpleStream(bool enabled, int bitrateKbps, int clients, std::string_view error) {
    SimpleStreamText text;
    if (!enabled) {
        text.caption =
            "libx264 oder VAAPI, feste Bitrate, jedes Bild, einfaches TCP – ohne Stufen und Anpassung";
    } else if (!error.empty()) {
        text.caption = std::string(error);
        text.captionIsError = true;
    } else {
        text.caption = std::to_string(clients) + " Empfänger verbunden · Port 47900";
    }
    text.bitrate = fixedText(bitrateKbps / 1000.0, 1) + " Mbit/s";
    return text;
}

}  // namespace kelvora
