#pragma once

#include <spdlog/logger.h>
#include <spdlog/sinks/base_sink.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kelvora::test {

// Collects what one logger writes while it lives. Attach it before other threads start logging through
// that logger and let it go after they stopped: a logger's sink list is not guarded.
class LogCapture {
  public:
    explicit LogCapture(spdlog::logger& logger) : logger_(logger), sink_(std::make_shared<Sink>()) {
        logger_.sinks().push_back(sink_);
    }
    ~LogCapture() {
        auto& sinks = logger_.sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const { return sink_->lines(); }
    size_t count(const std::string& text) const {
        auto all = lines();
        return static_cast<size_t>(std::count(all.begin(), all.end(), text));
    }

  private:
    class Sink : public spdlog::sinks::base_sink<std::mutex> {
      public:
        std::vector<std::string> lines() {
            std::lock_guard lock(mutex_);
            return lines_;
        }

      protected:
        void sink_it_(const spdlog::details::log_msg& message) override {
            lines_.emplace_back(message.payload.data(), message.payload.size());
        }
        void flush_() override {}

      private:
        std::vector<std::string> lines_;
    };

    spdlog::logger& logger_;
    std::shared_ptr<Sink> sink_;
};

}  // namespace kelvora::test
