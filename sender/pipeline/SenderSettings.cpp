#include "sender/pipeline/SenderSettings.h"

#include "core/Log.h"
#include "platform/Utf8.h"

#include <algorithm>
#include <cmath>

namespace kelvora {

namespace {

// Every field with its key, in field order: the one list that both directions of the JSON form use.
template <class Settings, class Visitor>
void visitFields(Settings& s, Visitor&& visit) {
    visit("senderName", s.senderName);
    visit("preferredCodec", s.preferredCodec);
    visit("resolution", s.resolution);
    visit("frameRate", s.frameRate);
    visit("autoResolution", s.autoResolution);
    visit("autoFrameRate", s.autoFrameRate);
    visit("maximumFrameRate", s.maximumFrameRate);
    visit("bitrateKbps", s.bitrateKbps);
    visit("automaticBitrate", s.automaticBitrate);
    visit("minimumBitrateKbps", s.minimumBitrateKbps);
    visit("mainMinimumBitrateKbps", s.mainMinimumBitrateKbps);
    visit("tolerantAdaptation", s.tolerantAdaptation);
    visit("remoteTuningAllowed", s.remoteTuningAllowed);
    visit("fullBitrateEncoder", s.fullBitrateEncoder);
    visit("adaptiveBitrate", s.adaptiveBitrate);
    visit("adaptFrameRateFirst", s.adaptFrameRateFirst);
    visit("minimumFrameRate", s.minimumFrameRate);
    visit("proxyStream", s.proxyStream);
    visit("proxyBitrateKbps", s.proxyBitrateKbps);
    visit("keyframeInterval", s.keyframeInterval);
    visit("temporalLayering", s.temporalLayering);
    visit("longTermReferences", s.longTermReferences);
    visit("middleTier", s.middleTier);
    visit("mainTierEnabled", s.mainTierEnabled);
    visit("hotStandbyProxy", s.hotStandbyProxy);
    visit("studioMode", s.studioMode);
    visit("studioBitrateKbps", s.studioBitrateKbps);
    visit("useTestPattern", s.useTestPattern);
    visit("useVideoFile", s.useVideoFile);
    visit("videoFilePath", s.videoFilePath);
    visit("preferredDeviceID", s.preferredDeviceID);
    visit("autoStart", s.autoStart);
    visit("controlPort", s.controlPort);
    visit("extraOutputs", s.extraOutputs);
    visit("enabledEngines", s.enabledEngines);
}

// The stored settings name the codec by its text. Files written with the codec's number load as well, so
// that a record never loses its codec over the form it was written in.
VideoCodec codecFromSettings(const Json& value) {
    if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        if (text == "h264")
            return VideoCodec::h264;
        if (text == "hevc")
            return VideoCodec::hevc;
        json::fail("unknown codec \"" + text + "\"");
    }
    return json::from<VideoCodec>(value);
}

template <class T>
void readLenient(const Json& object, std::string_view key, T& field) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return;
    try {
        if constexpr (std::is_same_v<T, VideoCodec>) {
            field = codecFromSettings(*it);
        } else {
            field = json::from<T>(*it);
        }
    } catch (const WireError&) {
        // This key keeps its default; the others are read on their own.
    }
}

// An optional field is set only by a present value of the right type.
template <class T>
void readLenient(const Json& object, std::string_view key, std::optional<T>& field) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return;
    try {
        field = json::from<T>(*it);
    } catch (const WireError&) {
    }
}

// So many left-out outputs are named one by one; a file with more is damaged beyond telling them apart.
constexpr size_t kNamedLeftOutOutputs = 8;

// Each extra output on its own: one that does not decode is left out and said so, while the others load, run
// and are stored again with the next write; one bad entry must not cost the person every output.
void readLenient(const Json& object, std::string_view key, std::vector<OutputSettings>& field) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_array())
        return;
    std::vector<OutputSettings> outputs;
    size_t leftOut = 0;
    for (size_t index = 0; index < it->size(); ++index) {
        const Json& entry = (*it)[index];
        try {
            outputs.push_back(json::from<OutputSettings>(entry));
        } catch (const WireError& error) {
            if (++leftOut > kNamedLeftOutOutputs)
                continue;
            const auto name = entry.is_object() ? entry.find("name") : entry.end();
            const bool named = entry.is_object() && name != entry.end() && name->is_string();
            Log::capture().warn("Gespeicherter Ausgang {}{} ausgelassen: {}", index + 1,
                                named ? " " + json::quotedForLog(name->get_ref<const std::string&>()) : "",
                                error.detail());
        }
    }
    if (leftOut > kNamedLeftOutOutputs)
        Log::capture().warn("Dazu {} weitere gespeicherte Ausgänge ausgelassen",
                            leftOut - kNamedLeftOutOutputs);
    field = std::move(outputs);
}

template <class T>
void writeField(Json& object, std::string_view key, const T& field) {
    if constexpr (std::is_same_v<T, VideoCodec>) {
        object[std::string(key)] = std::string(videoCodecName(field));
    } else {
        json::write(object, key, field);
    }
}

template <class T>
void writeField(Json& object, std::string_view key, const std::optional<T>& field) {
    json::writeOptional(object, key, field);
}

}  // namespace

const std::vector<int>& SenderSettings::frameRateChoices() {
    static const std::vector<int> choices{25, 30, 50, 60};
    return choices;
}

const std::vector<VideoDimensions>& SenderSettings::resolutionChoices() {
    static const std::vector<VideoDimensions> choices{VideoDimensions::hd720(), VideoDimensions::hd1080(),
                                                      VideoDimensions::uhd2160()};
    return choices;
}

int SenderSettings::automaticBitrateKbps(int width, int height, int frameRate, bool studio) {
    double ratio = double(int64_t(width) * int64_t(height)) / double(int64_t(1920) * 1080);
    double base = std::sqrt(double(std::max(frameRate, 1)) / 60.0) * (ratio * 20000.0);
    double kbps;
    if (std::isnan(base) || base < 4000) {
        kbps = studio ? 20000 : 4000;
    } else if (base >= 40000) {
        kbps = studio ? 150000 : 40000;
    } else {
        kbps = studio ? std::clamp(4 * base, 20000.0, 150000.0) : base;
    }
    return int(std::round(kbps / 1000.0)) * 1000;
}

StreamTuning SenderSettings::streamTuning() const {
    StreamTuning tuning;
    tuning.remoteControlAllowed = remoteTuningAllowed;
    tuning.adaptiveBitrate = adaptiveBitrate;
    tuning.tolerantAdaptation = tolerantAdaptation;
    tuning.mainTierEnabled = mainTierEnabled;
    tuning.middleTierEnabled = middleTier;
    tuning.proxyEnabled = proxyStream;
    tuning.studioMode = studioMode;
    tuning.automaticBitrate = automaticBitrate;
    tuning.mainMaximumKbps = bitrateKbps;
    tuning.mainMinimumKbps = mainMinimumBitrateKbps;
    tuning.proxyKbps = proxyBitrateKbps;
    tuning.maximumFrameRate = maximumFrameRate.value_or(0);
    tuning.fullBitrateEncoder = fullBitrateEncoder;
    return tuning;
}

SenderSettings SenderSettings::applying(const StreamTuning& tuning) const {
    SenderSettings next = *this;
    next.adaptiveBitrate = tuning.adaptiveBitrate;
    next.tolerantAdaptation = tuning.tolerantAdaptation;
    next.studioMode = tuning.studioMode;
    next.automaticBitrate = tuning.automaticBitrate;
    next.middleTier = tuning.middleTierEnabled;
    next.proxyStream = tuning.proxyEnabled;
    // A viewer can never switch every tier off.
    bool anyTier = tuning.mainTierEnabled || tuning.middleTierEnabled || tuning.proxyEnabled;
    next.mainTierEnabled = anyTier ? tuning.mainTierEnabled : true;
    next.bitrateKbps = std::clamp(tuning.mainMaximumKbps, 1000, 150000);
    next.mainMinimumBitrateKbps = std::clamp(tuning.mainMinimumKbps, 300, 150000);
    next.proxyBitrateKbps = std::clamp(tuning.proxyKbps, 200, 6000);
    next.maximumFrameRate = tuning.maximumFrameRate < 1
                                ? std::nullopt
                                : std::optional<int>(std::clamp(tuning.maximumFrameRate, 10, 60));
    if (tuning.fullBitrateEncoder)
        next.fullBitrateEncoder = *tuning.fullBitrateEncoder;
    return next;
}

SenderSettings SenderSettings::forExtraOutput(const OutputSettings& output, int number) const {
    SenderSettings derived = *this;
    derived.senderName = output.name;
    if (output.resolution) {
        derived.resolution = *output.resolution;
        derived.autoResolution = false;
    } else {
        derived.autoResolution = true;
    }
    if (output.frameRate) {
        derived.frameRate = *output.frameRate;
        derived.autoFrameRate = false;
    } else {
        derived.autoFrameRate = true;
    }
    derived.useTestPattern = output.sourceID == "testpattern";
    derived.preferredDeviceID = derived.useTestPattern ? std::nullopt : output.sourceID;
    derived.useVideoFile = false;
    derived.autoStart = false;
    // Extra outputs listen beside the default control port, whatever the main output uses.
    derived.controlPort =
        uint16_t(47810 + std::clamp(int64_t(number) - 1, int64_t(0), int64_t(65535 - 47810)));
    derived.extraOutputs.clear();
    return derived;
}

SenderSettings SenderSettings::fromJson(const Json& object) {
    if (!object.is_object())
        json::fail(std::string("expected an object, found ") + json::typeName(object));
    SenderSettings settings;
    visitFields(settings, [&](std::string_view key, auto& field) { readLenient(object, key, field); });
    return settings.withValidNames();
}

SenderSettings SenderSettings::withValidNames() const {
    SenderSettings valid = *this;
    valid.senderName = validUtf8(senderName);
    for (OutputSettings& output : valid.extraOutputs) {
        output.name = validUtf8(output.name);
    }
    return valid;
}

Json SenderSettings::toJson() const {
    Json object = Json::object();
    visitFields(*this, [&](std::string_view key, const auto& field) { writeField(object, key, field); });
    return object;
}

}  // namespace kelvora
