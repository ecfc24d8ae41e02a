#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Json.h"
#include "core/StreamTuning.h"
#include "core/VideoCodec.h"
#include "core/VideoDimensions.h"
#include "sender/pipeline/OutputSettings.h"

namespace kelvora {

// The whole persisted configuration of one sender output. Stored as JSON (one key per field, in field
// order) under the user-defaults key "SenderSettings.v1"; reading is lenient per key so that an older or
// damaged record loads with defaults for whatever it lacks. A stored number outside what the program offers
// or writes itself counts as missing, so a damaged file cannot set the sender to 100000 fps; names are made
// valid UTF-8. Values become safe once more where they turn into encoder parameters.
struct SenderSettings {
    std::string senderName;
    VideoCodec preferredCodec = VideoCodec::hevc;
    VideoDimensions resolution = VideoDimensions::hd1080();
    int frameRate = 30;
    bool autoResolution = true;
    bool autoFrameRate = true;
    std::optional<int> maximumFrameRate;
    int bitrateKbps = 20000;
    bool automaticBitrate = true;
    int minimumBitrateKbps = 2000;
    int mainMinimumBitrateKbps = 1000;
    bool tolerantAdaptation = true;
    bool remoteTuningAllowed = true;
    bool fullBitrateEncoder = false;
    bool adaptiveBitrate = true;
    bool adaptFrameRateFirst = true;
    int minimumFrameRate = 10;
    bool proxyStream = true;
    int proxyBitrateKbps = 800;
    double keyframeInterval = 2.0;
    bool temporalLayering = true;
    bool longTermReferences = true;
    bool middleTier = false;
    bool mainTierEnabled = true;
    bool hotStandbyProxy = true;
    bool studioMode = false;
    int studioBitrateKbps = 80000;
    bool useTestPattern = false;
    bool useVideoFile = false;
    std::optional<std::string> videoFilePath;
    std::optional<std::string> preferredDeviceID;
    bool autoStart = true;
    uint16_t controlPort = 47810;
    std::vector<OutputSettings> extraOutputs;
    std::vector<std::string> enabledEngines = {"tcp", "quic"};

    bool operator==(const SenderSettings&) const = default;

    static const std::vector<int>& frameRateChoices();
    static const std::vector<VideoDimensions>& resolutionChoices();

    // The main tier's bitrate when the automatic rule is on: grows with the pixel count and with the
    // square root of the frame rate; always a whole multiple of 1000 kbit/s.
    static int automaticBitrateKbps(int width, int height, int frameRate, bool studio);

    // The viewer-visible part of these settings, with an empty tier table.
    StreamTuning streamTuning() const;
    // A copy with the viewer-adjustable fields taken from the tuning, clamped to safe ranges.
    SenderSettings applying(const StreamTuning& tuning) const;
    // The settings an extra output runs its own pipeline with; outputs are numbered from 2.
    SenderSettings forExtraOutput(const OutputSettings& output, int number) const;

    // A copy whose sender name and output names are valid UTF-8, each ill-formed sequence replaced by
    // U+FFFD: they reach viewers and the stored settings as JSON text, which takes nothing else.
    SenderSettings withValidNames() const;

    // Lenient: every key is read on its own, and a missing, null, ill-typed or out-of-range value keeps the
    // default; so is every key of an extra output. Only an output without a string id is left out (and
    // logged), the others are kept.
    // Throws WireError only when `object` is not a JSON object. Names come back valid UTF-8.
    static SenderSettings fromJson(const Json& object);
    // All keys in field order; absent optional fields are left out. Throws WireError for a non-finite
    // keyframe interval.
    Json toJson() const;
};

}  // namespace kelvora
