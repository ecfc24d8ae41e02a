#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>

namespace spdlog {
class logger;
}

namespace kelvora {

/// A write to the defaults file failed (folder not creatable, disk full, permissions).
class UserDefaultsError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

/// Key-value preferences of one application, kept as one JSON object in
/// `<root>/<app-id>.defaults.json` (root: `$XDG_CONFIG_HOME/Kelvora`, else `~/.config/Kelvora`).
///
/// Reads see the file as it is now: the cached object is reloaded whenever the file on disk changed,
/// so a value written by another process is visible at once. A key missing from the file falls back to
/// the registered defaults (kept in memory only). Typed reads answer "absent" for a missing key and for
/// a value of another JSON type, so a damaged or hand-edited file can never make a caller misread it.
///
/// Writes merge into the current file under an exclusive lock on the folder and replace the file
/// atomically (temporary file, fsync, rename; mode 0600), so a crash leaves either the old or the new
/// file and two processes cannot lose each other's keys.
///
/// Observers are per key and fire when the key's effective value changes: synchronously on the writing
/// thread for writes through this object, and on the store's watcher thread ("defaults", inotify on the
/// folder) when another process rewrites the file. Handlers run outside every lock of the store and may
/// read or write it. All members are thread-safe.
class UserDefaults {
    struct State;

  public:
    using Json = nlohmann::ordered_json;
    /// Gets the key's new effective value (none when it was removed and has no registered default).
    using Handler = std::function<void(const std::optional<Json>&)>;

    /// Keeps an observer registered for as long as it lives. Destroying it from another thread waits for
    /// a handler call that is under way; destroying it inside its own handler is allowed.
    class Observation {
      public:
        Observation() = default;
        Observation(Observation&&) noexcept = default;
        Observation& operator=(Observation&& other) noexcept;
        ~Observation();
        void cancel();

      private:
        friend class UserDefaults;
        struct Entry;
        std::weak_ptr<State> state_;
        std::shared_ptr<Entry> entry_;
    };

    /// The store's own troubles (a damaged file, changes of other programs that go unnoticed) are logged to
    /// `log`; without one, to the sender's category "capture", which holds the sender's application model.
    UserDefaults(std::string appID, std::filesystem::path root, spdlog::logger& log);
    UserDefaults(std::string appID, std::filesystem::path root);
    explicit UserDefaults(std::string appID) : UserDefaults(std::move(appID), defaultRoot()) {}
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    /// The process-wide store of this program ("app.kelvora.sender" under the default root).
    static UserDefaults& standard();
    /// `$XDG_CONFIG_HOME/Kelvora` when that variable holds an absolute path, else `$HOME/.config/Kelvora`.
    static std::filesystem::path defaultRoot();

    const std::filesystem::path& filePath() const;

    std::optional<bool> boolValue(const std::string& key) const;
    /// Only JSON integers that fit in int64 count; 1.5 or "3" are absent.
    std::optional<int64_t> integer(const std::string& key) const;
    /// Any JSON number.
    std::optional<double> doubleValue(const std::string& key) const;
    std::optional<std::string> string(const std::string& key) const;
    /// The effective value of any JSON type (objects and arrays included).
    std::optional<Json> value(const std::string& key) const;

    /// Stores a value; throws UserDefaultsError when the file cannot be written (nothing changes then).
    void set(const std::string& key, Json value);
    /// The key's effective value when `keep` accepts it; otherwise the value `make` gives, stored before it
    /// is returned. Reading, deciding and writing are one step under the folder's lock, so of two processes
    /// that find the key missing at once the first creates the value and the second reads and returns it.
    /// Throws UserDefaultsError when the new value cannot be stored (nothing changes then).
    Json valueOrCreate(const std::string& key, const std::function<bool(const Json&)>& keep,
                       const std::function<Json()>& make);
    void remove(const std::string& key);
    /// Values used for keys the file does not hold; merged into earlier registrations, never written.
    void registerDefaults(const Json& defaults);

    [[nodiscard]] Observation observe(const std::string& key, Handler handler);

  private:
    std::shared_ptr<State> state_;
};

}  // namespace kelvora
