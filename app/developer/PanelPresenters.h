#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/presenters/StatusColor.h"
#include "receiver/session/EncodedStreamMonitor.h"
#include "sender/pipeline/SenderSettings.h"
#include "sender/pipeline/SenderStatus.h"

namespace kelvora {

// What the dashboard's panels show (tier comparison, viewers, tiers, encoders, simple stream), decided
// without Qt so that every text and switch rule is checked by a table.

// A live rate in Mbit/s without unit: whole numbers from 10000 kbit/s up ("10"), one decimal below ("10.0").
std::string liveMbitText(int kbps);
// A configured rate: one decimal and the unit ("0.8 Mbit/s", "40.0 Mbit/s").
std::string settingMbitText(int kbps);

// A coloured capsule label with its tooltip (empty for none).
struct PillText {
    std::string text;
    ColorToken color = ColorToken::gray;
    std::string help;

    bool operator==(const PillText&) const = default;
};

// --- tier comparison ---

struct ComparisonTile {
    uint8_t tier = 0;
    std::string title;
    // Without figures the tile shows its title and the keyframe wait only.
    bool hasFigures = false;
    std::string codec;   // "HEVC", "H.264"
    std::string format;  // "1080p · 60 fps"
    std::string timing;  // "Enc 12.3 ms · Bild –", or the keyframe wait

    bool operator==(const ComparisonTile&) const = default;
};

// One tile per running tier in the status's order (the main tile alone while none runs), each with the
// monitor's first figures for its tier.
std::vector<ComparisonTile> comparisonTiles(const std::vector<TierStatus>& tiers,
                                            const std::vector<EncodedStreamMonitor::TierInfo>& infos,
                                            bool studioMode);

// --- viewers ---

struct ClientMetricText {
    std::string label;
    std::string value;
    std::string unit;  // empty for none
    std::optional<ColorToken> color;

    bool operator==(const ClientMetricText&) const = default;
};

struct ClientRowText {
    std::string id;
    std::string name;
    std::string symbol;
    bool isMediaConnected = false;
    std::string caption;          // "<address> · seit <elapsed>"
    std::vector<PillText> pills;  // the engine first, then the states that apply, in a fixed order
    std::vector<ClientMetricText> metrics;

    bool operator==(const ClientRowText&) const = default;
};

// The device symbol from the model the viewer reports: iPad before iPhone before Mac, any case.
std::string deviceSymbol(std::string_view deviceModel);
ClientRowText clientRow(const ClientStatus& client, bool studioMode,
                        std::chrono::system_clock::time_point now);
std::string connectedCountText(size_t count);

// --- stream tiers ---

struct TierSwitchText {
    std::string title;
    std::string viewers;
    std::string help;
    bool isOn = false;
    bool isEnabled = false;

    bool operator==(const TierSwitchText&) const = default;
};

struct StreamTiersText {
    std::vector<TierSwitchText> switches;  // main, middle, proxy
    bool proxyBitrateEnabled = false;
    std::string proxyBitrate;
    std::string mainMinimumBitrate;
    bool showsAdaptiveNote = false;

    bool operator==(const StreamTiersText&) const = default;
};

// The switch rules keep one tier on: a switch that is on is locked while neither other tier is on, and
// without adaptive bitrate none can be changed; studio mode always runs the middle tier.
StreamTiersText streamTiers(const SenderSettings& settings, const std::vector<TierStatus>& tiers);

// --- encoders ---

struct EncoderRowText {
    uint8_t tier = 0;
    std::string title;
    PillText codec;
    std::string dimensions;
    std::string frameRate;
    std::string timing;  // empty until the encoder reports its own time
    std::string timingHelp;
    bool lowLatency = false;
    std::string bitrate;
    std::string viewers;

    bool operator==(const EncoderRowText&) const = default;
};

std::vector<EncoderRowText> encoderRows(const std::vector<TierStatus>& tiers, bool studioMode);

// --- simple stream ---

struct SimpleStreamText {
    std::string caption;
    // The caption is the model's reason why the stream does not run.
    bool captionIsError = false;
    std::string bitrate;

    bool operator==(const SimpleStreamText&) const = default;
};

SimpleStreamText simpleStream(bool enabled, int bitrateKbps, int clients, std::string_view error);

}  // namespace kelvora
