#include "receiver/player/views/DebugOverlayPresenter.h"

#include "receiver/session/presenters/NumberText.h"

namespace kelvora {
namespace {

constexpr const char* dash = "–";

std::string optionalFixed(const std::optional<double>& value, int decimals) {
    return value ? fixedText(*value, decimals) : dash;
}

std::string startText(const PlaybackStatistics& s) {
    std::string text;
    if (s.isDirectConnection) {
        text = "direkt (IP)";
    } else if (s.discoveryMs) {
        text = "gefunden " + fixedText(*s.discoveryMs / 1000, 1) + " s";
    } else {
        text = dash;
    }
    if (s.firstFrameMs) {
        text += " · Bild " + fixedText(*s.firstFrameMs / 1000, 1) + " s";
    }
    return text;
}

std::string codecText(const PlaybackStatistics& s) {
    std::string text = s.codec ? std::string(videoCodecDisplayName(*s.codec)) : dash;
    text += " ";
    if (s.dimensions) {
        text += std::to_string(s.dimensions->width) + "×" + std::to_string(s.dimensions->height);
    }
    return text;
}

std::string frameRateText(const PlaybackStatistics& s) {
    std::string text = fixedText(s.framesPerSecond, 1) + " fps";
    if (s.requestedMaxFps >= 1) {
        text += " (begrenzt auf " + std::to_string(s.requestedMaxFps) + ")";
    }
    return text;
}

std::string bitrateText(const PlaybackStatistics& s) {
    const double received = s.receivedKbps / 1000;
    const double target = s.senderTargetKbps / 1000.0;
    if (target > 0) {
        return fixedText(received, 1) + " / " + fixedText(target, 0) + " Mbit/s";
    }
    return fixedText(received, 1) + " Mbit/s";
}

std::string latencyText(const PlaybackStatistics& s) {
    if (s.latencyMs) {
        std::string text = fixedText(*s.latencyMs, 0) + " ms";
        if (s.latencyP95Ms) {
            text += "  (p95 " + fixedText(*s.latencyP95Ms, 0) + ")";
        }
        return text;
    }
    return s.isClockSynchronized ? dash : "Uhr-Sync …";
}

std::string bridgedText(const PlaybackStatistics& s) {
    std::string text = std::to_string(s.bridgeCount) + "× · " + fixedText(s.bridgedMs / 1000, 1) + " s";
    if (s.isBridging) {
        text += " · Proxy aktiv";
    }
    return text;
}

}  // namespace

std::optional<ColorToken> latencyColor(std::optional<double> latencyMs) {
    if (!latencyMs) {
        return std::nullopt;
    }
    if (*latencyMs < 80) {
        return ColorToken::green;
    }
    return *latencyMs < 150 ? ColorToken::yellow : ColorToken::red;
}

DebugOverlayContent debugOverlayContent(const PlaybackStatistics& s) {
    DebugOverlayContent content;
    content.header = s.senderName.empty() ? "Tilvara" : s.senderName;
    content.showsSyncBadge = !s.isClockSynchronized;
    content.showsClock = s.isTestPattern;

    // Counters are summed wide: a long session must not wrap them into a negative count.
    const bool lossy = static_cast<long long>(s.framesDropped) + s.framesLost + s.decodeErrors >= 1;
    content.rows = {
        {"Engine", s.engine ? s.engine->description() : dash, std::nullopt},
        {"Start", startText(s), std::nullopt},
        {"Codec", codecText(s), std::nullopt},
        {"Bildrate", frameRateText(s), std::nullopt},
        {"Bitrate", bitrateText(s), std::nullopt},
        {"Latenz", latencyText(s), latencyColor(s.latencyMs)},
        {"Netzwerk", s.networkLatencyMs ? fixedText(*s.networkLatencyMs, 0) + " ms" : dash, std::nullopt},
        {"Aufteilung",
         "Enc " + optionalFixed(s.encodeMs, 0) + " · Netz " + optionalFixed(s.transferMs, 0) + " · Dec " +
             optionalFixed(s.receiverMs, 0),
         std::nullopt},
        {"Überbrückt", bridgedText(s), s.isBridging ? std::optional(ColorToken::orange) : std::nullopt},
        {"RTT / Jitter", optionalFixed(s.rttMs, 1) + " / " + fixedText(s.jitterMs, 1) + " ms", std::nullopt},
        {"Frames", std::to_string(s.framesDecoded) + " / " + std::to_string(s.framesReceived), std::nullopt},
        {"Verluste",
         "verl. " + std::to_string(s.framesLost) + " · verw. " +
             std::to_string(static_cast<long long>(s.framesDropped) + s.framesLate) + " · Send. " +
             std::to_string(s.framesSkippedBySender),
         lossy ? std::optional(ColorToken::orange) : std::nullopt},
        {"Keyframe-Anfr.", std::to_string(s.keyframeRequests), std::nullopt},
    };
    return content;
}

}  // namespace kelvora
