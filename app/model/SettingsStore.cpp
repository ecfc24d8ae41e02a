#include "app/model/SettingsStore.h"

#include <algorithm>

#include "core/EngineKind.h"
#include "core/Log.h"
#include "core/WireError.h"
#include "platform/Uuid.h"

namespace kelvora {

DefaultsWriter::DefaultsWriter(UserDefaults& defaults)
    : defaults_(defaults), queue_(std::make_unique<SerialQueue>(SerialQueue::labelFor("defaults.write"))) {}

DefaultsWriter::~DefaultsWriter() {
    close();
}

void DefaultsWriter::set(const std::string& key, UserDefaults::Json value) {
    {
        std::lock_guard lock(mutex_);
        if (!closed_) {
            pending_[key] = std::move(value);
            if (!scheduled_) {
                scheduled_ = true;
                queue_->async([this] { writePending(); });
            }
            return;
        }
    }
    try {
        defaults_.set(key, std::move(value));
    } catch (const UserDefaultsError& error) {
        Log::capture().error("Einstellung „{}“ nicht gespeichert: {}", key, error.what());
    }
}

std::optional<UserDefaults::Json> DefaultsWriter::value(const std::string& key) const {
    {
        std::lock_guard lock(mutex_);
        if (auto it = pending_.find(key); it != pending_.end()) {
            return it->second;
        }
    }
    return defaults_.value(key);
}

std::optional<bool> DefaultsWriter::boolValue(const std::string& key) const {
    const auto found = value(key);
    if (!found || !found->is_boolean()) {
        return std::nullopt;
    }
    return found->get<bool>();
}

void DefaultsWriter::writePending() {
    std::map<std::string, UserDefaults::Json> batch;
    {
        std::lock_guard lock(mutex_);
        scheduled_ = false;
        batch = pending_;
    }
    for (auto& [key, value] : batch) {
        try {
            defaults_.set(key, value);
        } catch (const UserDefaultsError& error) {
            Log::capture().error("Einstellung „{}“ nicht gespeichert: {}", key, error.what());
        }
    }
    std::lock_guard lock(mutex_);
    // Only what is still the newest value leaves the waiting list; a newer one waits for the next task.
    for (auto& [key, value] : batch) {
        if (auto it = pending_.find(key); it != pending_.end() && it->second == value) {
            pending_.erase(it);
        }
    }
}

void DefaultsWriter::flush() {
    std::unique_lock lock(mutex_);
    if (closed_) {
        return;
    }
    lock.unlock();
    queue_->sync([this] { writePending(); });
}

void DefaultsWriter::close() {
    flush();
    std::unique_ptr<SerialQueue> queue;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        queue = std::move(queue_);
    }
}

SenderSettings withWeakWiFiPreset(SenderSettings settings, bool hevcHardware) {
    settings.preferredCodec = hevcHardware ? VideoCodec::hevc : VideoCodec::h264;
    settings.bitrateKbps = 6000;
    settings.automaticBitrate = false;
    settings.maximumFrameRate = 30;
    settings.adaptiveBitrate = true;
    settings.adaptFrameRateFirst = true;
    settings.middleTier = true;
    settings.mainTierEnabled = true;
    settings.proxyStream = true;
    settings.proxyBitrateKbps = 1500;
    settings.studioMode = false;
    return settings;
}

std::optional<UserDefaults::Json> settingsData(const SenderSettings& settings) {
    try {
        return UserDefaults::Json(settings.toJson());
    } catch (const WireError&) {
        return std::nullopt;
    }
}

SenderSettings loadSettings(UserDefaults& defaults, bool hevcHardware) {
    const bool presetApplied = defaults.boolValue(kPresetKey).value_or(false);
    try {
        defaults.set(kPresetKey, true);
    } catch (const UserDefaultsError& error) {
        Log::capture().error("Einstellung „{}“ nicht gespeichert: {}", kPresetKey, error.what());
    }

    std::optional<SenderSettings> decoded;
    if (auto stored = defaults.value(kSettingsKey)) {
        try {
            // Older writers kept the JSON as text.
            decoded = SenderSettings::fromJson(stored->is_string() ? json::decode(stored->get<std::string>())
                                                                   : Json(*stored));
        } catch (const WireError& error) {
            Log::capture().error("Gespeicherte Einstellungen unlesbar: {}", error.text());
        }
    }
    if (!decoded) {
        SenderSettings settings = withWeakWiFiPreset(SenderSettings{}, hevcHardware);
        settings.useTestPattern = false;
        return settings;
    }

    SenderSettings settings = std::move(*decoded);
    // An extra output is announced under the sender's id, "-" and its own: one that no UUID writer made
    // (empty, too long, or holding what a viewer would cut or replace) gets a fresh id and keeps its name,
    // source and format. The fresh id is stored at once, as the sender's own is, so that a viewer that
    // played the output finds it again after a restart.
    bool renewedOutputID = false;
    for (OutputSettings& output : settings.extraOutputs) {
        if (!isUuidText(output.id)) {
            output.id = newUuid();
            renewedOutputID = true;
        }
    }
    if (!presetApplied) {
        settings = withWeakWiFiPreset(std::move(settings), hevcHardware);
    }
    if (!presetApplied || renewedOutputID) {
        if (auto data = settingsData(settings)) {
            try {
                defaults.set(kSettingsKey, std::move(*data));
            } catch (const UserDefaultsError& error) {
                Log::capture().error("Einstellung „{}“ nicht gespeichert: {}", kSettingsKey, error.what());
            }
        }
    }
    if (!defaults.boolValue(kDeveloperModeKey).value_or(true)) {
        settings.useTestPattern = false;
        settings.useVideoFile = false;
        for (auto& output : settings.extraOutputs) {
            if (output.sourceID == "testpattern") {
                output.sourceID.reset();
            }
        }
    }
    return settings;
}

std::vector<std::string> canonicalEngines(const std::set<std::string>& names) {
    std::vector<std::string> result;
    for (const auto& kind : EngineKind::all()) {
        if (names.contains(kind.rawValue)) {
            result.push_back(kind.rawValue);
        }
    }
    for (const auto& name : names) {
        if (std::find(result.begin(), result.end(), name) == result.end()) {
            result.push_back(name);
        }
    }
    return result;
}

}  // namespace kelvora
