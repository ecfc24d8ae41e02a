#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/SerialQueue.h"
#include "platform/UserDefaults.h"
#include "sender/pipeline/SenderSettings.h"

namespace kelvora {

// Writes user defaults off the calling thread: a slider that moves writes on every step, and each write
// replaces the file with an fsync. Values wait in memory, the newest per key wins, and one task on the
// writer's queue ("defaults.write") writes whatever waits. Reads through the writer see waiting values
// first, so the caller never reads back an older value than it wrote.
//
// Threads: every member may be called from any thread. After `close` every write goes straight to the
// store on the calling thread and the queue is gone.
class DefaultsWriter {
  public:
    explicit DefaultsWriter(UserDefaults& defaults);
    ~DefaultsWriter();
    DefaultsWriter(const DefaultsWriter&) = delete;
    DefaultsWriter& operator=(const DefaultsWriter&) = delete;

    UserDefaults& store() { return defaults_; }
    void set(const std::string& key, UserDefaults::Json value);
    std::optional<UserDefaults::Json> value(const std::string& key) const;
    std::optional<bool> boolValue(const std::string& key) const;
    // Returns once everything written before is in the file.
    void flush();
    // Flushes and ends the queue.
    void close();

  private:
    void writePending();

    UserDefaults& defaults_;
    mutable std::mutex mutex_;
    std::map<std::string, UserDefaults::Json> pending_;
    bool scheduled_ = false;
    bool closed_ = false;
    std::unique_ptr<SerialQueue> queue_;
};

// The one-time preset for weak Wi-Fi networks: eleven fields, the others as they are.
SenderSettings withWeakWiFiPreset(SenderSettings settings, bool hevcHardware);

// Reads the main settings once at start-up: defaults with the preset when nothing readable is stored (and
// nothing is written then); the preset applied and stored once for settings from before it existed; a fresh
// id, stored at once, for every extra output whose stored id is no UUID; the test picture and video file
// switched off outside developer mode (not written back).
SenderSettings loadSettings(UserDefaults& defaults, bool hevcHardware);

// The stored form of the settings; nothing when they cannot be encoded.
std::optional<UserDefaults::Json> settingsData(const SenderSettings& settings);

// The known engines first in their own order, then the others sorted.
std::vector<std::string> canonicalEngines(const std::set<std::string>& names);

inline constexpr const char* kSettingsKey = "SenderSettings.v1";
inline constexpr const char* kPresetKey = "AppliedWeakWiFiPreset.v1";
inline constexpr const char* kDeveloperModeKey = "DeveloperMode";

}  // namespace kelvora
