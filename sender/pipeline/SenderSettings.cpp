#include "sender/pipeline/SenderSettings.h"

#include "core/Log.h"
#include "platform/Utf8.h"

#include <algorithm>
#include <cmath>

namespace kelvora {

namespace {

// The ranges a viewer's tuning is clamped to. The program stores what it applies, so a stored file may hold
// anything in them, and the reader takes the same ranges (the studio bitrate that of the main bitrate).
struct Range {
    int lowest;
    int highest;
    bool operator()(int value) const { return value >= lowest && value <= highest; }
};
constexpr Range kTunedMainKbps{1000, 150000};
constexpr Range kTunedMinimumKbps{300, 150000};
constexpr Range kTunedProxyKbps{200, 6000};
constexpr Range kTunedFrameRateLimit{10, 60};
// One picture a second up to the highest rate offered. A stored rate between the offered ones (24, say) is
// kept: the pickers then select nothing and never rewrite it.
constexpr Range kFrameRate{1, 60};
// A keyframe interval between the offered segments selects none of them and stays as it is stored.
constexpr bool isUsableKeyframeInterval(double seconds) {
    return seconds >= 0.5 && seconds <= 10.0;
}

constexpr auto anyValue = [](const auto&) { return true; };

// From the smallest picture the pipeline encodes up to the largest size offered; the pipeline scales to any
// size in between, and measurements run at sizes the pickers do not offer.
bool isOfferedSize(const VideoDimensions& size) {
    constexpr VideoDimensions smallest{160, 90};
    constexpr VideoDimensions largest = VideoDimensions::uhd2160();
    return size.width >= smallest.width && size.height >= smallest.height && size.width <= largest.width &&
           size.height <= largest.height;
}

// 0 takes a free port; below 1024 no user's program may listen.
bool isUsablePort(uint16_t port) {
    return port == 0 || port >= 1024;
}

// Every field with its key and what the reader accepts for it, in field order: the one list that both
// directions of the JSON form use.
template <class Settings, class Visitor>
void visitFields(Settings& s, Visitor&& visit) {
    visit("senderName", s.senderName, anyValue);
    visit("preferredCodec", s.preferredCodec, anyValue);
    visit("resolution", s.resolution, isOfferedSize);
    visit("frameRate", s.frameRate, kFrameRate);
    visit("autoResolution", s.autoResolution, anyValue);
    visit("autoFrameRate", s.autoFrameRate, anyValue);
    visit("maximumFrameRate", s.maximumFrameRate, kTunedFrameRateLimit);
    visit("bitrateKbps", s.bitrateKbps, kTunedMainKbps);
    visit("automaticBitrate", s.automaticBitrate, anyValue);
    visit("minimumBitrateKbps", s.minimumBitrateKbps, kTunedMinimumKbps);
    visit("mainMinimumBitrateKbps", s.mainMinimumBitrateKbps, kTunedMinimumKbps);
    visit("tolerantAdaptation", s.tolerantAdaptation, anyValue);
    visit("remoteTuningAllowed", s.remoteTuningAllowed, anyValue);
    visit("fullBitrateEncoder", s.fullBitrateEncoder, anyValue);
    visit("adaptiveBitrate", s.adaptiveBitrate, anyValue);
    visit("adaptFrameRateFirst", s.adaptFrameRateFirst, anyValue);
    visit("minimumFrameRate", s.minimumFrameRate, kFrameRate);
    visit("proxyStream", s.proxyStream, anyValue);
    visit("proxyBitrateKbps", s.proxyBitrateKbps, kTunedProxyKbps);
    visit("keyframeInterval", s.keyframeInterval, isUsableKeyframeInterval);
    visit("temporalLayering", s.temporalLayering, anyValue);
    visit("longTermReferences", s.longTermReferences, anyValue);
    visit("middleTier", s.middleTier, anyValue);
    visit("mainTierEnabled", s.mainTierEnabled, anyValue);
    visit("hotStandbyProxy", s.hotStandbyProxy, anyValue);
    visit("studioMode", s.studioMode, anyValue);
    visit("studioBitrateKbps", s.studioBitrateKbps, kTunedMainKbps);
    visit("useTestPattern", s.useTestPattern, anyValue);
    visit("useVideoFile", s.useVideoFile, anyValue);
    visit("videoFilePath", s.videoFilePath, anyValue);
    visit("preferredDeviceID", s.preferredDeviceID, anyValue);
    visit("autoStart", s.autoStart, anyValue);
    visit("controlPort", s.controlPort, isUsablePort);
    visit("extraOutputs", s.extraOutputs, anyValue);
    visit("enabledEngines", s.enabledEngines, anyValue);
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

template <class T, class Accepts>
void readLenient(const Json& object, std::string_view key, T& field, const Accepts& accepts) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return;
    try {
        const T value = [&] {
            if constexpr (std::is_same_v<T, VideoCodec>) {
                return codecFromSettings(*it);
            } else {
                return json::from<T>(*it);
            }
        }();
        if (accepts(value))
            field = value;
    } catch (const WireError&) {
        // This key keeps its default; the others are read on their own.
    }
}

// An optional field is set only by a present value of the right type and range.
template <class T, class Accepts>
void readLenient(const Json& object, std::string_view key, std::optional<T>& field, const Accepts& accepts) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return;
    try {
        const T value = json::from<T>(*it);
        if (accepts(value))
            field = value;
    } catch (const WireError&) {
    }
}

// An extra output is read key by key as the settings are, so that a rate stored as text costs the person
// that rate and not the output with its name and source. Only the id is required: the output is announced
// and kept apart from the others by it. Throws WireError for an entry without a string id.
OutputSettings readOutput(const Json& entry) {
    if (!entry.is_object())
        json::fail(std::string("expected an object, found ") + json::typeName(entry));
    OutputSettings output;
    output.id = json::read<std::string>(entry, "id");
    // A value out of range follows the source.
    readLenient(entry, "name", output.name, anyValue);
    readLenient(entry, "sourceID", output.sourceID, anyValue);
    readLenient(entry, "resolution", output.resolution, isOfferedSize);
    readLenient(entry, "frameRate", output.frameRate, kFrameRate);
    return output;
}

// So many left-out outputs are named one by one; a file with more is damaged beyond telling them apart.
constexpr size_t kNamedLeftOutOutputs = 8;

// Each extra output on its own: one without an id is left out and said so, while the others load, run and
// are stored again with the next write; one bad entry must not cost the person every output.
template <class Accepts>
void readLenient(const Json& object, std::string_view key, std::vector<OutputSettings>& field,
                 const Accepts&) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_array())
        return;
    std::vector<OutputSettings> outputs;
    size_t leftOut = 0;
    for (size_t index = 0; index < it->size(); ++index) {
        const Json& entry = (*it)[index];
        try {
            outputs.push_back(readOutput(entry));
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
    const auto clamped = [](int value, Range range) {
        return std::clamp(value, range.lowest, range.highest);
    };
    next.bitrateKbps = clamped(tuning.mainMaximumKbps, kTunedMainKbps);
    next.mainMinimumBitrateKbps = clamped(tuning.mainMinimumKbps, kTunedMinimumKbps);
    next.proxyBitrateKbps = clamped(tuning.proxyKbps, kTunedProxyKbps);
    next.maximumFrameRate = tuning.maximumFrameRate < 1
                                ? std::nullopt
                                : std::optional<int>(clamped(tuning.maximumFrameRate, kTunedFrameRateLimit));
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
    visitFields(settings, [&](std::string_view key, auto& field, const auto& accepts) {
        readLenient(object, key, field, accepts);
    });
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
    visitFields(
        *this, [&](std::string_view key, const auto& field, const auto&) { writeField(object, key, field); });
    return object;
}

}  // namespace kelvora
