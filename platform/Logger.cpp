#include "platform/Logger.h"

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/sinks/systemd_sink.h>
#include <spdlog/spdlog.h>
#include <sys/stat.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kelvora {
namespace {

// Where journald listens for native log messages. Without it (containers, CI) every write to the journal
// sink would fail and spdlog would report that failure on standard error for each line.
constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

bool journalIsRunning() {
    struct stat info {};
    return ::stat(kJournalSocket, &info) == 0 && S_ISSOCK(info.st_mode);
}

class LoggerRegistry {
  public:
    LoggerRegistry() {
        // The sinks are shared by all categories so that lines of different loggers never interleave.
        auto console = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
        console->set_pattern("%Y-%m-%d %H:%M:%S.%e [%n] %^%l%$: %v");
        sinks_.push_back(std::move(console));
        if (journalIsRunning()) {
            sinks_.push_back(std::make_shared<spdlog::sinks::systemd_sink_mt>());
        }
    }

    spdlog::logger& logger(std::string_view prefix, std::string_view category) {
        std::string name = std::string(prefix) + "." + std::string(category);
        std::lock_guard lock(mutex_);
        auto found = loggers_.find(name);
        if (found != loggers_.end()) {
            return *found->second;
        }
        auto logger = std::make_shared<spdlog::logger>(name, sinks_.begin(), sinks_.end());
        logger->set_level(spdlog::level::info);
        // Warnings and errors reach the journal and the terminal at once, even if the process dies next.
        logger->flush_on(spdlog::level::warn);
        // Our map keeps the logger alive; the spdlog registry only makes it reachable through spdlog::get
        // and global level changes. A logger of that name registered by someone else is left alone.
        if (!spdlog::get(name)) {
            spdlog::register_logger(logger);
        }
        auto& stored = loggers_.emplace(std::move(name), std::move(logger)).first->second;
        return *stored;
    }

  private:
    std::mutex mutex_;
    std::vector<spdlog::sink_ptr> sinks_;
    std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers_;
};

LoggerRegistry& registry() {
    // Never destroyed: loggers may still be used by threads that outlive static destruction.
    static auto* instance = new LoggerRegistry();
    return *instance;
}

}  // namespace

spdlog::logger& platformLogger(std::string_view category) {
    return registry().logger(kLoggerPrefix, category);
}

spdlog::logger& platformLogger(std::string_view prefix, std::string_view category) {
    return registry().logger(prefix, category);
}

}  // namespace kelvora
