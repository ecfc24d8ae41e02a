#include "platform/UserDefaults.h"

#include "platform/Logger.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace kelvora {

namespace fs = std::filesystem;
using Json = UserDefaults::Json;

namespace {

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

/// Identifies one version of the file on disk; a rename gives a new inode, an in-place rewrite a new
/// size or change time.
struct FileSignature {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modifiedNs = 0;
    int64_t changedNs = 0;
    bool operator==(const FileSignature&) const = default;
};

FileSignature signatureOf(const fs::path& file) {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) {
        return {};
    }
    return {true,
            info.st_dev,
            info.st_ino,
            info.st_size,
            int64_t(info.st_mtim.tv_sec) * 1'000'000'000 + info.st_mtim.tv_nsec,
            int64_t(info.st_ctim.tv_sec) * 1'000'000'000 + info.st_ctim.tv_nsec};
}

bool isRepresentable(const Json& value) {
    if (value.is_number_float()) {
        return std::isfinite(value.get<double>());
    }
    if (value.is_structured()) {
        return std::all_of(value.begin(), value.end(),
                           [](const Json& element) { return isRepresentable(element); });
    }
    return true;
}

/// Closes a descriptor when it goes out of scope.
struct FileDescriptor {
    int fd = -1;
    explicit FileDescriptor(int value) : fd(value) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

void writeAll(int fd, const std::string& text) {
    size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw UserDefaultsError(errnoText("Einstellungen nicht geschrieben", errno));
        }
        written += size_t(n);
    }
}

/// The watcher thread's descriptors, shared with the store so that they stay open until both are done.
struct WatchDescriptors {
    int inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    WatchDescriptors() = default;
    WatchDescriptors(const WatchDescriptors&) = delete;
    WatchDescriptors& operator=(const WatchDescriptors&) = delete;
    ~WatchDescriptors() {
        if (inotify >= 0) {
            ::close(inotify);
        }
        if (wake >= 0) {
            ::close(wake);
        }
    }
};

}  // namespace

struct UserDefaults::Observation::Entry {
    std::string key;
    Handler handler;
    // Held while the handler runs, so that cancelling from another thread waits for the call to end;
    // recursive because a handler may cancel itself or write to the store that calls it again.
    std::recursive_mutex callMutex;
    bool active = true;             // guarded by callMutex
    std::optional<Json> lastValue;  // guarded by the store's mutex
};

struct UserDefaults::State {
    explicit State(spdlog::logger& logger) : log(logger) {}

    spdlog::logger& log;
    std::string appID;
    fs::path root;
    fs::path file;

    mutable std::mutex mutex;
    mutable Json fileObject = Json::object();
    mutable FileSignature signature;
    mutable bool damaged = false;
    Json registered = Json::object();
    std::vector<std::shared_ptr<Observation::Entry>> observers;

    std::once_flag watcherStarted;
    std::shared_ptr<WatchDescriptors> watch;
    std::thread watcher;

    // With the mutex held: brings the cache in line with the file when the file changed.
    void refreshLocked() const {
        FileSignature current = signatureOf(file);
        if (current == signature) {
            return;
        }
        signature = current;
        damaged = false;
        fileObject = Json::object();
        if (!current.exists) {
            return;
        }
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        Json parsed = Json::parse(text.str(), nullptr, false);
        if (parsed.is_object()) {
            fileObject = std::move(parsed);
        } else if (!text.str().empty()) {
            // Unreadable content reads as empty; the next write keeps a copy instead of destroying it.
            damaged = true;
            log.warn("Einstellungsdatei {} ist beschädigt und wird als leer gelesen", file.string());
        }
    }

    std::optional<Json> effectiveLocked(const std::string& key) const {
        refreshLocked();
        if (auto found = fileObject.find(key); found != fileObject.end() && !found->is_null()) {
            return *found;
        }
        if (auto found = registered.find(key); found != registered.end() && !found->is_null()) {
            return *found;
        }
        return std::nullopt;
    }

    using Notification = std::pair<std::shared_ptr<Observation::Entry>, std::optional<Json>>;

    std::vector<Notification> collectLocked() {
        std::vector<Notification> out;
        for (auto& entry : observers) {
            auto now = effectiveLocked(entry->key);
            if (now != entry->lastValue) {
                entry->lastValue = now;
                out.emplace_back(entry, std::move(now));
            }
        }
        return out;
    }

    static void deliver(const std::vector<Notification>& notifications) {
        for (const auto& [entry, value] : notifications) {
            std::lock_guard call(entry->callMutex);
            if (entry->active) {
                entry->handler(value);
            }
        }
    }

    // With the mutex held: the folder's lock, which serialises the read-modify-write cycle of every process
    // that shares the file; released when the descriptor closes.
    FileDescriptor lockFolderLocked() const {
        std::error_code error;
        fs::create_directories(root, error);
        if (error) {
            throw UserDefaultsError("Ordner " + root.string() + " nicht angelegt: " + error.message());
        }
        FileDescriptor folder(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (folder.fd < 0) {
            throw UserDefaultsError(errnoText("Ordner " + root.string() + " nicht lesbar", errno));
        }
        while (::flock(folder.fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                throw UserDefaultsError(errnoText("Einstellungen nicht gesperrt", errno));
            }
        }
        return folder;
    }

    // With the mutex and the folder's lock held: merges one change into the file as it is on disk and
    // replaces it atomically.
    void writeLocked(const FileDescriptor& folder, const std::string& key, const std::optional<Json>& value) {
        refreshLocked();
        Json updated = fileObject;
        if (value) {
            updated[key] = *value;
        } else {
            updated.erase(key);
        }
        std::error_code error;
        if (damaged) {
            fs::path keep = file;
            keep += ".damaged";
            fs::rename(file, keep, error);
        }

        std::string temporary = (file.string() + ".XXXXXX");
        FileDescriptor out(::mkostemp(temporary.data(), O_CLOEXEC));
        if (out.fd < 0) {
            throw UserDefaultsError(errnoText("Einstellungen nicht geschrieben", errno));
        }
        try {
            if (::fchmod(out.fd, 0600) != 0) {
                throw UserDefaultsError(errnoText("Rechte nicht gesetzt", errno));
            }
            writeAll(out.fd, updated.dump(2) + "\n");
            if (::fsync(out.fd) != 0) {
                throw UserDefaultsError(errnoText("Einstellungen nicht gesichert", errno));
            }
            if (::rename(temporary.c_str(), file.c_str()) != 0) {
                throw UserDefaultsError(errnoText("Einstellungen nicht ersetzt", errno));
            }
        } catch (...) {
            ::unlink(temporary.c_str());
            throw;
        }
        ::fsync(folder.fd);
        fileObject = std::move(updated);
        signature = signatureOf(file);
        damaged = false;
    }

    void writeLocked(const std::string& key, const std::optional<Json>& value) {
        writeLocked(lockFolderLocked(), key, value);
    }

    void startWatcher(const std::shared_ptr<State>& self) {
        std::error_code error;
        fs::create_directories(root, error);
        auto fds = std::make_shared<WatchDescriptors>();
        if (fds->inotify < 0 || fds->wake < 0 ||
            ::inotify_add_watch(fds->inotify, root.c_str(),
                                IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE) < 0) {
            // Without a watch only changes made through this object reach the observers; reads still see
            // the file as it is.
            log.warn("Änderungen an {} durch andere Programme werden nicht bemerkt: {}", file.string(),
                     std::strerror(errno));
            return;
        }
        watch = fds;
        std::weak_ptr<State> weak = self;
        watcher = std::thread([weak, fds, name = file.filename().string()] {
            pthread_setname_np(pthread_self(), "defaults");
            alignas(struct inotify_event) char buffer[4096];
            for (;;) {
                pollfd polled[2] = {{fds->inotify, POLLIN, 0}, {fds->wake, POLLIN, 0}};
                if (::poll(polled, 2, -1) < 0) {
                    if (errno == EINTR) {
                        continue;
                    }
                    return;
                }
                if (polled[1].revents != 0) {
                    return;
                }
                bool relevant = false;
                for (;;) {
                    ssize_t n = ::read(fds->inotify, buffer, sizeof buffer);
                    if (n <= 0) {
                        break;
                    }
                    for (char* at = buffer; at < buffer + n;) {
                        auto* event = reinterpret_cast<struct inotify_event*>(at);
                        at += sizeof(struct inotify_event) + event->len;
                        relevant = relevant || (event->len > 0 && name == event->name);
                    }
                }
                if (!relevant) {
                    continue;
                }
                auto self = weak.lock();
                if (!self) {
                    return;
                }
                std::vector<Notification> notifications;
                {
                    std::lock_guard lock(self->mutex);
                    notifications = self->collectLocked();
                }
                deliver(notifications);
            }
        });
    }

    ~State() {
        if (watcher.joinable()) {
            uint64_t one = 1;
            [[maybe_unused]] ssize_t n = ::write(watch->wake, &one, sizeof one);
            if (watcher.get_id() == std::this_thread::get_id()) {
                // The last reference went away inside a handler on the watcher thread, which ends by itself
                // at its next wake-up and keeps its descriptors until then.
                watcher.detach();
            } else {
                watcher.join();
            }
        }
    }
};

UserDefaults::Observation& UserDefaults::Observation::operator=(Observation&& other) noexcept {
    if (this != &other) {
        cancel();
        state_ = std::move(other.state_);
        entry_ = std::move(other.entry_);
    }
    return *this;
}

UserDefaults::Observation::~Observation() {
    cancel();
}

void UserDefaults::Observation::cancel() {
    if (!entry_) {
        return;
    }
    {
        std::lock_guard call(entry_->callMutex);
        entry_->active = false;
    }
    if (auto state = state_.lock()) {
        std::lock_guard lock(state->mutex);
        std::erase(state->observers, entry_);
    }
    entry_.reset();
    state_.reset();
}

UserDefaults::UserDefaults(std::string appID, std::filesystem::path root, spdlog::logger& log)
    : state_(std::make_shared<State>(log)) {
    state_->appID = std::move(appID);
    state_->root = std::move(root);
    state_->file = state_->root / (state_->appID + ".defaults.json");
}

UserDefaults::UserDefaults(std::string appID, std::filesystem::path root)
    : UserDefaults(std::move(appID), std::move(root), platformLogger("capture")) {}

UserDefaults::~UserDefaults() = default;

UserDefaults& UserDefaults::standard() {
    static UserDefaults defaults("app.kelvora.sender");
    return defaults;
}

std::filesystem::path UserDefaults::defaultRoot() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && config[0] == '/') {
        return fs::path(config) / "Kelvora";
    }
    const char* home = std::getenv("HOME");
    if (!home || home[0] == '\0') {
        if (passwd* user = ::getpwuid(::getuid())) {
            home = user->pw_dir;
        }
    }
    return fs::path(home ? home : "/") / ".config" / "Kelvora";
}

const std::filesystem::path& UserDefaults::filePath() const {
    return state_->file;
}

std::optional<Json> UserDefaults::value(const std::string& key) const {
    std::lock_guard lock(state_->mutex);
    return state_->effectiveLocked(key);
}

std::optional<bool> UserDefaults::boolValue(const std::string& key) const {
    auto found = value(key);
    if (!found || !found->is_boolean()) {
        return std::nullopt;
    }
    return found->get<bool>();
}

std::optional<int64_t> UserDefaults::integer(const std::string& key) const {
    auto found = value(key);
    if (!found) {
        return std::nullopt;
    }
    if (found->is_number_unsigned()) {
        auto number = found->get<uint64_t>();
        if (number > uint64_t(std::numeric_limits<int64_t>::max())) {
            return std::nullopt;
        }
        return int64_t(number);
    }
    if (found->is_number_integer()) {
        return found->get<int64_t>();
    }
    return std::nullopt;
}

std::optional<double> UserDefaults::doubleValue(const std::string& key) const {
    auto found = value(key);
    if (!found || !found->is_number()) {
        return std::nullopt;
    }
    return found->get<double>();
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
    auto found = value(key);
    if (!found || !found->is_string()) {
        return std::nullopt;
    }
    return found->get<std::string>();
}

void UserDefaults::set(const std::string& key, Json value) {
    if (value.is_null()) {
        remove(key);
        return;
    }
    if (!isRepresentable(value)) {
        throw UserDefaultsError("Wert für \"" + key + "\" ist keine endliche Zahl");
    }
    std::vector<State::Notification> notifications;
    {
        std::lock_guard lock(state_->mutex);
        state_->writeLocked(key, value);
        notifications = state_->collectLocked();
    }
    State::deliver(notifications);
}

Json UserDefaults::valueOrCreate(const std::string& key, const std::function<bool(const Json&)>& keep,
                                 const std::function<Json()>& make) {
    Json value;
    std::vector<State::Notification> notifications;
    {
        std::lock_guard lock(state_->mutex);
        const FileDescriptor folder = state_->lockFolderLocked();
        // Read again under the folder's lock: a value another process created a moment ago is found here.
        if (auto found = state_->effectiveLocked(key); found && keep(*found)) {
            return *found;
        }
        value = make();
        if (value.is_null() || !isRepresentable(value)) {
            throw UserDefaultsError("Wert für \"" + key + "\" ist nicht speicherbar");
        }
        state_->writeLocked(folder, key, value);
        notifications = state_->collectLocked();
    }
    State::deliver(notifications);
    return value;
}

void UserDefaults::remove(const std::string& key) {
    std::vector<State::Notification> notifications;
    {
        std::lock_guard lock(state_->mutex);
        state_->refreshLocked();
        if (!state_->fileObject.contains(key)) {
            return;
        }
        state_->writeLocked(key, std::nullopt);
        notifications = state_->collectLocked();
    }
    State::deliver(notifications);
}

void UserDefaults::registerDefaults(const Json& defaults) {
    if (!defaults.is_object()) {
        throw UserDefaultsError("Standardwerte müssen ein JSON-Objekt sein");
    }
    std::vector<State::Notification> notifications;
    {
        std::lock_guard lock(state_->mutex);
        for (const auto& [key, value] : defaults.items()) {
            state_->registered[key] = value;
        }
        notifications = state_->collectLocked();
    }
    State::deliver(notifications);
}

UserDefaults::Observation UserDefaults::observe(const std::string& key, Handler handler) {
    std::call_once(state_->watcherStarted, [this] { state_->startWatcher(state_); });
    auto entry = std::make_shared<Observation::Entry>();
    entry->key = key;
    entry->handler = std::move(handler);
    {
        std::lock_guard lock(state_->mutex);
        entry->lastValue = state_->effectiveLocked(key);
        state_->observers.push_back(entry);
    }
    Observation observation;
    observation.state_ = state_;
    observation.entry_ = std::move(entry);
    return observation;
}

}  // namespace kelvora
